// Unsigned 32-bit little-endian fields of the program's file formats, read
// and written a byte at a time so that alignment and host order never
// matter.
#pragma once

#include <cstdint>

inline uint32_t get_le32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void put_le32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
