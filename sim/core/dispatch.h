// Between the interposer (built without large-file redirection, so that it
// can define both open and open64) and the simulator core (built like the
// rest of the system). Only fixed-width types cross this boundary.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ks_sim {

// The C library's own functions, found past the interposer.
namespace real {
int open(const char *path, int flags, unsigned mode);
int close(int fd);
int64_t read(int fd, void *buf, size_t len);
int64_t write(int fd, const void *buf, size_t len);
int mount(const char *source, const char *target, const char *type, unsigned long flags,
          const void *data);
int umount2(const char *target, int flags);
int nanosleep_ns(int64_t ns);
}  // namespace real

namespace dispatch {

// Each call returns whether the simulator handled it; when it did, the
// result is in *result, with errno set when it is -1.

// Opens a simulated path relative to dirfd (AT_FDCWD for the working
// directory): a real memfd descriptor routed to the model's file.
bool open(int dirfd, const char *path, int flags, unsigned mode, int *result);
bool read(int fd, void *buf, size_t len, int64_t *result);
bool write(int fd, const void *buf, size_t len, int64_t *result);
bool pread(int fd, void *buf, size_t len, int64_t offset, int64_t *result);
bool pwrite(int fd, const void *buf, size_t len, int64_t offset, int64_t *result);
bool lseek(int fd, int64_t offset, int whence, int64_t *result);
bool ioctl(int fd, unsigned long request, void *arg, int *result);
bool close(int fd, int *result);
// The calls timed so far and the nanoseconds they took (both 0 unless
// KS_SIM_PROFILE is in the environment).
void profile(int64_t *calls, int64_t *ns);
// Of those nanoseconds, the ones the program's descriptors took (making
// the memfd of an open, closing it).
int64_t profile_descriptors();
// A descriptor made by dup/dup2/dup3/fcntl from a simulated one shares its
// open file; the model sees one close, at the last.
void duplicated(int oldfd, int newfd);
// The descriptor that fstat and mmap of a simulated descriptor use (the
// model's backing descriptor), or the path of its placeholder for fstat.
// Returns false when fd is not simulated.
bool stat_target(int fd, int *backing_fd, std::string *placeholder);

// Whether a model serves the path (relative to the working directory).
bool simulated_path(const char *path);

// Streams on simulated paths (fopencookie). Null with errno on refusal.
bool fopen(const char *path, const char *mode, FILE **result);
// A stream on a simulated descriptor; closing the stream closes it.
bool fdopen(int fd, const char *mode, FILE **result);

bool mount(const char *source, const char *target, const char *type, unsigned long flags,
           const void *data, int *result);
bool umount(const char *target, int flags, int *result);
void reboot(int cmd, int *result);

// Sleeping inside the sandbox: records the request and gives the time to
// really wait (scaled by KS_SIM_SLEEP_SCALE). False when sleeps are not
// simulated.
bool sleep_request(const char *what, int64_t ns, int64_t *wait_ns);

bool getxattr(const char *path, int fd, const char *name, void *value, size_t size,
              int64_t *result);
bool setxattr(const char *path, int fd, const char *name, const void *value, size_t size,
              int flags, int *result);

}  // namespace dispatch

// Absolute, normalised form of a path given relative to dirfd ("." and
// ".." and repeated slashes removed; symbolic links are not followed),
// written into out without allocating: every call a program makes passes
// through here, and a fuzzed program counts the allocations of each input.
// False when the working directory or dirfd's directory cannot be found,
// or when the normal form does not fit (no model serves so long a path).
bool normalise_path(int dirfd, const char *path, char (&out)[PATH_MAX]);
// The same as a string (for calls that allocate anyway, such as mounts);
// the path unchanged when it cannot be normalised.
std::string normalise_path(int dirfd, const char *path);

// run_path(name) written into out without allocating; false when it does
// not fit.
bool run_path_in(char *out, size_t size, const char *name);

// The number of the simulated call this thread is answering (one program
// call routed to a model, with all the model does for it), or 0 outside
// one: what a model asks the state more than once in a call, such as the
// faults, it may take from what it read earlier in the same call.
uint64_t current_request();

// Whether this process runs in the sandbox's mount namespace (the
// namespace named by KS_SIM_SANDBOX). Mounts are passed to the kernel only
// then.
bool in_sandbox();

// The UBI and UBIFS side of mount (models/ubi.cpp).
int ubifs_mount(const std::string &source, const std::string &target, unsigned long flags,
                const std::string &data);

}  // namespace ks_sim
