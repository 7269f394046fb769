// Tests that run a case in a forked child first check that forked children
// work at all: some user-mode emulators (qemu-arm here) crash every child
// of a dynamically linked program, which says nothing about the code under
// test.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

inline bool forked_children_work()
{
    static int works = -1;
    if (works < 0) {
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0)
            _exit(0);
        int status = 0;
        works = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0;
    }
    return works == 1;
}

#define SKIP_UNLESS_FORKED_CHILDREN_WORK()                                   \
    do {                                                                   \
        if (!forked_children_work())                                       \
            GTEST_SKIP() << "forked children crash in this environment";   \
    } while (0)
