// File signatures. A file is signed under a token by making it a member of
// the signed store "files." followed by the token; a file that the store
// does not list is checked against the vdata file. Without usable
// hardware the vdata file takes the place of the stores for signing too.
//
// Until protected storage is built, no store lists anything, and signing
// with usable hardware answers as the services do when they cannot serve
// the request: nothing is signed and errno is ENOSYS.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"
#include "crypto/vdata.h"

#include <cerrno>
#include <cstring>

int tarvo_crypto_sign_file(const char *path, const unsigned char *data, size_t size,
                           const char *)
{
    static const char op[] = "tarvo_crypto_sign_file";
    crypto_process_check();
    if (!path) {
        CRYPTO_ERROR("%s: pathname cannot be null", op);
        errno = EINVAL;
        return 1;
    }
    if (crypto.hw_usable) {
        errno = ENOSYS;
        return 1;
    }
    // The list is trusted as it is while the hardware cannot be used.
    if (strcmp(path, TARVO_VDATA_PATH) == 0)
        return 0;
    unsigned char digest[20];
    int ok = data ? digest_of_buffer(data, size, digest) : digest_of_file(path, digest);
    if (!ok)
        return 1;
    return save_global_signature(path, digest) == 1 ? 0 : 1;
}

int tarvo_crypto_verify_file(const char *path, const unsigned char *data, size_t size,
                             const char *token)
{
    static const char op[] = "tarvo_crypto_verify_file";
    crypto_process_check();
    if (!path || !token) {
        CRYPTO_ERROR("%s: pathname or token cannot be null", op);
        errno = EINVAL;
        return 1;
    }
    // No store lists the file: its entry in the vdata file decides.
    if (!data)
        return verify_global_signature(path, nullptr);
    unsigned char digest[20];
    return check_vdata_entry(path, digest_of_buffer(data, size, digest) ? digest : nullptr);
}
