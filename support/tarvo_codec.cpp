// Base64 and hex text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "support/dlog_send.h"
#include "support/tarvo_common.h"

namespace {

const char SOURCE[] = "tarvo_common";
const char BASE64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char HEX[] = "0123456789abcdef";
constexpr unsigned RING_SLOTS = 10;

// The six white-space characters of the C locale, tested explicitly.
inline bool is_white(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Value of a base64 digit, -1 for any other byte ('=' included).
inline int base64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Next non-white-space byte at or after *p, advancing *p past it.
inline unsigned char next_digit(const unsigned char *&p)
{
    while (is_white(*p))
        p++;
    return *p++;
}

inline void put_hex(char *to, const unsigned char *from, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        to[2 * i] = HEX[from[i] >> 4];
        to[2 * i + 1] = HEX[from[i] & 15];
    }
    to[2 * count] = '\0';
}

char *ring[RING_SLOTS];
unsigned ring_index = 0;
bool ring_registered = false;

}  // namespace

char *base64_encode(const void *data, int count)
{
    size_t n = count > 0 ? size_t(count) : 0;
    if (data == nullptr && n > 0)
        return nullptr;
    size_t groups = n / 3 + (n % 3 != 0 ? 1 : 0);
    if (groups > (SIZE_MAX - 1) / 4)
        return nullptr;
    char *text = static_cast<char *>(malloc(groups * 4 + 1));
    if (text == nullptr)
        return nullptr;
    const unsigned char *in = static_cast<const unsigned char *>(data);
    char *out = text;
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        *out++ = BASE64[v >> 18];
        *out++ = BASE64[(v >> 12) & 63];
        *out++ = BASE64[(v >> 6) & 63];
        *out++ = BASE64[v & 63];
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(in[i]) << 16;
        *out++ = BASE64[v >> 18];
        *out++ = BASE64[(v >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (n - i == 2) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8);
        *out++ = BASE64[v >> 18];
        *out++ = BASE64[(v >> 12) & 63];
        *out++ = BASE64[(v >> 6) & 63];
        *out++ = '=';
    }
    *out = '\0';
    return text;
}

int base64_decode(const char *text, unsigned char **out)
{
    if (out == nullptr)
        return 0;
    *out = nullptr;
    if (text == nullptr)
        return 0;
    const unsigned char *start = reinterpret_cast<const unsigned char *>(text);
    size_t n = 0;
    for (const unsigned char *p = start; *p != '\0'; p++)
        if (!is_white(*p))
            n++;
    if (n % 4 != 0) {
        DLOG_ERROR(SOURCE, "Invalid base64 string (%d !%% 4)",
                   n <= size_t(INT32_MAX / 3) ? int(3 * n) : -1);
        return 0;
    }
    size_t capacity = n / 4 * 3;
    if (capacity > size_t(INT32_MAX)) {
        DLOG_ERROR(SOURCE, "Invalid base64 string");
        return 0;
    }
    // At least one byte, so that an empty result is told apart from failure.
    unsigned char *block = static_cast<unsigned char *>(malloc(capacity > 0 ? capacity : 1));
    if (block == nullptr)
        return 0;
    size_t length = 0;
    const unsigned char *p = start;
    for (size_t group = 0; group < n / 4; group++) {
        unsigned char c[4];
        for (unsigned char &k : c)
            k = next_digit(p);
        int v0 = base64_value(c[0]), v1 = base64_value(c[1]);
        int v2 = base64_value(c[2]), v3 = base64_value(c[3]);
        bool last = group + 1 == n / 4;
        if (v0 < 0 || v1 < 0 || (v2 < 0 && c[2] != '=') ||
            (c[2] != '=' && v3 < 0 && c[3] != '=') || ((c[2] == '=' || c[3] == '=') && !last)) {
            // A padded group ends the text: anything after it is refused
            // rather than counted as undecoded bytes.
            DLOG_ERROR(SOURCE, "Invalid base64 string");
            free(block);
            return 0;
        }
        block[length++] = static_cast<unsigned char>((v0 << 2) | (v1 >> 4));
        if (c[2] == '=')
            break;  // the fourth character is not looked at
        block[length++] = static_cast<unsigned char>(((v1 & 15) << 4) | (v2 >> 2));
        if (c[3] == '=')
            break;
        block[length++] = static_cast<unsigned char>(((v2 & 3) << 6) | v3);
    }
    *out = block;
    return int(length);
}

void append_hex(std::string &s, const void *data, unsigned count)
{
    const unsigned char *in = static_cast<const unsigned char *>(data);
    char batch[64 * 2 + 1];
    while (count > 0) {
        unsigned k = count < 64 ? count : 64;
        put_hex(batch, in, k);
        s.append(batch, size_t(k) * 2);
        in += k;
        count -= k;
    }
}

const char *hex_string(const void *data, unsigned count)
{
    if (size_t(count) > (SIZE_MAX - 1) / 2)
        abort();
    char *block = static_cast<char *>(malloc(size_t(count) * 2 + 1));
    if (block == nullptr)
        abort();
    put_hex(block, static_cast<const unsigned char *>(data), count);
    ring[ring_index] = block;
    ring_index = (ring_index + 1) % RING_SLOTS;
    free(ring[ring_index]);
    ring[ring_index] = nullptr;
    if (!ring_registered) {
        ring_registered = true;
        atexit(hex_ring_free);
    }
    return block;
}

void hex_ring_free()
{
    for (char *&slot : ring) {
        free(slot);
        slot = nullptr;
    }
}
