// Small helpers shared by the parts of protected storage.
#include "storage/internal.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

#include "support/tarvo_common.h"

namespace storage_internal {

void wipe(void *p, size_t n)
{
    if (p != nullptr && n > 0)
        OPENSSL_cleanse(p, n);
}

bool semaphore_alive(const std::string &name)
{
    if (name.empty())
        return true;
    sem_t *s = sem_open(name.c_str(), 0);
    if (s == SEM_FAILED)
        return false;
    sem_close(s);
    return true;
}

static int digest(const EVP_MD *md, const void *data, size_t length, unsigned char *out)
{
    unsigned int n = 0;
    return EVP_Digest(data, length, out, &n, md, nullptr) == 1 ? 1 : 0;
}

int sha1(const void *data, size_t length, unsigned char out[20])
{
    return digest(EVP_sha1(), data, length, out);
}

int md5(const void *data, size_t length, unsigned char out[16])
{
    return digest(EVP_md5(), data, length, out);
}

int sha1_of_file(const char *path, std::string &out, uint64_t &length)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return 0;
    std::unique_ptr<int, void (*)(int *)> closer(&fd, [](int *d) { close(*d); });
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return 0;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                 &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
        errno = ENOMEM;
        return 0;
    }
    // Everything up to the end of the file as it is read, not as fstat saw it.
    unsigned char buffer[16384];
    uint64_t total = 0;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), buffer, size_t(n)) != 1)
            return 0;
        total += uint64_t(n);
    }
    unsigned char d[20];
    unsigned int dn = 0;
    if (EVP_DigestFinal_ex(ctx.get(), d, &dn) != 1)
        return 0;
    char *b64 = base64_encode(d, 20);
    if (b64 == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    out = b64;
    free(b64);
    length = total;
    return 1;
}

}  // namespace storage_internal
