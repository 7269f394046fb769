#include "support/tarvo_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int tarvo_open_regular_file(const char *path, int extra_flags)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | extra_flags);
    if (fd < 0)
        return -1;
    struct stat st;
    int e = fstat(fd, &st) != 0    ? errno
            : S_ISREG(st.st_mode)  ? 0
            : S_ISDIR(st.st_mode)  ? EISDIR
                                   : EINVAL;
    if (e != 0) {
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}
