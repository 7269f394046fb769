// process_executable for processes started through the launcher. This test
// builds its own copy of the path helpers with KS_LAUNCHER_PATH naming a
// copy of sleep in the build tree, so nothing is placed in /usr/bin.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "support/tarvo_common.h"

namespace {

bool copy_executable(const char *from, const std::string &to)
{
    std::string temp = to + ".new";
    {
        std::ifstream in(from, std::ios::binary);
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << in.rdbuf();
        if (!out)
            return false;
    }
    return chmod(temp.c_str(), 0755) == 0 && rename(temp.c_str(), to.c_str()) == 0;
}

// Starts the launcher with the given first argument and waits until the
// child runs it.
pid_t start_launcher(const char *argv0)
{
    pid_t pid = -1;
    char *argv[] = {const_cast<char *>(argv0), const_cast<char *>("30"), nullptr};
    if (posix_spawn(&pid, KS_LAUNCHER_PATH, nullptr, nullptr, argv, environ) != 0)
        return -1;
    // Right after the exec the kernel shows the new executable a moment
    // before the new command line: wait for both.
    char link[64], cmdline[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/%ld/exe", long(pid));
    snprintf(cmdline, sizeof cmdline, "/proc/%ld/cmdline", long(pid));
    for (int i = 0; i < 500; i++) {
        ssize_t n = readlink(link, target, sizeof target - 1);
        std::ifstream args(cmdline, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(args)), std::istreambuf_iterator<char>());
        if (n > 0 && std::string(target, size_t(n)) == KS_LAUNCHER_PATH && !text.empty())
            break;
        usleep(10000);
    }
    return pid;
}

void stop(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST(ProcessExecutable, LauncherGivesFirstArgument)
{
    ASSERT_TRUE(copy_executable("/bin/sleep", KS_LAUNCHER_PATH));
    struct {
        const char *argv0;
        const char *expect;
    } cases[] = {
        {"/opt/app/x", "/opt/app/x"},
        {"relative name", "relative name"},
        {"", KS_LAUNCHER_PATH},  // an empty argument names nothing
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv0);
        pid_t pid = start_launcher(c.argv0);
        ASSERT_GT(pid, 0);
        std::string out;
        EXPECT_TRUE(process_executable(long(pid), out));
        EXPECT_EQ(out, c.expect);
        stop(pid);
    }
    unlink(KS_LAUNCHER_PATH);
}

}  // namespace
