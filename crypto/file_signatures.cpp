// File signatures through the signed stores of protected storage.
//
// Until protected storage is built, signing and checking a file answer as
// the services do when they cannot serve the request: nothing is signed or
// verified, and errno is ENOSYS.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include <cerrno>

int tarvo_crypto_sign_file(const char *path, const unsigned char *, size_t, const char *)
{
    crypto_process_check();
    errno = path ? ENOSYS : EINVAL;
    return 1;
}

int tarvo_crypto_verify_file(const char *path, const unsigned char *, size_t, const char *token)
{
    crypto_process_check();
    if (!path || !token) {
        errno = EINVAL;
        return 1;
    }
    errno = ENOSYS;
    return 2;
}
