// libkeepstone-sim.so: the file-system calls that no model serves but that
// the call fault (call_fault.h) counts: each one asks whether it must fail
// and otherwise goes to the C library's own function. Opens, reads,
// writes and closes are counted where interpose.cpp passes them on.
//
// Built without large-file redirection, like interpose.cpp, so that both
// names of a call (ftruncate and ftruncate64 ...) can be defined here.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "sim/core/call_fault.h"
#include "sim/core/real_call.h"

using ks_sim::real_call::next;

// Defines an interposed call NAME(PARAMS) that returns FAILED (with errno
// set) when the call fault refuses it, and otherwise calls the C
// library's own NAME with ARGS.
#define COUNTED(ret, name, failed, params, args)                          \
    ret name params                                                        \
    {                                                                      \
        if (ks_sim::call_fault::refuse(#name))                             \
            return failed;                                                 \
        static decltype(&name) real = nullptr;                            \
        if (!real)                                                         \
            real = next<decltype(&name)>(#name);                          \
        if (!real) {                                                       \
            errno = ENOSYS;                                                \
            return failed;                                                 \
        }                                                                  \
        return real args;                                                  \
    }

#pragma GCC visibility push(default)
extern "C" {

// --- writing and reading through vectors ------------------------------------
COUNTED(ssize_t, writev, -1, (int fd, const struct iovec *v, int n), (fd, v, n))
COUNTED(ssize_t, readv, -1, (int fd, const struct iovec *v, int n), (fd, v, n))
COUNTED(ssize_t, pwritev, -1, (int fd, const struct iovec *v, int n, off_t o), (fd, v, n, o))
COUNTED(ssize_t, pwritev64, -1, (int fd, const struct iovec *v, int n, off64_t o), (fd, v, n, o))
COUNTED(ssize_t, preadv, -1, (int fd, const struct iovec *v, int n, off_t o), (fd, v, n, o))
COUNTED(ssize_t, preadv64, -1, (int fd, const struct iovec *v, int n, off64_t o), (fd, v, n, o))

// --- flushing ------------------------------------------------------------------
COUNTED(int, fsync, -1, (int fd), (fd))
COUNTED(int, fdatasync, -1, (int fd), (fd))
COUNTED(int, syncfs, -1, (int fd), (fd))
COUNTED(int, msync, -1, (void *a, size_t l, int f), (a, l, f))

// --- names -----------------------------------------------------------------------
COUNTED(int, rename, -1, (const char *a, const char *b),
        (a, b))
COUNTED(int, renameat, -1, (int da, const char *a, int db, const char *b), (da, a, db, b))
COUNTED(int, renameat2, -1, (int da, const char *a, int db, const char *b, unsigned f), (da, a, db, b, f))
COUNTED(int, unlink, -1, (const char *p), (p))
COUNTED(int, unlinkat, -1, (int d, const char *p, int f),
        (d, p, f))
COUNTED(int, rmdir, -1, (const char *p), (p))
COUNTED(int, mkdir, -1, (const char *p, mode_t m), (p, m))
COUNTED(int, mkdirat, -1, (int d, const char *p, mode_t m),
        (d, p, m))
COUNTED(int, link, -1, (const char *a, const char *b),
        (a, b))
COUNTED(int, linkat, -1, (int da, const char *a, int db, const char *b, int f), (da, a, db, b, f))
COUNTED(int, symlink, -1, (const char *a, const char *b),
        (a, b))
COUNTED(int, symlinkat, -1, (const char *a, int d, const char *b), (a, d, b))

// --- sizes -----------------------------------------------------------------------
COUNTED(int, ftruncate, -1, (int fd, off_t l), (fd, l))
COUNTED(int, ftruncate64, -1, (int fd, off64_t l), (fd, l))
COUNTED(int, truncate, -1, (const char *p, off_t l), (p, l))
COUNTED(int, truncate64, -1, (const char *p, off64_t l), (p, l))
COUNTED(int, fallocate, -1, (int fd, int m, off_t o, off_t l),
        (fd, m, o, l))
COUNTED(int, fallocate64, -1, (int fd, int m, off64_t o, off64_t l), (fd, m, o, l))
// posix_fallocate gives its error as the result, not in errno.
COUNTED(int, posix_fallocate, errno, (int fd, off_t o, off_t l),
        (fd, o, l))
COUNTED(int, posix_fallocate64, errno, (int fd, off64_t o, off64_t l), (fd, o, l))

// --- owners and modes ----------------------------------------------------------------
COUNTED(int, fchmod, -1, (int fd, mode_t m), (fd, m))
COUNTED(int, chmod, -1, (const char *p, mode_t m), (p, m))
COUNTED(int, fchmodat, -1, (int d, const char *p, mode_t m, int f), (d, p, m, f))
COUNTED(int, fchown, -1, (int fd, uid_t u, gid_t g), (fd, u, g))
COUNTED(int, chown, -1, (const char *p, uid_t u, gid_t g),
        (p, u, g))
COUNTED(int, lchown, -1, (const char *p, uid_t u, gid_t g),
        (p, u, g))
COUNTED(int, fchownat, -1, (int d, const char *p, uid_t u, gid_t g, int f), (d, p, u, g, f))

}  // extern "C"
#pragma GCC visibility pop
