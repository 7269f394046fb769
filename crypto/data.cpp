// Operations on data in memory: random bytes, symmetric keys, encryption,
// decryption and signatures under a token through the security hardware's
// file-protection services, and SHA-1 digests of buffers and files.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "secbins/kz4_secbins.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int SYMKEY_LENGTH = 32;
// Longest ciphertext encryption makes: the largest input rounded up to a
// whole block, plus the seal. Decryption takes back whatever encryption
// made.
constexpr size_t MAX_CIPHERTEXT = (TARVO_CRYPTO_MAX_DATA + 15) / 16 * 16 + 32;

// Data over the hardware's limit are signed and checked through their
// SHA-1: points *data and *size at the digest in place of the data.
bool shorten(const unsigned char *&data, size_t &size, unsigned char digest[20])
{
    if (size <= TARVO_CRYPTO_MAX_DATA)
        return true;
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_sha1(), nullptr) != 1 || length != 20)
        return false;
    data = digest;
    size = 20;
    return true;
}

// Selects the hardware's key context for the token; false after the
// report.
bool set_programid(const char *operation, const char *token, int line)
{
    int r = kz4_set_programid(token);
    if (r == 0)
        return true;
    dlog_error("tarvo_crypto", line, "%s: kz4_set_programid('%s') returned %d", operation,
               shown(token), r);
    crypto_log_hw_error(line, operation);
    return false;
}

}  // namespace

int tarvo_crypto_random(unsigned char *buffer, int length)
{
    crypto_process_check();
    int r = length < 0 ? -1 : kz4_get_random(buffer, uint32_t(length));
    if (r != 0) {
        if (length < 0)
            errno = EINVAL;
        CRYPTO_ERROR("%s: kz4_get_random returned %d", "tarvo_crypto_random", r);
        CRYPTO_HW_ERROR("tarvo_crypto_random");
        return -1;
    }
    return length;
}

int tarvo_crypto_generate_symkey(unsigned char **key)
{
    crypto_process_check();
    if (!key) {
        errno = EINVAL;
        return -1;
    }
    // Zeroed, so that a key whose random bytes never came holds nothing
    // from the heap.
    unsigned char *k = static_cast<unsigned char *>(calloc(1, SYMKEY_LENGTH));
    *key = k;
    if (!k)
        return -1;
    // Kept out of swap; the key is still usable when the lock is refused.
    mlock(k, SYMKEY_LENGTH);
    return kz4_get_random(k, SYMKEY_LENGTH) == 0 ? SYMKEY_LENGTH : -1;
}

int tarvo_crypto_encrypt(const unsigned char *plaintext, size_t size, const char *token,
                         unsigned char **ciphertext, uint32_t *result_size)
{
    static const char op[] = "tarvo_crypto_encrypt";
    crypto_process_check();
    if (!plaintext || !ciphertext) {
        CRYPTO_ERROR("%s: invalid argument", op);
        if (!plaintext)
            CRYPTO_ERROR("%s: 'plaintext' is NULL", op);
        else
            CRYPTO_ERROR("%s: 'ciphertext' is NULL", op);
        errno = EINVAL;
        return 1;
    }
    if (!result_size || size > TARVO_CRYPTO_MAX_DATA) {
        CRYPTO_ERROR("%s: invalid argument", op);
        if (!result_size)
            CRYPTO_ERROR("%s: 'result_size' is NULL", op);
        else
            CRYPTO_ERROR("%s: too long buffer %lu (max %lu)", op, (unsigned long)size,
                         (unsigned long)TARVO_CRYPTO_MAX_DATA);
        errno = EINVAL;
        return 1;
    }
    *ciphertext = nullptr;
    token = crypto_token(token);
    if (!set_programid(op, token, __LINE__))
        return 1;
    int r = kz4_fprot_encrypt(plaintext, uint32_t(size), ciphertext);
    if (r >= 0 && *ciphertext) {
        *result_size = uint32_t(r);
        return 0;
    }
    free(*ciphertext);
    *ciphertext = nullptr;
    *result_size = 0;
    CRYPTO_ERROR("%s: kz4_fprot_encrypt('%s') returned %d", op, shown(token), r);
    CRYPTO_HW_ERROR(op);
    return 1;
}

int tarvo_crypto_decrypt(const unsigned char *ciphertext, size_t size, const char *token,
                         unsigned char **plaintext, uint32_t *result_size)
{
    static const char op[] = "tarvo_crypto_decrypt";
    crypto_process_check();
    bool refused = true;
    if (!plaintext)
        CRYPTO_ERROR("%s: 'plaintext' is NULL", op);
    else if (!ciphertext)
        CRYPTO_ERROR("%s: 'ciphertext' is NULL", op);
    else if (!result_size)
        CRYPTO_ERROR("%s: 'result_size' is NULL", op);
    else if (size > MAX_CIPHERTEXT)
        CRYPTO_ERROR("%s: too long buffer %lu (max %lu)", op, (unsigned long)size,
                     (unsigned long)MAX_CIPHERTEXT);
    else
        refused = false;
    if (refused) {
        errno = EINVAL;
        return 1;
    }
    *plaintext = nullptr;
    token = crypto_token(token);
    if (!set_programid(op, token, __LINE__))
        return 1;
    int r = kz4_fprot_decrypt(ciphertext, uint32_t(size), plaintext);
    if (r >= 0 && *plaintext) {
        *result_size = uint32_t(r);
        return 0;
    }
    free(*plaintext);
    *plaintext = nullptr;
    *result_size = 0;
    CRYPTO_ERROR("%s: kz4_fprot_decrypt('%s') returned %d", op, shown(token), r);
    CRYPTO_HW_ERROR(op);
    return 1;
}

