// The error-log lines as the system log receives them, on the sandbox's
// "/dev/log": priority LOG_ERR with the default facility, then
// "<source>(<line>): ERROR " and the report.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "sim/model.h"
#include "support/c_xmldoc.h"
#include "support/dlog_send.h"
#include "support/tarvo_common.h"

namespace {

// The system-log lines of this boot once at least count have arrived.
std::vector<std::string> syslog_lines(size_t count)
{
    std::vector<std::string> lines;
    for (int i = 0; i < 200; i++) {
        std::string text;
        lines.clear();
        if (ks_sim::read_state(ks_sim::run_path("syslog"), text) >= 0) {
            size_t start = 0, end;
            while ((end = text.find('\n', start)) != std::string::npos) {
                lines.push_back(text.substr(start, end - start));
                start = end + 1;
            }
        }
        if (lines.size() >= count)
            break;
        poll(nullptr, 0, 10);  // the simulator makes sleeps return at once
    }
    return lines;
}

TEST(ErrorLogLine, ReachesTheSystemLog)
{
    c_xmlnode n(nullptr, "n");
    n.get_attribute("x", true);
    unsigned char *out = nullptr;
    base64_decode("abcde", &out);
    c_xmldoc d;
    d.parse_buffer("<a>", 0);
    errno = EXDEV;
    dlog_error("tarvo_storage", 42, "%s: store '%s' failed", "commit", "s");
    EXPECT_EQ(errno, EXDEV);

    // The logger's bracketed report, when no descriptor is left for its
    // socket.
    setenv("DLOG_TARGET", "127.0.0.1:9", 1);
    init_dlogger(-1, 0, 0);
    int highest = dup(0);
    close(highest);
    struct rlimit old;
    getrlimit(RLIMIT_NOFILE, &old);
    struct rlimit rl = {rlim_t(highest), old.rlim_max};  // the soft limit only
    setrlimit(RLIMIT_NOFILE, &rl);
    dlog_message("x");
    setrlimit(RLIMIT_NOFILE, &old);

    const std::vector<std::string> expect = {
        R"(c_xmlnode\(\d+\): ERROR required attribute 'x' not found)",
        R"(tarvo_common\(\d+\): ERROR Invalid base64 string \(15 !% 4\))",
        R"(c_xmldoc\(\d+\): ERROR \(1\): .+)",
        R"(tarvo_storage\(42\): ERROR commit: store 's' failed)",
        R"(dlog_send\(\d+\)\[dlog_message\]: ERROR cannot create debug socket \(Too many open files\))",
    };
    std::vector<std::string> lines = syslog_lines(expect.size());
    ASSERT_EQ(lines.size(), expect.size());
    for (size_t i = 0; i < expect.size(); i++) {
        // "<11>" is LOG_ERR in the default (user) facility.
        EXPECT_TRUE(std::regex_match(lines[i], std::regex("<11>.*: " + expect[i])))
            << lines[i];
    }
}

}  // namespace
