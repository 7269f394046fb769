#include "init/digest.h"
#include "init/safe_open.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

inline uint32_t rol(uint32_t v, unsigned n) { return (v << n) | (v >> (32 - n)); }

inline uint32_t load_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) |
           uint32_t(p[3]);
}

// Sixteen-word message schedule kept in a ring, expanded on the fly.
#define SHA1_W(t) (w[(t) & 15] = rol(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ \
                                     w[((t) + 2) & 15] ^ w[(t) & 15], 1))
#define SHA1_F1(b, c, d) (((b) & ((c) ^ (d))) ^ (d))
#define SHA1_F2(b, c, d) ((b) ^ (c) ^ (d))
#define SHA1_F3(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))
#define SHA1_R(a, b, c, d, e, f, k, wt)                 \
    do {                                                \
        e += rol(a, 5) + f(b, c, d) + (k) + (wt);       \
        b = rol(b, 30);                                 \
    } while (0)

}  // namespace

void sha1_init(sha1_ctx *ctx)
{
    ctx->state[0] = 0x67452301u;
    ctx->state[1] = 0xEFCDAB89u;
    ctx->state[2] = 0x98BADCFEu;
    ctx->state[3] = 0x10325476u;
    ctx->state[4] = 0xC3D2E1F0u;
    ctx->count[0] = ctx->count[1] = 0;
}

void sha1_transform(uint32_t state[5], const uint8_t block[64])
{
    uint32_t w[16];
    for (int i = 0; i < 16; i++)
        w[i] = load_be32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

    // Rounds written out five at a time, rotating the roles of a..e.
#define FIVE(f, k, wt0, wt1, wt2, wt3, wt4)        \
    SHA1_R(a, b, c, d, e, f, k, wt0);              \
    SHA1_R(e, a, b, c, d, f, k, wt1);              \
    SHA1_R(d, e, a, b, c, f, k, wt2);              \
    SHA1_R(c, d, e, a, b, f, k, wt3);              \
    SHA1_R(b, c, d, e, a, f, k, wt4)

    FIVE(SHA1_F1, 0x5A827999u, w[0], w[1], w[2], w[3], w[4]);
    FIVE(SHA1_F1, 0x5A827999u, w[5], w[6], w[7], w[8], w[9]);
    FIVE(SHA1_F1, 0x5A827999u, w[10], w[11], w[12], w[13], w[14]);
    FIVE(SHA1_F1, 0x5A827999u, w[15], SHA1_W(16), SHA1_W(17), SHA1_W(18), SHA1_W(19));
    FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_W(20), SHA1_W(21), SHA1_W(22), SHA1_W(23), SHA1_W(24));
    FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_W(25), SHA1_W(26), SHA1_W(27), SHA1_W(28), SHA1_W(29));
    FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_W(30), SHA1_W(31), SHA1_W(32), SHA1_W(33), SHA1_W(34));
    FIVE(SHA1_F2, 0x6ED9EBA1u, SHA1_W(35), SHA1_W(36), SHA1_W(37), SHA1_W(38), SHA1_W(39));
    FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_W(40), SHA1_W(41), SHA1_W(42), SHA1_W(43), SHA1_W(44));
    FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_W(45), SHA1_W(46), SHA1_W(47), SHA1_W(48), SHA1_W(49));
    FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_W(50), SHA1_W(51), SHA1_W(52), SHA1_W(53), SHA1_W(54));
    FIVE(SHA1_F3, 0x8F1BBCDCu, SHA1_W(55), SHA1_W(56), SHA1_W(57), SHA1_W(58), SHA1_W(59));
    FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_W(60), SHA1_W(61), SHA1_W(62), SHA1_W(63), SHA1_W(64));
    FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_W(65), SHA1_W(66), SHA1_W(67), SHA1_W(68), SHA1_W(69));
    FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_W(70), SHA1_W(71), SHA1_W(72), SHA1_W(73), SHA1_W(74));
    FIVE(SHA1_F2, 0xCA62C1D6u, SHA1_W(75), SHA1_W(76), SHA1_W(77), SHA1_W(78), SHA1_W(79));
#undef FIVE

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    std::memset(w, 0, sizeof w);
}

