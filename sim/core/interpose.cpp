// libkeepstone-sim.so: the C library entry points the program reaches the
// simulated devices through. Each one asks the dispatcher first and falls
// back to the C library's own function.
//
// Built without large-file redirection so that open and open64, lseek and
// lseek64 ... can all be defined here; the dispatcher is built like the
// rest of the system and only fixed-width types cross between them.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/core/call_fault.h"
#include "sim/core/dispatch.h"
#include "sim/core/real_call.h"

namespace d = ks_sim::dispatch;

namespace {

using ks_sim::real_call::next;

bool wants_mode(int flags)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

int64_t ts_ns(const struct timespec *ts)
{
    return int64_t(ts->tv_sec) * 1000000000 + ts->tv_nsec;
}

}  // namespace

namespace ks_sim {
namespace real {

int open(const char *path, int flags, unsigned mode)
{
    REAL(open64, int (*)(const char *, int, ...));
    return real_open64(path, flags, mode);
}

int close(int fd)
{
    REAL(close, int (*)(int));
    return real_close(fd);
}

int64_t read(int fd, void *buf, size_t len)
{
    REAL(read, ssize_t (*)(int, void *, size_t));
    return real_read(fd, buf, len);
}

int64_t write(int fd, const void *buf, size_t len)
{
    REAL(write, ssize_t (*)(int, const void *, size_t));
    return real_write(fd, buf, len);
}

int mount(const char *source, const char *target, const char *type, unsigned long flags,
          const void *data)
{
    REAL(mount, int (*)(const char *, const char *, const char *, unsigned long, const void *));
    return real_mount(source, target, type, flags, data);
}

int umount2(const char *target, int flags)
{
    REAL(umount2, int (*)(const char *, int));
    return real_umount2(target, flags);
}

int nanosleep_ns(int64_t ns)
{
    REAL(nanosleep, int (*)(const struct timespec *, struct timespec *));
    if (ns <= 0)
        return 0;
    struct timespec ts;
    ts.tv_sec = time_t(ns / 1000000000);
    ts.tv_nsec = long(ns % 1000000000);
    return real_nanosleep(&ts, nullptr);
}

}  // namespace real
}  // namespace ks_sim

