// The C library functions the core calls "real", for programs that link the
// core without the interposer (ks-sim, the test library).
#include "sim/core/dispatch.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <time.h>
#include <unistd.h>

namespace ks_sim {
namespace real {

int open(const char *path, int flags, unsigned mode) { return ::open(path, flags, mode); }
int close(int fd) { return ::close(fd); }
int64_t read(int fd, void *buf, size_t len) { return ::read(fd, buf, len); }
int64_t write(int fd, const void *buf, size_t len) { return ::write(fd, buf, len); }
int mount(const char *source, const char *target, const char *type, unsigned long flags,
          const void *data)
{
    return ::mount(source, target, type, flags, data);
}
int umount2(const char *target, int flags) { return ::umount2(target, flags); }
int nanosleep_ns(int64_t ns)
{
    if (ns <= 0)
        return 0;
    struct timespec ts;
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    return ::nanosleep(&ts, nullptr);
}

}  // namespace real
}  // namespace ks_sim