void sha1_update(sha1_ctx *ctx, const void *data, uint32_t length)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    uint32_t fill = (ctx->count[0] >> 3) & 63;
    uint32_t bits_low = length << 3;
    ctx->count[0] += bits_low;
    if (ctx->count[0] < bits_low)
        ctx->count[1]++;
    ctx->count[1] += length >> 29;

    uint32_t i = 0;
    // Written as length >= 64 - fill so that the test cannot wrap.
    if (length >= 64 - fill) {
        i = 64 - fill;
        std::memcpy(ctx->buffer + fill, p, i);
        sha1_transform(ctx->state, ctx->buffer);
        for (; length - i >= 64; i += 64)
            sha1_transform(ctx->state, p + i);
        fill = 0;
    }
    std::memcpy(ctx->buffer + fill, p + i, length - i);
}

void sha1_final(uint8_t digest[SHA1_DIGEST_LENGTH], sha1_ctx *ctx)
{
    uint8_t count_bytes[8];
    for (int i = 0; i < 4; i++) {
        count_bytes[i] = uint8_t(ctx->count[1] >> (24 - 8 * i));
        count_bytes[4 + i] = uint8_t(ctx->count[0] >> (24 - 8 * i));
    }
    static const uint8_t pad80 = 0x80;
    static const uint8_t zero = 0;
    sha1_update(ctx, &pad80, 1);
    while ((ctx->count[0] & 511) != 448)
        sha1_update(ctx, &zero, 1);
    sha1_update(ctx, count_bytes, 8);
    for (int i = 0; i < 20; i++)
        digest[i] = uint8_t(ctx->state[i >> 2] >> (24 - 8 * (i & 3)));
    std::memset(ctx, 0, sizeof *ctx);
}

int sha1_file(const char *path, uint8_t digest[SHA1_DIGEST_LENGTH])
{
    FILE *f = fopen_regular_file(path);
    if (!f)
        return -1;
    std::unique_ptr<FILE, int (*)(FILE *)> stream(f, std::fclose);
    std::unique_ptr<uint8_t[], void (*)(void *)> buf(
        static_cast<uint8_t *>(std::malloc(4096)), std::free);
    if (!buf)
        return -2;
    if (std::fseek(f, 0, SEEK_SET) != 0)
        return -4;
    sha1_ctx ctx;
    sha1_init(&ctx);
    size_t n;
    while ((n = std::fread(buf.get(), 1, 4096, f)) > 0)
        sha1_update(&ctx, buf.get(), uint32_t(n));
    if (std::ferror(f)) {
        std::memset(&ctx, 0, sizeof ctx);
        return -5;
    }
    sha1_final(digest, &ctx);
    return 0;
}

int hash_calculate(const char *path, uint8_t digest[SHA1_DIGEST_LENGTH])
{
    int r = sha1_file(path, digest);
    switch (r) {
    case -1:
        std::fprintf(stderr, "Cannot open %s\n", path);
        break;
    case -2:
        std::fprintf(stderr, "Memory allocation failure\n");
        break;
    case -4:
        std::fprintf(stderr, "cannot seek %s\n", "hash_calculate");
        break;
    case -5:
        std::fprintf(stderr, "error reading %s\n", "hash_calculate");
        break;
    }
    return r;
}

int print_hash_hex(const uint8_t hash[SHA1_DIGEST_LENGTH], char *text)
{
    for (size_t i = 0; i < SHA1_DIGEST_LENGTH; i++)
        std::snprintf(text + 2 * i, 3, "%02x", hash[i]);
    text[2 * SHA1_DIGEST_LENGTH] = '\0';
    return 0;
}

uint8_t hex_char_value(char c)
{
    if (c >= '0' && c <= '9')
        return uint8_t(c - '0');
    return uint8_t(std::toupper(static_cast<unsigned char>(c)) - 55);
}

int parse_hash_hex(const char *text, uint8_t hash[SHA1_DIGEST_LENGTH])
{
    if (std::strlen(text) != 2 * SHA1_DIGEST_LENGTH)
        return -ERANGE;
    for (size_t i = 0; i < 2 * SHA1_DIGEST_LENGTH; i++)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return -EINVAL;
    for (size_t i = 0; i < SHA1_DIGEST_LENGTH; i++)
        hash[i] = uint8_t(hex_char_value(text[2 * i]) * 16 + hex_char_value(text[2 * i + 1]));
    return 0;
}
