// libkeepstone-sim.so: statfs and fstatfs, which tell a program on which
// kind of file system a file lies. Inside the sandbox the kernel's sysfs
// and securityfs are stood in for by the tmpfs the sandbox mounts on /sys
// (its placeholders), and a file a model serves is a memfd descriptor;
// both are answered with the type the kernel's own file system has:
// SECURITYFS_MAGIC at and below "/sys/kernel/security", SYSFS_MAGIC
// elsewhere on the stand-in, and for a served descriptor the type of the
// file at its path (PROC_SUPER_MAGIC for "/proc/cpuinfo" on the sandbox's
// procfs). Everything else answers for itself: a file system really
// mounted (a sysfs, securityfs or procfs that a program mounted inside the
// sandbox has its own type), the device root's own /sys directory once the
// stand-in is taken away, and every call outside the sandbox.
//
// Built without large-file redirection, like interpose.cpp, so that both
// names of each call (statfs and statfs64 ...) can be defined here.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/core/dispatch.h"
#include "sim/core/real_call.h"

namespace d = ks_sim::dispatch;

namespace {

using ks_sim::real_call::next;

constexpr char SECURITYFS_DIR[] = "/sys/kernel/security";

int real_stat(const char *path, struct stat64 *st)
{
    REAL(stat64, int (*)(const char *, struct stat64 *));
    return real_stat64(path, st);
}

int real_fstat(int fd, struct stat64 *st)
{
    REAL(fstat64, int (*)(int, struct stat64 *));
    return real_fstat64(fd, st);
}

// Whether this process runs on the sandbox's device: in its namespace, or
// in one a test made below it (the sandbox names itself in the
// environment; a process without a procfs cannot see its namespace).
bool on_sandbox_device()
{
    const char *sandbox = std::getenv("KS_SIM_SANDBOX");
    return ks_sim::in_sandbox() || (sandbox && *sandbox);
}

// Whether a file of file system type f_type on device dev lies on the
// sandbox's stand-in: the tmpfs mounted on "/sys" (a file system of its
// own, unlike the device root's plain /sys directory).
bool on_stand_in(unsigned long f_type, dev_t dev)
{
    if (f_type != TMPFS_MAGIC || !on_sandbox_device())
        return false;
    struct stat64 sys, root;
    return real_stat("/sys", &sys) == 0 && real_stat("/", &root) == 0 &&
           sys.st_dev != root.st_dev && sys.st_dev == dev;
}

// The type the kernel's file system has at an absolute path of the
// stand-in; a path that is not known is sysfs, the outer of the two.
long stand_in_type(const std::string &path)
{
    size_t n = sizeof SECURITYFS_DIR - 1;
    bool securityfs = path.compare(0, n, SECURITYFS_DIR) == 0 &&
                      (path.size() == n || path[n] == '/');
    return securityfs ? SECURITYFS_MAGIC : SYSFS_MAGIC;
}

// The file's absolute path with its links followed, or its normal form
// when that cannot be found.
std::string resolved(const char *path)
{
    char buf[PATH_MAX];
    if (::realpath(path, buf))
        return buf;
    return ks_sim::normalise_path(AT_FDCWD, path);
}

std::string descriptor_path(int fd)
{
    char buf[PATH_MAX];
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

template <class S, class R>
int statfs_of_path(const char *path, S *buf, R real)
{
    int r = real(path, buf);
    if (r != 0 || !path)
        return r;
    struct stat64 st;
    if (real_stat(path, &st) == 0 && on_stand_in((unsigned long)buf->f_type, st.st_dev))
        buf->f_type = decltype(buf->f_type)(stand_in_type(resolved(path)));
    return 0;
}

template <class S, class RP, class RF>
int statfs_of_descriptor(int fd, S *buf, RP real_path, RF real_fd)
{
    // A served descriptor is a memfd: it answers for the file at its path,
    // as its fstat does.
    int backing;
    std::string path;
    if (d::stat_target(fd, &backing, &path) && statfs_of_path(path.c_str(), buf, real_path) == 0)
        return 0;
    int r = real_fd(fd, buf);
    if (r != 0)
        return r;
    struct stat64 st;
    if (real_fstat(fd, &st) == 0 && on_stand_in((unsigned long)buf->f_type, st.st_dev))
        buf->f_type = decltype(buf->f_type)(stand_in_type(descriptor_path(fd)));
    return 0;
}

}  // namespace

#pragma GCC visibility push(default)
extern "C" {

int statfs(const char *path, struct statfs *buf)
{
    REAL(statfs, int (*)(const char *, struct statfs *));
    return statfs_of_path(path, buf, real_statfs);
}

int statfs64(const char *path, struct statfs64 *buf)
{
    REAL(statfs64, int (*)(const char *, struct statfs64 *));
    return statfs_of_path(path, buf, real_statfs64);
}

int fstatfs(int fd, struct statfs *buf)
{
    REAL(statfs, int (*)(const char *, struct statfs *));
    REAL(fstatfs, int (*)(int, struct statfs *));
    return statfs_of_descriptor(fd, buf, real_statfs, real_fstatfs);
}

int fstatfs64(int fd, struct statfs64 *buf)
{
    REAL(statfs64, int (*)(const char *, struct statfs64 *));
    REAL(fstatfs64, int (*)(int, struct statfs64 *));
    return statfs_of_descriptor(fd, buf, real_statfs64, real_fstatfs64);
}

}  // extern "C"
#pragma GCC visibility pop
