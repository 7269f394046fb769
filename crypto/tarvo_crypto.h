// Crypto services: signing, verification and encryption under a token.
//
// Until the services are built, every operation answers as the services do
// when they cannot serve the request: nothing is verified, signed,
// encrypted or decrypted, and errno is ENOSYS.
#pragma once

#include <cstddef>
#include <cstdint>

// 0 signed, 1 failure.
int tarvo_crypto_sign_file(const char *path, const unsigned char *data, size_t size,
                           const char *token);
// 0 verified; 1 path or token missing; 2 no signature for the file; 3 the
// content does not match.
int tarvo_crypto_verify_file(const char *path, const unsigned char *data, size_t size,
                             const char *token);
// A short description of the last failure; not owned by the caller.
const char *tarvo_crypto_last_error_text();
// 3 when the security hardware cannot be used, 1 for hardware mode 1, 0
// otherwise.
int tarvo_crypto_hw_mode();
// length when the buffer was filled with random bytes, -1 otherwise.
int tarvo_crypto_random(unsigned char *buffer, int length);
// 0 success (*ciphertext allocated, released with tarvo_crypto_release), 1
// failure.
int tarvo_crypto_encrypt(const unsigned char *plaintext, size_t size, const char *token,
                         unsigned char **ciphertext, uint32_t *result_size);
int tarvo_crypto_decrypt(const unsigned char *ciphertext, size_t size, const char *token,
                         unsigned char **plaintext, uint32_t *result_size);
// Frees a buffer that the services returned; always 0.
int tarvo_crypto_release(void *buffer);
