// Time stamps, trace lines on standard error and the crash handler, each
// run in a forked child so the log state and signal actions of the test
// process stay untouched. Routing to the console and the log files runs in
// the sandbox (log_sandbox_test.cpp).
#include "init/log.h"
#include "init/fork_probe_test.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>

namespace {

TEST(TimeStamp, BorrowsASecond)
{
    struct row {
        timeval start, now;
        const char *text;
    } rows[] = {
        {{10, 900000}, {12, 100000}, "[1.200000] "},
        {{10, 500}, {12, 500}, "[2.000000] "},
        {{10, 500}, {10, 500}, "[0.000000] "},
        {{0, 0}, {3600, 7}, "[3600.000007] "},
        {{5, 999999}, {6, 0}, "[0.000001] "},
    };
    for (const row &r : rows) {
        char text[48];
        int n = format_time_stamp(r.start, r.now, text, sizeof text);
        EXPECT_STREQ(text, r.text);
        EXPECT_EQ(n, int(strlen(r.text)));
    }
}

// Runs body in a child whose standard error goes to a file; returns the
// file's content and the child's exit status.
std::pair<std::string, int> in_child(const std::function<int()> &body)
{
    char path[] = "/tmp/ks-log-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 2);
        int code = body();
        fflush(nullptr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(fd);
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(path);
    return {ss.str(), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(LogTrace, ToStandardErrorWithAndWithoutStamps)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    auto [text, code] = in_child([] {
        if (log_trace("dropped %d\n", 1) != 0)  // no trace stream yet
            return 1;
        setup_crash_handling(0);
        log_to_stderr(1);
        int n = log_trace("step %d\n", 2);
        if (n != 18)  // "[0.000123] " and "step 2\n"
            return 2;
        log_raw("raw%s", "\n");
        log_error("errors go to the console only\n");
        log_error_plain("plain too\n");
        log_to_stderr(0);
        log_trace("plain %s\n", "line");
        log_trace("continued ");
        log_trace("here\n");
        return 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::regex_match(
        text, std::regex("\\[0\\.\\d{6}\\] step 2\nraw\nplain line\ncontinued here\n")))
        << text;
}

TEST(LogTrace, ProcStatusCopyStampsEveryLine)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    auto [text, code] = in_child([] {
        setup_crash_handling(0);
        log_to_stderr(1);
        return dump_proc_status();
    });
    EXPECT_EQ(code, 0);
    // Every line starts with a stamp, the last one holds the stamp alone.
    std::regex line("\\[\\d+\\.\\d{6}\\] [^\n]*\n");
    std::string rest = text;
    int lines = 0;
    std::smatch m;
    while (std::regex_search(rest, m, line, std::regex_constants::match_continuous)) {
        rest = m.suffix();
        lines++;
    }
    EXPECT_EQ(rest, "");
    EXPECT_GT(lines, 5);
    EXPECT_NE(text.find("] Name:"), std::string::npos);
    EXPECT_TRUE(std::regex_search(text, std::regex("\\] \n$")));
}

// Every catchable signal ends the process through the handler with status
// 255; SIGKILL and SIGSTOP keep their default actions.
TEST(CrashHandler, EndsWithStatus255OnEveryCatchableSignal)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    for (int sig = 1; sig <= 31; sig++) {
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int fd = open("/dev/null", O_WRONLY);
            dup2(fd, 2);
            setup_crash_handling(0);
            raise(sig);
            // Stopped by SIGSTOP: the parent kills the child.
            _exit(3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
        if (sig == SIGKILL) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        } else if (sig == SIGSTOP) {
            EXPECT_TRUE(WIFSTOPPED(status));
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig;
            EXPECT_EQ(WEXITSTATUS(status), 255) << "signal " << sig;
        }
    }
}

TEST(CrashHandler, InstallsForThirtyOneSignalsWithFullMask)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    auto [text, code] = in_child([] {
        // The last installation (31) succeeds.
        if (setup_crash_handling(0) != 0)
            return 1;
        for (int sig = 1; sig <= 31; sig++) {
            if (sig == SIGKILL || sig == SIGSTOP)
                continue;
            struct sigaction a;
            sigaction(sig, nullptr, &a);
            if (a.sa_handler != crash_handler ||
                (a.sa_flags & (SA_RESTART | SA_SIGINFO | SA_ONSTACK | SA_NODEFER | SA_RESETHAND)) ||
                !sigismember(&a.sa_mask, SIGINT) || !sigismember(&a.sa_mask, SIGUSR2))
                return 10 + sig;
        }
        return 0;
    });
    EXPECT_EQ(code, 0);
}

// Closed standard descriptors are occupied, so that no file opened later
// takes descriptor 2 and receives what is written to standard error.
TEST(StandardDescriptors, ClosedOnesAreOccupied)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    auto [text, code] = in_child([] {
        close(0);
        close(2);
        occupy_standard_descriptors();
        if (fcntl(0, F_GETFD) < 0 || fcntl(2, F_GETFD) < 0)
            return 1;
        char path[] = "/tmp/ks-log-fd-XXXXXX";
        int fd = mkstemp(path);
        unlink(path);
        return fd > 2 ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
