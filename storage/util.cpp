// Small helpers shared by the parts of protected storage.
#include "storage/internal.h"

#include <fcntl.h>
#include <semaphore.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

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

}  // namespace storage_internal
