// The simulator core on the host: state files, records, faults, counters
// and path normalisation (no sandbox needed: the state directory is a
// temporary one named through KS_SIM_STATE).
#include "sim/core/dispatch.h"
#include "sim/model.h"
#include "sim/testing/state_dir.h"
#include "support/test_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

class Core : public ks_sim::testing::StateDirTest {};

TEST_F(Core, RecordsKeepTheirBoundariesAndBinaryBytes)
{
    std::string bin("a\0b\n", 4);
    ASSERT_EQ(ks_sim::append_record("recs", bin.data(), bin.size()), 0);
    ASSERT_EQ(ks_sim::append_record("recs", "", 0), 0);
    ASSERT_EQ(ks_sim::append_record(ks_sim::run_path("nested"), "x", 1), 0);  // creates run/
    std::vector<std::string> out;
    ASSERT_EQ(ks_sim::read_records("recs", out), 0);
    EXPECT_EQ(out, (std::vector<std::string>{bin, ""}));
    ASSERT_EQ(ks_sim::read_records(dir + "/run/nested", out), 0);
    EXPECT_EQ(out, std::vector<std::string>{"x"});
    // Nothing recorded yet is no error.
    EXPECT_EQ(ks_sim::read_records("none", out), 0);
    EXPECT_TRUE(out.empty());
}

TEST_F(Core, ATruncatedRecordFileIsReportedNotMisread)
{
    ASSERT_EQ(ks_sim::append_record("recs", "hello", 5), 0);
    std::ofstream(dir + "/recs", std::ios::app) << std::string("\x09\x00\x00\x00" "abc", 7);
    std::vector<std::string> out;
    EXPECT_EQ(ks_sim::read_records("recs", out), -EBADMSG);
    std::ofstream(dir + "/short") << "\x01\x00";
    EXPECT_EQ(ks_sim::read_records("short", out), -EBADMSG);
}

