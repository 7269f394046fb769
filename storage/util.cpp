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

int open_directory_path(const std::string &directory, bool create)
{
    if (directory.empty() || directory[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    // The first component is opened by its absolute name and the rest
    // relative to it: "/" itself is root's, and an emulator that keeps a
    // library root of its own (qemu -L) answers an absolute name as the
    // system's.
    int fd = AT_FDCWD;
    for (size_t at = 1; (fd >= 0 || fd == AT_FDCWD) && at <= directory.size();) {
        size_t next = directory.find('/', at);
        if (next == std::string::npos)
            next = directory.size();
        std::string part = directory.substr(at, next - at);
        at = next + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (fd != AT_FDCWD)
                close(fd);
            errno = EINVAL;
            return -1;
        }
        const std::string name = fd == AT_FDCWD ? "/" + part : part;
        int sub = openat(fd, name.c_str(), flags);
        if (sub < 0 && errno == ENOENT && create) {
            if (mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
                int e = errno;
                if (fd != AT_FDCWD)
                    close(fd);
                errno = e;
                return -1;
            }
            sub = openat(fd, name.c_str(), flags);
        }
        int e = errno;
        if (fd != AT_FDCWD)
            close(fd);
        fd = sub;
        errno = e;
        struct stat st;
        if (fd >= 0 && (fstat(fd, &st) != 0 || (st.st_uid != geteuid() && st.st_uid != 0))) {
            close(fd);
            errno = EACCES;
            return -1;
        }
    }
    return fd == AT_FDCWD ? open("/", flags) : fd;
}

namespace {

// The directory of path (opened as above) and its last component.
int open_parent(const std::string &path, bool create, std::string &name)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 >= path.size()) {
        errno = EINVAL;
        return -1;
    }
    name = path.substr(slash + 1);
    return open_directory_path(path.substr(0, slash + 1), create);
}

}  // namespace

int open_data_file(const std::string &path, int flags, mode_t mode)
{
    std::string name;
    int dir = open_parent(path, (flags & O_CREAT) != 0, name);
    if (dir < 0)
        return -1;
    int fd = openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    int e = errno;
    close(dir);
    errno = e;
    return fd;
}

int stat_data_file(const std::string &path, struct stat *st)
{
    std::string name;
    int dir = open_parent(path, false, name);
    if (dir < 0)
        return -1;
    int r = fstatat(dir, name.c_str(), st, AT_SYMLINK_NOFOLLOW);
    int e = errno;
    close(dir);
    errno = e;
    return r;
}

int unlink_data_file(const std::string &path)
{
    std::string name;
    int dir = open_parent(path, false, name);
    if (dir < 0)
        return -1;
    int r = unlinkat(dir, name.c_str(), 0);
    int e = errno;
    close(dir);
    errno = e;
    return r;
}

namespace {

// Runs step on the directories of from (which must exist) and of to
// (made when missing), each opened as open_parent does, and the names in
// them; closes both, keeping step's errno. step's result, or -1.
template <class Step>
int between_parents(const std::string &from, const std::string &to, Step step)
{
    std::string from_name, to_name;
    int from_dir = open_parent(from, false, from_name);
    if (from_dir < 0)
        return -1;
    int to_dir = open_parent(to, true, to_name);
    if (to_dir < 0) {
        int e = errno;
        close(from_dir);
        errno = e;
        return -1;
    }
    int r = step(from_dir, from_name, to_dir, to_name);
    int e = errno;
    close(from_dir);
    close(to_dir);
    errno = e;
    return r;
}

}  // namespace

int rename_data_file(const std::string &from, const std::string &to)
{
    return between_parents(from, to,
                           [](int from_dir, const std::string &from_name, int to_dir,
                              const std::string &to_name) {
                               return renameat(from_dir, from_name.c_str(), to_dir,
                                               to_name.c_str());
                           });
}

int link_data_file(const std::string &from, const std::string &to)
{
    return between_parents(from, to, [](int from_dir, const std::string &from_name, int to_dir,
                                         const std::string &to_name) {
        // The temporary link is this process's own name: one left by a
        // dead process of the same number is replaced.
        const std::string temp = to_name + ".link." + std::to_string(long(getpid()));
        int r = linkat(from_dir, from_name.c_str(), to_dir, temp.c_str(), 0);
        if (r != 0 && errno == EEXIST && unlinkat(to_dir, temp.c_str(), 0) == 0)
            r = linkat(from_dir, from_name.c_str(), to_dir, temp.c_str(), 0);
        if (r == 0) {
            r = renameat(to_dir, temp.c_str(), to_dir, to_name.c_str());
            if (r != 0) {
                int e = errno;
                unlinkat(to_dir, temp.c_str(), 0);
                errno = e;
            }
        }
        return r;
    });
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
