// The bytes of a configuration-area block as the library writes it, built
// in the tests from the header's fields: for the flash tests and for the
// block-format tests on a plain file.
#pragma once

#include "cal/cal.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace cal_test {

// A block's bytes as written by a single write or a compaction.
inline std::string block_bytes(const std::string &name, const std::string &data,
                               uint8_t version, uint16_t flags = 0)
{
    cal_block_header h;
    std::memset(&h, 0, sizeof h);
    h.magic = CAL_MAGIC;
    h.hdr_version = CAL_HEADER_VERSION;
    h.version = version;
    h.flags = flags;
    std::memcpy(h.name, name.data(), std::min<size_t>(name.size(), CAL_NAME_SIZE));
    h.length = uint32_t(data.size());
    h.data_crc = cal_crc32(reinterpret_cast<const unsigned char *>(data.data()), h.length);
    cal_header_seal(&h);
    unsigned char bytes[CAL_HEADER_SIZE];
    cal_header_encode(&h, bytes);
    return std::string(reinterpret_cast<char *>(bytes), sizeof bytes) + data;
}

}  // namespace cal_test