TEST_F(Core, FaultsByExactName)
{
    ASSERT_EQ(ks_sim::write_state("faults", "a.open\na.write=3\nb.close=0x10\nprefix.longer\n"), 0);
    struct {
        const char *name;
        long value;
    } cases[] = {
        {"a.open", 1}, {"a.write", 3}, {"b.close", 16}, {"a", 0}, {"prefix", 0},
        {"a.open2", 0}, {"c", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ks_sim::fault(c.name), c.value) << c.name;
}

TEST_F(Core, CountersArePerNameAndPerBoot)
{
    EXPECT_EQ(ks_sim::bump_counter("w"), 1);
    EXPECT_EQ(ks_sim::bump_counter("w"), 2);
    EXPECT_EQ(ks_sim::bump_counter("w.x"), 1);
    EXPECT_EQ(ks_sim::bump_counter("w"), 3);
    std::system(("rm -rf '" + dir + "/run'").c_str());  // a new boot
    EXPECT_EQ(ks_sim::bump_counter("w"), 1);
}

// The state files stay open in the process between requests: what a test
// or a new boot does to them by name must still be what the next request
// sees.
TEST_F(Core, AKeptStateFileRemovedOrEmptiedByNameStartsAgain)
{
    ASSERT_EQ(ks_sim::append_record("recs", "a", 1), 0);
    ASSERT_EQ(unlink((dir + "/recs").c_str()), 0);
    ASSERT_EQ(ks_sim::append_record("recs", "b", 1), 0);
    std::vector<std::string> out;
    ASSERT_EQ(ks_sim::read_records("recs", out), 0);
    EXPECT_EQ(out, std::vector<std::string>{"b"});

    EXPECT_EQ(ks_sim::bump_counter("w"), 1);
    EXPECT_EQ(ks_sim::bump_counter("w"), 2);
    ASSERT_EQ(ks_sim::write_state(ks_sim::run_path("counters"), ""), 0);  // emptied in place
    EXPECT_EQ(ks_sim::bump_counter("w"), 1);
    // Replaced under its name: the new file is the one read.
    ASSERT_EQ(ks_sim::write_state("new", std::string("\x01\x00\x00\x00z", 5)), 0);
    ASSERT_EQ(rename((dir + "/new").c_str(), (dir + "/recs").c_str()), 0);
    ASSERT_EQ(ks_sim::read_records("recs", out), 0);
    EXPECT_EQ(out, std::vector<std::string>{"z"});
}

// Several processes count and record at once, each with the descriptors
// it inherited: no count is lost and no record is torn or mixed.
TEST_F(Core, ProcessesCountAndRecordTogether)
{
    EXPECT_EQ(ks_sim::bump_counter("n"), 1);  // the parent's files are open before the fork
    ASSERT_EQ(ks_sim::append_record("recs", "parent", 6), 0);
    constexpr int CHILDREN = 4, EACH = 300;
    std::vector<pid_t> pids;
    for (int c = 0; c < CHILDREN; c++) {
        pid_t pid = test_fork();  // a bare clone: no fork handlers run in the child
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(60);
            std::string rec(100 + c, char('a' + c));
            for (int i = 0; i < EACH; i++)
                if (ks_sim::bump_counter("n") < 0 || ks_sim::bump_counter("new") < 0 ||
                    ks_sim::append_record("recs", rec.data(), rec.size()) != 0)
                    _exit(1);
            _exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(ks_sim::bump_counter("n"), 2 + CHILDREN * EACH);
    EXPECT_EQ(ks_sim::bump_counter("new"), 1 + CHILDREN * EACH);  // first counted by the children
    std::vector<std::string> out;
    ASSERT_EQ(ks_sim::read_records("recs", out), 0);
    ASSERT_EQ(out.size(), size_t(1 + CHILDREN * EACH));
    for (size_t i = 1; i < out.size(); i++) {
        int c = int(out[i].size()) - 100;
        ASSERT_TRUE(c >= 0 && c < CHILDREN) << i;
        EXPECT_EQ(out[i], std::string(out[i].size(), char('a' + c))) << i;
    }
}

TEST_F(Core, StateFilesAreReplacedWhole)
{
    ASSERT_EQ(ks_sim::write_state("s", "long contents"), 0);
    ASSERT_EQ(ks_sim::write_state("s", "short"), 0);
    std::string out;
    ASSERT_EQ(ks_sim::read_state("s", out), 0);
    EXPECT_EQ(out, "short");
    EXPECT_EQ(ks_sim::read_state("missing", out), -ENOENT);
}

TEST(NormalisePath, GivesTheAbsolutePathAModelIsAskedFor)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::string here = cwd;
    struct {
        const char *in;
        std::string out;
    } cases[] = {
        {"/proc/sysrq-trigger", "/proc/sysrq-trigger"},
        {"//proc///sysrq-trigger", "/proc/sysrq-trigger"},
        {"/proc/./self/../sysrq-trigger", "/proc/sysrq-trigger"},
        {"/../../proc/sysrq-trigger", "/proc/sysrq-trigger"},
        {"/", "/"},
        {"/proc/", "/proc"},
        {"/proc/.", "/proc"},
        {"/proc/..", "/"},
        {"/proc/.x/..y", "/proc/.x/..y"},
        {"x/y", (here == "/" ? "" : here) + "/x/y"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ks_sim::normalise_path(AT_FDCWD, c.in), c.out) << c.in;
    int d = open("/proc", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(d, 0);
    EXPECT_EQ(ks_sim::normalise_path(d, "./sysrq-trigger"), "/proc/sysrq-trigger");
    close(d);
    // Into a buffer of PATH_MAX: a path the kernel would refuse as too
    // long is refused, a long one that normalises to a short one is not.
    char out[PATH_MAX];
    std::string parts;
    while (parts.size() < PATH_MAX)
        parts += "/abcdefgh";
    EXPECT_FALSE(ks_sim::normalise_path(AT_FDCWD, parts.c_str(), out));
    std::string back = parts.substr(0, 9 * 300);
    for (size_t i = 0; i < 300; i++)
        back += "/..";
    back += "/proc/./sysrq-trigger";
    ASSERT_TRUE(ks_sim::normalise_path(AT_FDCWD, back.c_str(), out));
    EXPECT_STREQ(out, "/proc/sysrq-trigger");
}

}  // namespace

namespace {

// Serves one attribute name for every path, keeping the last value set.
class test_xattr : public ks_sim::xattr_handler {
public:
    bool serves(std::string_view name) const override { return name == "user.ks-test"; }
    ssize_t get(const std::string &path, const std::string &, void *value, size_t size) override
    {
        if (path != last_path)
            return -ENODATA;
        if (size == 0)
            return ssize_t(last_value.size());
        if (size < last_value.size())
            return -ERANGE;
        memcpy(value, last_value.data(), last_value.size());
        return ssize_t(last_value.size());
    }
    int set(const std::string &path, const std::string &, const void *value, size_t size,
            int) override
    {
        last_path = path;
        last_value.assign(static_cast<const char *>(value), size);
        return 0;
    }
    std::string last_path, last_value;
};

}  // namespace

TEST(Xattr, ServedNamesGoToTheirHandlerOthersPassOn)
{
    static test_xattr handler;
    static bool registered = (ks_sim::register_xattr_handler(&handler), true);
    (void)registered;
    int r;
    ASSERT_TRUE(ks_sim::dispatch::setxattr("/etc//x", -1, "user.ks-test", "v1", 2, 0, &r));
    EXPECT_EQ(r, 0);
    EXPECT_EQ(handler.last_path, "/etc/x");
    int64_t n;
    char buf[8];
    ASSERT_TRUE(ks_sim::dispatch::getxattr("/etc/x", -1, "user.ks-test", buf, sizeof buf, &n));
    EXPECT_EQ(n, 2);
    ASSERT_TRUE(ks_sim::dispatch::getxattr("/etc/x", -1, "user.ks-test", buf, 1, &n));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_FALSE(ks_sim::dispatch::getxattr("/etc/x", -1, "user.other", buf, sizeof buf, &n));
}
