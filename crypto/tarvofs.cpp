// The protected file system's challenge: the file's absolute path and 32
// random bytes are set as its ".tarvofs-signature" attribute, and the
// 20-byte answer read back from it must be a signature of the challenge
// under the file system's token.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "support/tarvo_common.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char ATTRIBUTE[] = ".tarvofs-signature";
constexpr const char TARVOFS_TOKEN[] = "tarvofs::tarvofs-verify";
constexpr size_t NONCE_LENGTH = 32;

}  // namespace

int tarvo_crypto_tarvofs_challenge(const char *path, int *result)
{
    if (!path) {
        errno = EINVAL;
        return 1;
    }
    std::string absolute;
    if (!absolute_pathname(path, absolute)) {
        errno = EINVAL;
        return 1;
    }
    size_t length = absolute.size() + NONCE_LENGTH;
    unsigned char *challenge = static_cast<unsigned char *>(malloc(length));
    if (!challenge)
        return 1;
    memcpy(challenge, absolute.data(), absolute.size());
    int r = 1;
    unsigned char response[TARVO_CRYPTO_SIGNATURE_LENGTH];
    // Without fresh random bytes the challenge is not sent at all.
    if (tarvo_crypto_random(challenge + absolute.size(), int(NONCE_LENGTH)) != int(NONCE_LENGTH)) {
        // reported by tarvo_crypto_random
    } else if (setxattr(path, ATTRIBUTE, challenge, length, 0) != 0) {
        CRYPTO_ERROR("Cannot set challenge (%s)", strerror(errno));
    } else {
        ssize_t got = getxattr(path, ATTRIBUTE, response, sizeof response);
        if (got < 0) {
            CRYPTO_ERROR("Cannot get response (%s)", strerror(errno));
        } else if (got != ssize_t(sizeof response)) {
            CRYPTO_ERROR("Invalid response (wrong size %d)", int(got));
        } else {
            int verdict = 0;
            if (tarvo_crypto_verify(response, TARVOFS_TOKEN, challenge, length, &verdict) == 0) {
                if (result)
                    *result = verdict;
                r = 0;
            } else {
                CRYPTO_ERROR("Signature cannot be verified (%s)", tarvo_crypto_last_error_text());
                errno = EACCES;
            }
        }
    }
    free(challenge);
    return r;
}
