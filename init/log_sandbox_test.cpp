// Logs on the simulated device: the console ("/dev/console" is recorded by
// the simulator), the log file and the redirected standard error at their
// fixed paths. Each case runs in a forked child, since the log state is
// process-wide.
#include "init/log.h"
#include "init/fork_probe_test.h"

#include "sim/model.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string console_text()
{
    std::vector<std::string> v;
    ks_sim::read_records(ks_sim::run_path("console"), v);
    std::string s;
    for (const std::string &r : v)
        s += r;
    return s;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs body in a child; returns its exit status (128 + signal when killed).
int in_child(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Logs : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::remove_all("/etc/tarvo");
        std::filesystem::create_directories("/etc/tarvo");
        console_before = console_text().size();
    }
    std::string new_console() { return console_text().substr(console_before); }
    size_t console_before = 0;
};

// Log mode x console present or missing: where traces and errors land.
TEST_F(Logs, RoutingTable)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    struct row {
        int mode;
        bool console;
        const char *file;     // regex of the log file ("" when not made)
        const char *console_text;
    } rows[] = {
        {1, true, "\\[\\d+\\.\\d{6}\\] T 1\nkeepstone-init: E 2\n", "keepstone-init: E 2\n"},
        {1, false, "\\[\\d+\\.\\d{6}\\] Log file opening failed\n\\[\\d+\\.\\d{6}\\] T 1\n", ""},
        {2, true, "", "\\[\\d+\\.\\d{6}\\] T 1\nkeepstone-init: E 2\n"},
        {2, false, "", ""},
        {3, true, "", "keepstone-init: E 2\n"},
        {3, false, "", ""},
    };
    for (const row &r : rows) {
        SetUp();
        if (!r.console)
            std::filesystem::remove("/dev/console");
        int status = in_child([&] {
            setup_crash_handling(0);
            if (r.mode == 1)
                open_log_file();
            set_log_mode(r.mode);
            open_clog();
            log_trace("T %d\n", 1);
            log_error("E %d\n", 2);
            if (get_log_mode() == 1)
                close_log_file();
            close_console_log();
            return 0;
        });
        EXPECT_EQ(status, 0);
        std::string what = std::to_string(r.mode) + (r.console ? " console" : " no console");
        std::string file = read_text(LOG_FILE_PATH);
        EXPECT_TRUE(std::regex_match(file, std::regex(r.file))) << what << ": " << file;
        std::string console = new_console();
        EXPECT_TRUE(std::regex_match(console, std::regex(r.console_text))) << what << ": " << console;
        if (!r.console) {
            // Put the console placeholder back for the next row.
            mknod("/dev/console", S_IFCHR | 0600, makedev(5, 1));
        }
    }
}

// The crash handler writes one line, on the console and in log mode 1 in
// the log file, and ends with status 255.
TEST_F(Logs, CrashLine)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    for (int sig : {SIGSEGV, SIGTERM, SIGPIPE, SIGCHLD}) {
        SetUp();
        int status = in_child([&] {
            setup_crash_handling(0);
            open_log_file();
            set_log_mode(1);
            open_clog();
            raise(sig);
            return 3;
        });
        EXPECT_EQ(status, 255) << sig;
        std::regex line("keepstone-init: " + std::to_string(sig) + "(:[^:\n]+)+\n");
        EXPECT_TRUE(std::regex_match(new_console(), line)) << new_console();
        EXPECT_TRUE(std::regex_match(read_text(LOG_FILE_PATH), line));
    }
}

TEST_F(Logs, StandardErrorRedirected)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    std::ofstream(STDERR_FILE_PATH) << "old content that goes\n";
    int status = in_child([] {
        setup_crash_handling(1);
        fprintf(stderr, "to the file %d\n", 7);
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_text(STDERR_FILE_PATH), "to the file 7\n");
}

// When the stderr file cannot be made, descriptor 2 stays as it was (or is
// occupied when it was closed), so a data file opened later never receives
// what goes to standard error.
TEST_F(Logs, FailedRedirectLeavesNoFreeDescriptorTwo)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    std::filesystem::remove_all("/etc/tarvo");
    for (bool closed_at_start : {false, true}) {
        std::ofstream("/tmp/data-file") << "data\n";
        int status = in_child([&] {
            if (closed_at_start)
                close(2);
            setup_crash_handling(1);
            int fd = open("/tmp/data-file", O_RDWR);
            if (fd == 2)
                return 1;
            fprintf(stderr, "noise\n");
            fflush(stderr);
            return 0;
        });
        EXPECT_EQ(status, 0) << closed_at_start;
        EXPECT_EQ(read_text("/tmp/data-file"), "data\n") << closed_at_start;
    }
}

}  // namespace