int tarvo_crypto_sign(const unsigned char *data, size_t size, const char *token,
                      unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH])
{
    static const char op[] = "tarvo_crypto_sign";
    crypto_process_check();
    if (!data || !signature) {
        CRYPTO_ERROR("%s: invalid argument", op);
        return 1;
    }
    token = crypto_token(token);
    if (!set_programid(op, token, __LINE__))
        return 1;
    unsigned char digest[20];
    if (!shorten(data, size, digest)) {
        CRYPTO_ERROR("%s: cannot digest %lu bytes", op, (unsigned long)size);
        return 1;
    }
    uint8_t *mac = nullptr;
    int r = kz4_fprot_mac(data, uint32_t(size), &mac);
    if (r == TARVO_CRYPTO_SIGNATURE_LENGTH && mac) {
        memcpy(signature, mac, TARVO_CRYPTO_SIGNATURE_LENGTH);
        free(mac);
        return 0;
    }
    free(mac);
    CRYPTO_ERROR("%s: kz4_fprot_mac with '%s' returned %d", op, shown(token), r);
    errno = EACCES;
    CRYPTO_HW_ERROR(op);
    return 1;
}

int tarvo_crypto_verify(const unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH],
                        const char *token, const unsigned char *data, size_t size, int *result)
{
    static const char op[] = "tarvo_crypto_verify";
    crypto_process_check();
    if (!signature || (!data && size > 0)) {
        CRYPTO_ERROR("%s: invalid argument", op);
        errno = EINVAL;
        return 3;
    }
    token = crypto_token(token);
    unsigned char digest[20];
    if (!shorten(data, size, digest)) {
        CRYPTO_ERROR("%s: cannot digest %lu bytes", op, (unsigned long)size);
        return 3;
    }
    int r = kz4_fprot_check_mac(token, data, uint32_t(size), signature,
                                TARVO_CRYPTO_SIGNATURE_LENGTH);
    if (r == KZ4_MAC_VALID || r == KZ4_MAC_MISMATCH) {
        if (result)
            *result = r == KZ4_MAC_VALID ? 1 : 0;
        return 0;
    }
    CRYPTO_ERROR("verification fails (%d)", r);
    CRYPTO_HW_ERROR(op);
    return 3;
}

int tarvo_crypto_release(void *buffer)
{
    free(buffer);
    return 0;
}

int digest_of_buffer(const void *data, size_t length, unsigned char out[20])
{
    if (!out)
        return 0;
    memset(out, 0, 20);
    if (!data && length > 0)
        return 0;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (!ctx) {
        CRYPTO_ERROR("EVP_DigestInit returns %d (%s)", 0, strerror(errno));
        return 0;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_length = 0;
    int ok = 0;
    int r = EVP_DigestInit(ctx, EVP_sha1());
    if (r != 1)
        CRYPTO_ERROR("EVP_DigestInit returns %d (%s)", r, strerror(errno));
    else if ((r = EVP_DigestUpdate(ctx, data, length)) != 1)
        CRYPTO_ERROR("EVP_DigestUpdate returns %d (%d)", r, errno);
    else if ((r = EVP_DigestFinal(ctx, md, &md_length)) != 1)
        CRYPTO_ERROR("EVP_DigestFinal returns %d (%d)", r, errno);
    else if (md_length != 20)
        CRYPTO_ERROR("Digestlen mismatch (%d != %d)", int(md_length), 20);
    else {
        memcpy(out, md, 20);
        ok = 1;
    }
    EVP_MD_CTX_free(ctx);
    return ok;
}

void *map_file(const char *path, int *descriptor, uint32_t *length)
{
    if (!descriptor || !length) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = -1;
    size_t size = *length;
    int protection = PROT_READ | PROT_WRITE;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    if (path) {
        fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0) {
            CRYPTO_ERROR("cannot stat '%s' (%s)", path, strerror(errno));
            close(fd);
            return nullptr;
        }
        if (st.st_size == 0) {
            CRYPTO_ERROR("'%s' is empty", path);
            close(fd);
            return nullptr;
        }
        // The length is a 32-bit count and must fit the address space.
        if (uint64_t(st.st_size) > UINT32_MAX || uint64_t(st.st_size) > SIZE_MAX) {
            CRYPTO_ERROR("cannot mmap '%s' of %lld bytes (%s)", path, (long long)st.st_size,
                         strerror(EFBIG));
            close(fd);
            errno = EFBIG;
            return nullptr;
        }
        size = size_t(st.st_size);
        protection = PROT_READ;
        flags = MAP_PRIVATE;
    } else if (size == 0) {
        CRYPTO_ERROR("Cannot create anonymous map with no data");
        errno = EINVAL;
        return nullptr;
    }
    void *address = mmap(nullptr, size, protection, flags, fd, 0);
    if (address == MAP_FAILED) {
        int saved = errno;
        CRYPTO_ERROR("cannot mmap '%s' of %ld bytes (%s)", shown(path), long(size),
                     strerror(saved));
        if (fd >= 0)
            close(fd);
        errno = saved;
        return nullptr;
    }
    *descriptor = fd;
    *length = uint32_t(size);
    return address;
}

void unmap_file(void *address, uint32_t length, int descriptor)
{
    if (length != 0 && address && address != MAP_FAILED)
        munmap(address, length);
    if (descriptor != -1)
        close(descriptor);
}

int digest_of_file(const char *path, unsigned char out[20])
{
    if (!path || !out) {
        CRYPTO_ERROR("%s: invalid parameter", "digest_of_file");
        errno = EINVAL;
        return 0;
    }
    int fd = -1;
    uint32_t length = 0;
    void *address = map_file(path, &fd, &length);
    if (!address)
        return 0;
    int r = digest_of_buffer(address, length, out);
    unmap_file(address, length, fd);
    return r;
}
