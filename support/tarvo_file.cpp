#include "support/tarvo_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

int tarvo_keep_file_kind(int fd, mode_t kind, int error)
{
    if (fd < 0)
        return -1;
    struct stat st;
    int e = fstat(fd, &st) != 0                 ? errno
            : (st.st_mode & S_IFMT) == kind     ? 0
            : S_ISDIR(st.st_mode)               ? EISDIR
                                                : error;
    if (e != 0) {
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int tarvo_open_regular_file(const char *path, int extra_flags)
{
    return tarvo_keep_file_kind(
        open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extra_flags), S_IFREG, EINVAL);
}

size_t tarvo_read_fully(int fd, void *buffer, size_t size)
{
    char *bytes = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

size_t tarvo_write_fully(int fd, const void *buffer, size_t size)
{
    const char *bytes = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += size_t(n);
    }
    return done;
}

int tarvo_sync_directory_of(const char *path)
{
    const char *slash = strrchr(path, '/');
    std::string directory = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    int r = fsync(dir);
    int e = errno;
    close(dir);
    errno = e;
    return r;
}
