// Test helpers for the process itself: a child process that runs on a copy
// of the test, and the count of the descriptors it holds open.
//
// test_fork: under qemu-arm the child of the C library's fork crashes at
// once; the bare clone system call with SIGCHLD makes the same copy and
// works in both builds. Only for single-threaded moments of a test; the
// child ends with _exit.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

inline pid_t test_fork()
{
    return pid_t(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
}

// The entries of /proc/self/fd, counted while it is open: compare two
// counts to see whether descriptors were left open in between. The
// simulator's own descriptors, its state files (under $KS_SIM_STATE or
// "/.ks-sim") that it keeps open between requests, are not the program's
// and are not counted.
inline int open_descriptors()
{
    const char *env = std::getenv("KS_SIM_STATE");
    std::string state = std::string(env && *env ? env : "/.ks-sim") + "/";
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        char target[4096];
        ssize_t len = readlinkat(dirfd(d), e->d_name, target, sizeof target - 1);
        if (len > 0 && std::string(target, size_t(len)).compare(0, state.size(), state) == 0)
            continue;
        n++;
    }
    if (d)
        closedir(d);
    return n;
}
