// SHA-1 of the boot program itself (FIPS 180-1) and the digest helpers.
// The boot sequence uses this implementation rather than the cryptography
// library, so that its file digests do not depend on that library.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA1_DIGEST_LENGTH = 20;

struct sha1_ctx {
    uint32_t state[5];
    uint32_t count[2];  // message length in bits: low word, then high word
    uint8_t buffer[64];
};

void sha1_init(sha1_ctx *ctx);
void sha1_update(sha1_ctx *ctx, const void *data, uint32_t length);
// Pads, writes the 20-byte digest and clears the whole context.
void sha1_final(uint8_t digest[SHA1_DIGEST_LENGTH], sha1_ctx *ctx);
void sha1_transform(uint32_t state[5], const uint8_t block[64]);

// SHA-1 of a whole file read through stdio in 4096-byte pieces: 0, -1
// cannot open, -2 no buffer, -4 cannot rewind, -5 read error. Silent: the
// callers report failures in their own words.
int sha1_file(const char *path, uint8_t digest[SHA1_DIGEST_LENGTH]);
// sha1_file with its failures written to standard error.
int hash_calculate(const char *path, uint8_t digest[SHA1_DIGEST_LENGTH]);

// 40 lowercase hex digits and a NUL into text (41 bytes); always 0.
int print_hash_hex(const uint8_t hash[SHA1_DIGEST_LENGTH], char *text);
// 40 hex digits into 20 bytes: 0, -34 wrong length, -22 not a hex digit.
// Nothing is written on failure.
int parse_hash_hex(const char *text, uint8_t hash[SHA1_DIGEST_LENGTH]);
// Value of a character already known to be a hex digit.
uint8_t hex_char_value(char c);
