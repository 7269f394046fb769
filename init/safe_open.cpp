#include "init/safe_open.h"

#include "support/tarvo_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Checked: from now on the descriptor blocks as any other would (it may be
// handed on, as standard error is to the next program).
int make_blocking(int fd)
{
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

FILE *stream_of(int fd, const char *mode)
{
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode);
    if (!f) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

}  // namespace

int open_regular_file(const char *path, int extra_flags)
{
    return tarvo_open_regular_file(path, extra_flags);
}

FILE *fopen_regular_file(const char *path, int extra_flags)
{
    return stream_of(open_regular_file(path, extra_flags), "r");
}

int create_regular_file(const char *path, mode_t mode)
{
    // Without O_TRUNC first: a file that is not a regular file is refused
    // before anything in it changes.
    int fd = tarvo_keep_file_kind(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                                    O_NOCTTY,
                          mode),
                     S_IFREG, EINVAL);
    if (fd >= 0 && ftruncate(fd, 0) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd < 0 ? -1 : make_blocking(fd);
}

FILE *fcreate_regular_file(const char *path, mode_t mode)
{
    return stream_of(create_regular_file(path, mode), "w");
}

int open_char_device(const char *path, int flags)
{
    int fd = tarvo_keep_file_kind(open(path, (flags & ~O_CREAT) | O_NONBLOCK | O_CLOEXEC | O_NOCTTY),
                     S_IFCHR, ENODEV);
    if (fd < 0 || (flags & O_NONBLOCK) != 0)
        return fd;
    return make_blocking(fd);
}

FILE *fopen_char_device_for_writing(const char *path)
{
    return stream_of(open_char_device(path, O_WRONLY), "w");
}

int open_kernel_file(const char *path, int flags, long magic)
{
    int fd = open(path, (flags & ~O_CREAT) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    // A check that cannot be made is a failed one.
    struct statfs fs;
    int e = fstatfs(fd, &fs) != 0 ? errno : long(fs.f_type) != magic ? ENOENT : 0;
    if (e != 0) {
        close(fd);
        errno = e;
        return -1;
    }
    if ((flags & O_NONBLOCK) != 0)
        return fd;
    return make_blocking(fd);
}

FILE *fopen_kernel_file_for_writing(const char *path)
{
    return stream_of(open_kernel_file(path, O_WRONLY | O_TRUNC, SECURITYFS_MAGIC), "w");
}

FILE *fopen_kernel_file_for_reading(const char *path, long magic)
{
    int fd = open_kernel_file(path, O_RDONLY, magic);
    return stream_of(fd < 0 ? -1 : tarvo_keep_file_kind(fd, S_IFREG, EINVAL), "r");
}

int open_hash_list_file(const char *path)
{
    static const char securityfs_dir[] = "/sys/kernel/security/";
    if (std::strncmp(path, securityfs_dir, sizeof securityfs_dir - 1) == 0)
        return open_kernel_file(path, O_RDWR, SECURITYFS_MAGIC);
    return open(path, O_RDWR | O_CLOEXEC);
}
