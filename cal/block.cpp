// Block format: the header's bytes, the CRC that protects header and data,
// version order, names, and the report hooks of the library.
#include "cal/cal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

struct crc_table {
    uint32_t t[256];
    crc_table()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
    }
};

const crc_table table;

void put32(unsigned char *p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t get32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

extern "C" {

cal_error_fn cal_error_hook = cal_default_error_handler;
cal_debug_fn cal_debug_hook = nullptr;

// Reflected CRC-32 of the polynomial 0xEDB88320, started at 0 and not
// inverted at the end: not the common zip/ethernet value.
uint32_t cal_crc32(const unsigned char *data, uint32_t length)
{
    uint32_t crc = 0;
    for (uint32_t i = 0; i < length; i++)
        crc = table.t[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

void cal_header_encode(const cal_block_header *h, unsigned char out[CAL_HEADER_SIZE])
{
    put32(out, h->magic);
    out[4] = h->hdr_version;
    out[5] = h->version;
    out[6] = uint8_t(h->flags);
    out[7] = uint8_t(h->flags >> 8);
    memcpy(out + 8, h->name, CAL_NAME_SIZE);
    put32(out + 24, h->length);
    put32(out + 28, h->data_crc);
    put32(out + 32, h->hdr_crc);
}

void cal_header_decode(const unsigned char in[CAL_HEADER_SIZE], cal_block_header *h)
{
    h->magic = get32(in);
    h->hdr_version = in[4];
    h->version = in[5];
    h->flags = uint16_t(in[6] | in[7] << 8);
    memcpy(h->name, in + 8, CAL_NAME_SIZE);
    h->length = get32(in + 24);
    h->data_crc = get32(in + 28);
    h->hdr_crc = get32(in + 32);
}

void cal_header_seal(cal_block_header *h)
{
    unsigned char bytes[CAL_HEADER_SIZE];
    cal_header_encode(h, bytes);
    h->hdr_crc = cal_crc32(bytes, 32);
}

int cal_version_newer(uint8_t b, uint8_t a)
{
    if (a > 190 && b <= 63)
        return 1;
    if (b > 190 && a <= 63)
        return 0;
    return b > a;
}

int cal_name_cmp(const char *a, const char *b) { return strncmp(a, b, CAL_NAME_SIZE); }

void cal_name_text(const char name[CAL_NAME_SIZE], char out[CAL_NAME_SIZE + 1])
{
    memcpy(out, name, CAL_NAME_SIZE);
    out[CAL_NAME_SIZE] = 0;
}

uint32_t cal_round_up(uint32_t value, uint32_t m) { return (value + m - 1) / m * m; }

void cal_default_error_handler(const char *message)
{
    fprintf(stderr, "CAL ERROR: %s\n", message);
}

void cal_error(const char *format, ...)
{
    cal_error_fn hook = cal_error_hook;
    if (!hook)
        return;
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    hook(buf);
}

void cal_debug(int level, const char *format, ...)
{
    cal_debug_fn hook = cal_debug_hook;
    if (!hook)
        return;
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    hook(level, buf);
}

}  // extern "C"