// Only these C entry points leave the library; the core inside is hidden.
#pragma GCC visibility push(default)
extern "C" {

// --- opening --------------------------------------------------------------

// Every open variant ends here; dirfd is AT_FDCWD for open and creat.
static int open_common(int dirfd, const char *path, int flags, unsigned mode)
{
    int r;
    if (d::open(dirfd, path, flags, mode, &r))
        return r;
    if (ks_sim::call_fault::refuse("open"))
        return -1;
    REAL(openat64, int (*)(int, const char *, int, ...));
    return real_openat64(dirfd, path, flags, mode);
}

static unsigned va_mode(int flags, va_list ap)
{
    return wants_mode(flags) ? va_arg(ap, unsigned) : 0;
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    unsigned mode = va_mode(flags, ap);
    va_end(ap);
    return open_common(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    unsigned mode = va_mode(flags, ap);
    va_end(ap);
    return open_common(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    unsigned mode = va_mode(flags, ap);
    va_end(ap);
    return open_common(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    unsigned mode = va_mode(flags, ap);
    va_end(ap);
    return open_common(dirfd, path, flags | O_LARGEFILE, mode);
}

int __open_2(const char *path, int flags) { return open_common(AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags)
{
    return open_common(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}
int __openat_2(int dirfd, const char *path, int flags)
{
    return open_common(dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char *path, int flags)
{
    return open_common(dirfd, path, flags | O_LARGEFILE, 0);
}

int creat(const char *path, mode_t mode)
{
    return open_common(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int creat64(const char *path, mode_t mode)
{
    return open_common(AT_FDCWD, path, O_CREAT | O_WRONLY | O_TRUNC | O_LARGEFILE, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    FILE *f;
    if (d::fopen(path, mode, &f))
        return f;
    if (ks_sim::call_fault::refuse("fopen"))
        return nullptr;
    REAL(fopen, FILE *(*)(const char *, const char *));
    return real_fopen(path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    FILE *f;
    if (d::fopen(path, mode, &f))
        return f;
    if (ks_sim::call_fault::refuse("fopen"))
        return nullptr;
    REAL(fopen64, FILE *(*)(const char *, const char *));
    return real_fopen64(path, mode);
}

FILE *fdopen(int fd, const char *mode)
{
    FILE *f;
    if (d::fdopen(fd, mode, &f))
        return f;
    REAL(fdopen, FILE *(*)(int, const char *));
    return real_fdopen(fd, mode);
}

// A stream cannot be turned into a simulated one in place: reopening a
// stream onto a simulated path is refused rather than silently reaching a
// placeholder.
FILE *freopen(const char *path, const char *mode, FILE *stream)
{
    if (d::simulated_path(path)) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    REAL(freopen, FILE *(*)(const char *, const char *, FILE *));
    return real_freopen(path, mode, stream);
}

FILE *freopen64(const char *path, const char *mode, FILE *stream)
{
    if (d::simulated_path(path)) {
        errno = EOPNOTSUPP;
        return nullptr;
    }
    REAL(freopen64, FILE *(*)(const char *, const char *, FILE *));
    return real_freopen64(path, mode, stream);
}

// --- descriptors ------------------------------------------------------------

int close(int fd)
{
    int r;
    if (d::close(fd, &r))
        return r;
    REAL(close, int (*)(int));
    // A refused close still closes the descriptor, as the kernel's does.
    if (ks_sim::call_fault::refuse("close")) {
        int e = errno;
        real_close(fd);
        errno = e;
        return -1;
    }
    return real_close(fd);
}

ssize_t read(int fd, void *buf, size_t len)
{
    int64_t r;
    if (d::read(fd, buf, len, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("read"))
        return -1;
    REAL(read, ssize_t (*)(int, void *, size_t));
    return real_read(fd, buf, len);
}

ssize_t __read_chk(int fd, void *buf, size_t len, size_t buflen)
{
    int64_t r;
    if (len <= buflen && d::read(fd, buf, len, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("read"))
        return -1;
    REAL(__read_chk, ssize_t (*)(int, void *, size_t, size_t));
    return real___read_chk(fd, buf, len, buflen);
}

ssize_t write(int fd, const void *buf, size_t len)
{
    int64_t r;
    if (d::write(fd, buf, len, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("write"))
        return -1;
    REAL(write, ssize_t (*)(int, const void *, size_t));
    return real_write(fd, buf, len);
}

ssize_t pread(int fd, void *buf, size_t len, off_t off)
{
    int64_t r;
    if (d::pread(fd, buf, len, off, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("pread"))
        return -1;
    REAL(pread, ssize_t (*)(int, void *, size_t, off_t));
    return real_pread(fd, buf, len, off);
}

ssize_t pread64(int fd, void *buf, size_t len, off64_t off)
{
    int64_t r;
    if (d::pread(fd, buf, len, off, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("pread"))
        return -1;
    REAL(pread64, ssize_t (*)(int, void *, size_t, off64_t));
    return real_pread64(fd, buf, len, off);
}

ssize_t pwrite(int fd, const void *buf, size_t len, off_t off)
{
    int64_t r;
    if (d::pwrite(fd, buf, len, off, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("pwrite"))
        return -1;
    REAL(pwrite, ssize_t (*)(int, const void *, size_t, off_t));
    return real_pwrite(fd, buf, len, off);
}

ssize_t pwrite64(int fd, const void *buf, size_t len, off64_t off)
{
    int64_t r;
    if (d::pwrite(fd, buf, len, off, &r))
        return ssize_t(r);
    if (ks_sim::call_fault::refuse("pwrite"))
        return -1;
    REAL(pwrite64, ssize_t (*)(int, const void *, size_t, off64_t));
    return real_pwrite64(fd, buf, len, off);
}

off_t lseek(int fd, off_t off, int whence)
{
    int64_t r;
    if (d::lseek(fd, off, whence, &r)) {
        if (r > INT64_C(0) && off_t(r) != r) {
            errno = EOVERFLOW;
            return -1;
        }
        return off_t(r);
    }
    REAL(lseek, off_t (*)(int, off_t, int));
    return real_lseek(fd, off, whence);
}

off64_t lseek64(int fd, off64_t off, int whence)
{
    int64_t r;
    if (d::lseek(fd, off, whence, &r))
        return r;
    REAL(lseek64, off64_t (*)(int, off64_t, int));
    return real_lseek64(fd, off, whence);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int r;
    if (d::ioctl(fd, request, arg, &r))
        return r;
    REAL(ioctl, int (*)(int, unsigned long, ...));
    return real_ioctl(fd, request, arg);
}

static int backing_or_errno(int fd, bool *simulated)
{
    int backing;
    std::string placeholder;
    *simulated = d::stat_target(fd, &backing, &placeholder);
    return *simulated ? backing : fd;
}

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    REAL(mmap, void *(*)(void *, size_t, int, int, int, off_t));
    bool sim = false;
    int target = (flags & MAP_ANONYMOUS) ? fd : backing_or_errno(fd, &sim);
    if (sim && target < 0) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return real_mmap(addr, len, prot, flags, target, off);
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off)
{
    REAL(mmap64, void *(*)(void *, size_t, int, int, int, off64_t));
    bool sim = false;
    int target = (flags & MAP_ANONYMOUS) ? fd : backing_or_errno(fd, &sim);
    if (sim && target < 0) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    return real_mmap64(addr, len, prot, flags, target, off);
}

// fstat of a simulated descriptor describes its backing descriptor, else
// the placeholder at its path (a character device where the device would
// have one), else the descriptor itself.
int fstat(int fd, struct stat *st)
{
    REAL(fstat, int (*)(int, struct stat *));
    int backing;
    std::string placeholder;
    if (d::stat_target(fd, &backing, &placeholder)) {
        if (backing >= 0)
            return real_fstat(backing, st);
        REAL(stat, int (*)(const char *, struct stat *));
        if (real_stat(placeholder.c_str(), st) == 0)
            return 0;
    }
    return real_fstat(fd, st);
}

int fstat64(int fd, struct stat64 *st)
{
    REAL(fstat64, int (*)(int, struct stat64 *));
    int backing;
    std::string placeholder;
    if (d::stat_target(fd, &backing, &placeholder)) {
        if (backing >= 0)
            return real_fstat64(backing, st);
        REAL(stat64, int (*)(const char *, struct stat64 *));
        if (real_stat64(placeholder.c_str(), st) == 0)
            return 0;
    }
    return real_fstat64(fd, st);
}

int dup(int fd)
{
    REAL(dup, int (*)(int));
    int r = real_dup(fd);
    d::duplicated(fd, r);
    return r;
}

int dup2(int fd, int newfd)
{
    REAL(dup2, int (*)(int, int));
    int r = real_dup2(fd, newfd);
    if (r >= 0)
        d::duplicated(fd, r);
    return r;
}

int dup3(int fd, int newfd, int flags)
{
    REAL(dup3, int (*)(int, int, int));
    int r = real_dup3(fd, newfd, flags);
    if (r >= 0)
        d::duplicated(fd, r);
    return r;
}

static int fcntl_common(int (*real)(int, int, ...), int fd, int cmd, void *arg)
{
    int r = real(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC))
        d::duplicated(fd, r);
    return r;
}

int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    REAL(fcntl, int (*)(int, int, ...));
    return fcntl_common(real_fcntl, fd, cmd, arg);
}

int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    REAL(fcntl64, int (*)(int, int, ...));
    return fcntl_common(real_fcntl64, fd, cmd, arg);
}

// --- mounts ------------------------------------------------------------------

int mount(const char *source, const char *target, const char *type, unsigned long flags,
          const void *data)
{
    int r;
    d::mount(source, target, type, flags, data, &r);
    return r;
}

int umount(const char *target)
{
    int r;
    d::umount(target, 0, &r);
    return r;
}

int umount2(const char *target, int flags)
{
    int r;
    d::umount(target, flags, &r);
    return r;
}

// Rebooting or powering off the machine is never passed on: the request is
// recorded (run/reboot) and refused.
int reboot(int cmd)
{
    int r;
    d::reboot(cmd, &r);
    return r;
}

// --- extended attributes -------------------------------------------------------

ssize_t getxattr(const char *path, const char *name, void *value, size_t size)
{
    int64_t r;
    if (d::getxattr(path, -1, name, value, size, &r))
        return ssize_t(r);
    REAL(getxattr, ssize_t (*)(const char *, const char *, void *, size_t));
    return real_getxattr(path, name, value, size);
}

ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size)
{
    int64_t r;
    if (d::getxattr(path, -1, name, value, size, &r))
        return ssize_t(r);
    REAL(lgetxattr, ssize_t (*)(const char *, const char *, void *, size_t));
    return real_lgetxattr(path, name, value, size);
}

ssize_t fgetxattr(int fd, const char *name, void *value, size_t size)
{
    int64_t r;
    if (d::getxattr(nullptr, fd, name, value, size, &r))
        return ssize_t(r);
    REAL(fgetxattr, ssize_t (*)(int, const char *, void *, size_t));
    return real_fgetxattr(fd, name, value, size);
}

int setxattr(const char *path, const char *name, const void *value, size_t size, int flags)
{
    int r;
    if (d::setxattr(path, -1, name, value, size, flags, &r))
        return r;
    REAL(setxattr, int (*)(const char *, const char *, const void *, size_t, int));
    return real_setxattr(path, name, value, size, flags);
}

int lsetxattr(const char *path, const char *name, const void *value, size_t size, int flags)
{
    int r;
    if (d::setxattr(path, -1, name, value, size, flags, &r))
        return r;
    REAL(lsetxattr, int (*)(const char *, const char *, const void *, size_t, int));
    return real_lsetxattr(path, name, value, size, flags);
}

int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags)
{
    int r;
    if (d::setxattr(nullptr, fd, name, value, size, flags, &r))
        return r;
    REAL(fsetxattr, int (*)(int, const char *, const void *, size_t, int));
    return real_fsetxattr(fd, name, value, size, flags);
}

// --- sleeping -------------------------------------------------------------------

unsigned int sleep(unsigned int seconds)
{
    int64_t wait;
    if (d::sleep_request("sleep", int64_t(seconds) * 1000000000, &wait)) {
        ks_sim::real::nanosleep_ns(wait);
        return 0;
    }
    REAL(sleep, unsigned int (*)(unsigned int));
    return real_sleep(seconds);
}

int usleep(useconds_t usec)
{
    int64_t wait;
    if (d::sleep_request("usleep", int64_t(usec) * 1000, &wait))
        return ks_sim::real::nanosleep_ns(wait);
    REAL(usleep, int (*)(useconds_t));
    return real_usleep(usec);
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    int64_t wait;
    if (req && req->tv_nsec >= 0 && req->tv_nsec < 1000000000 &&
        d::sleep_request("nanosleep", ts_ns(req), &wait)) {
        if (rem)
            rem->tv_sec = rem->tv_nsec = 0;
        return ks_sim::real::nanosleep_ns(wait);
    }
    REAL(nanosleep, int (*)(const struct timespec *, struct timespec *));
    return real_nanosleep(req, rem);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req,
                    struct timespec *rem)
{
    int64_t wait;
    if (req && req->tv_nsec >= 0 && req->tv_nsec < 1000000000) {
        int64_t ns = ts_ns(req);
        if (flags & TIMER_ABSTIME) {
            struct timespec now;
            if (clock_gettime(clock, &now) == 0)
                ns -= ts_ns(&now);
            if (ns < 0)
                ns = 0;
        }
        if (d::sleep_request("clock_nanosleep", ns, &wait)) {
            if (rem)
                rem->tv_sec = rem->tv_nsec = 0;
            ks_sim::real::nanosleep_ns(wait);
            return 0;
        }
    }
    REAL(clock_nanosleep, int (*)(clockid_t, int, const struct timespec *, struct timespec *));
    return real_clock_nanosleep(clock, flags, req, rem);
}

// --- profile ---------------------------------------------------------------

// The calls the simulator timed in this process and the nanoseconds they
// took (KS_SIM_PROFILE, see dispatch.cpp); a benchmark finds it with dlsym.
void ks_sim_profile(int64_t *calls, int64_t *ns)
{
    d::profile(calls, ns);
}

}  // extern "C"
#pragma GCC visibility pop

namespace {

// With KS_SIM_PROFILE naming a file, "PID CALLS NANOSECONDS DESCRIPTOR_NS"
// is added to it when the process exits.
__attribute__((destructor)) void write_profile()
{
    const char *file = std::getenv("KS_SIM_PROFILE");
    if (!file || file[0] != '/')
        return;
    int64_t calls, ns;
    d::profile(&calls, &ns);
    char line[128];
    int n = std::snprintf(line, sizeof line, "%ld %lld %lld %lld\n", long(getpid()),
                          static_cast<long long>(calls), static_cast<long long>(ns),
                          static_cast<long long>(d::profile_descriptors()));
    int fd = ks_sim::real::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (n > 0)
        ks_sim::real::write(fd, line, size_t(n));
    ks_sim::real::close(fd);
}

}  // namespace
