#include "crypto/tarvo_crypto.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char UNAVAILABLE[] = "crypto services not available";

}  // namespace

int tarvo_crypto_sign_file(const char *path, const unsigned char *, size_t, const char *)
{
    errno = path ? ENOSYS : EINVAL;
    return 1;
}

int tarvo_crypto_verify_file(const char *path, const unsigned char *, size_t, const char *token)
{
    if (!path || !token) {
        errno = EINVAL;
        return 1;
    }
    errno = ENOSYS;
    return 2;
}

const char *tarvo_crypto_last_error_text()
{
    return UNAVAILABLE;
}

int tarvo_crypto_hw_mode()
{
    return 3;
}

int tarvo_crypto_random(unsigned char *, int)
{
    errno = ENOSYS;
    return -1;
}

int tarvo_crypto_encrypt(const unsigned char *, size_t, const char *, unsigned char **ciphertext,
                         uint32_t *result_size)
{
    if (ciphertext)
        *ciphertext = nullptr;
    if (result_size)
        *result_size = 0;
    errno = ENOSYS;
    return 1;
}

int tarvo_crypto_decrypt(const unsigned char *, size_t, const char *, unsigned char **plaintext,
                         uint32_t *result_size)
{
    if (plaintext)
        *plaintext = nullptr;
    if (result_size)
        *result_size = 0;
    errno = ENOSYS;
    return 1;
}

int tarvo_crypto_release(void *buffer)
{
    free(buffer);
    return 0;
}
