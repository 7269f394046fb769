#include <fcntl.h>
#include <spawn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/tarvo_common.h"
#include "support/test_process.h"
#include "support/test_syslog.h"

namespace {

using strings = std::vector<std::string>;

class temp_dir {
public:
    temp_dir()
    {
        char tmpl[] = "/tmp/ks-paths-XXXXXX";
        char *made = mkdtemp(tmpl);
        char real[PATH_MAX];
        path_ = realpath(made, real);
    }
    ~temp_dir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

void touch(const std::string &path) { std::ofstream(path) << "x"; }

std::string cwd()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? buf : "";
}

mode_t current_umask()
{
    mode_t m = umask(0);
    umask(m);
    return m;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

struct scan_log {
    std::vector<std::pair<int, std::string>> calls;
    int stop_with = 0;
};

int record(int index, const char *name, void *user)
{
    auto *log = static_cast<scan_log *>(user);
    log->calls.emplace_back(index, name);
    return log->stop_with;
}

TEST(ScanDirectory, PatternsIndexesAndStop)
{
    temp_dir dir;
    for (const char *name : {"a.xml", "b.txt", "c.xml", ".h.xml", "x+", "xx"})
        touch(dir / name);
    struct {
        const char *pattern;
        std::set<std::string> names;
    } cases[] = {
        {"xml$", {"a.xml", "c.xml", ".h.xml"}},
        {nullptr, {"a.xml", "b.txt", "c.xml", ".h.xml", "x+", "xx"}},
        {"x+", {"x+"}},  // basic syntax: '+' is an ordinary character
        {"^[ab]\\.", {"a.xml", "b.txt"}},
        {"nomatch", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern ? c.pattern : "(null)");
        scan_log log;
        EXPECT_EQ(scan_directory(dir.path().c_str(), c.pattern, record, &log), 0);
        std::set<std::string> names;
        for (size_t i = 0; i < log.calls.size(); i++) {
            EXPECT_EQ(log.calls[i].first, int(i));
            names.insert(log.calls[i].second);
        }
        EXPECT_EQ(names, c.names);
    }
    scan_log stop;
    stop.stop_with = 5;
    EXPECT_EQ(scan_directory(dir.path().c_str(), nullptr, record, &stop), 5);
    EXPECT_EQ(stop.calls.size(), 1u);
}

TEST(ScanDirectory, Errors)
{
    temp_dir dir;
    scan_log log;
    syslog_capture sys;
    EXPECT_EQ(scan_directory(nullptr, nullptr, record, &log), -22);
    EXPECT_EQ(scan_directory(dir.path().c_str(), nullptr, nullptr, &log), -22);
    EXPECT_EQ(scan_directory(dir.path().c_str(), "[", record, &log), -22);
    errno = 0;
    EXPECT_EQ(scan_directory((dir / "missing").c_str(), "x", record, &log), -2);
    touch(dir / "file");
    EXPECT_EQ(scan_directory((dir / "file").c_str(), nullptr, record, &log), -ENOTDIR);
    strings r = sys.reports();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].rfind("'[' invalid regex ", 0), 0u) << r[0];
    EXPECT_EQ(r[1], "cannot open '" + dir / "missing" + "'");
    EXPECT_TRUE(log.calls.empty());
}

TEST(MakeDirectory, Results)
{
    temp_dir dir;
    touch(dir / "file");
    mkdir((dir / "d").c_str(), 0700);
    symlink("d", (dir / "ld").c_str());
    symlink("nowhere", (dir / "dangling").c_str());
    EXPECT_EQ(make_directory((dir / "file").c_str(), 0755), EEXIST);
    EXPECT_EQ(make_directory((dir / "d").c_str(), 0755), 0);
    EXPECT_EQ(make_directory((dir / "ld").c_str(), 0755), 0);
    EXPECT_EQ(make_directory((dir / "dangling").c_str(), 0755), EEXIST);
    EXPECT_EQ(make_directory((dir / "missing/x").c_str(), 0755), ENOENT);
    EXPECT_EQ(make_directory((dir / "file/x").c_str(), 0755), ENOTDIR);
    EXPECT_EQ(make_directory((dir / "new").c_str(), 0755), 0);
    EXPECT_TRUE(is_directory((dir / "new").c_str()));
    EXPECT_EQ(mode_of(dir / "d"), 0700u);

    // The mode asked for, neither widened nor narrowed by the umask.
    mode_t saved = umask(077);
    EXPECT_EQ(make_directory((dir / "exact").c_str(), 0755), 0);
    EXPECT_EQ(current_umask(), 077u);
    umask(0);
    EXPECT_EQ(make_directory((dir / "narrow").c_str(), 0750), 0);
    umask(saved);
    EXPECT_EQ(mode_of(dir / "exact"), 0755u);
    EXPECT_EQ(mode_of(dir / "narrow"), 0750u);
}

TEST(MakeDirectory, RacingProcessesAllSucceed)
{
    temp_dir dir;
    for (int round = 0; round < 40; round++) {
        std::string path = dir / ("r" + std::to_string(round));
        std::vector<pid_t> children;
        for (int k = 0; k < 4; k++) {
            pid_t pid = test_fork();
            if (pid == 0)
                _exit(make_directory(path.c_str(), 0755));
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = -1;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path;
        }
    }
}

TEST(MakePath, ExactModesAndUmaskRestored)
{
    temp_dir dir;
    mkdir((dir / "a").c_str(), 0711);
    mode_t saved = umask(077);
    int r = make_path((dir / "a/b//c/d/").c_str(), 0750);
    EXPECT_EQ(current_umask(), 077u);
    umask(saved);
    EXPECT_EQ(r, 0);
    for (const char *made : {"a/b", "a/b/c", "a/b/c/d"})
        EXPECT_EQ(mode_of(dir / made), 0750u) << made;
    EXPECT_EQ(mode_of(dir / "a"), 0711u);  // existing directories keep theirs
    EXPECT_EQ(make_path(nullptr, 0755), ENOENT);

    touch(dir / "a/f");
    syslog_capture log;
    saved = umask(022);
    EXPECT_EQ(make_path((dir / "a/f/g/h").c_str(), 0755), EEXIST);
    EXPECT_EQ(current_umask(), 022u);
    umask(saved);
    EXPECT_EQ(log.reports(), strings{"creation of '" + dir / "a/f" + "' failed (File exists)"});
}

TEST(PathTests, DirectoryAndRegularFile)
{
    temp_dir dir;
    touch(dir / "f");
    symlink("f", (dir / "lf").c_str());
    symlink(".", (dir / "ld").c_str());
    symlink("nowhere", (dir / "dangling").c_str());
    struct {
        std::string path;
        bool dir, reg;
    } cases[] = {
        {dir.path(), true, false}, {dir / "f", false, true},         {dir / "lf", false, true},
        {dir / "ld", true, false}, {dir / "dangling", false, false}, {dir / "missing", false, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(is_directory(c.path.c_str()), c.dir) << c.path;
        EXPECT_EQ(is_regular_file(c.path.c_str()), c.reg) << c.path;
    }
    EXPECT_FALSE(is_directory(nullptr));
    EXPECT_FALSE(is_regular_file(nullptr));
}

struct absolute_case {
    std::string path;
    int resolve;
    const char *expect;  // null: false with out unchanged
    std::string want;
};

TEST(AbsolutePathname, Table)
{
    temp_dir dir;
    const std::string D = dir.path();
    mkdir((dir / "real").c_str(), 0755);
    touch(dir / "real/f");
    symlink("real", (dir / "link").c_str());            // relative target
    symlink((D + "/real/f").c_str(), (dir / "abs").c_str());
    symlink("real/f", (dir / "rel").c_str());
    symlink("rel", (dir / "chain").c_str());            // resolved one level only
    symlink("nowhere", (dir / "dangling").c_str());
    symlink(std::string(4095, 'a').c_str(), (dir / "huge").c_str());
    symlink(std::string(4000, 'b').c_str(), (dir / "big").c_str());

    const absolute_case cases[] = {
        {D + "/missing/y", 1, "", D + "/missing/y"},
        {D + "/real/../missing", 1, "", D + "/real/../missing"},
        {"f", 1, "", D + "/f"},
        {"real/f", 1, "", D + "/real/f"},
        {"./real/../real/f", 1, "", D + "/real/f"},
        {D + "/link/f", 1, "", D + "/real/f"},
        {D + "/link", 1, "", D + "/real"},
        {D + "/link/", 1, "", D + "/real"},
        {D + "/rel", 1, "", D + "/real/f"},
        {"rel", 1, "", D + "/real/f"},
        {D + "/abs", 1, "", D + "/real/f"},
        {D + "/chain", 1, "", D + "/rel"},
        {"/", 1, "", "/"},
        {"/tmp/", 1, "", "/tmp"},
        // From the temporary directory, "../..../x" resolves under "/".
        {std::string("../../../../../../../../../../no-such-entry"), 1, "", "/no-such-entry"},
        {D + "/link/f", 0, "", D + "/link/f"},
        {D + "/rel", 0, "", D + "/real/f"},
        {"rel", 0, "", D + "/real/f"},
        {D + "/dangling", 1, nullptr, ""},
        {D + "/huge", 1, nullptr, ""},
        {D + "/big", 1, nullptr, ""},
        {"missing-dir/f", 1, nullptr, ""},
        {"", 1, nullptr, ""},
    };
    const std::string start = cwd();
    ASSERT_EQ(chdir(D.c_str()), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path + " resolve=" + std::to_string(c.resolve));
        resolve_absolute_paths = c.resolve;
        std::string out = "unchanged";
        syslog_capture log;
        bool ok = absolute_pathname(c.path.c_str(), out);
        resolve_absolute_paths = 1;
        EXPECT_EQ(ok, c.expect != nullptr);
        EXPECT_EQ(out, c.expect != nullptr ? c.want : "unchanged");
        EXPECT_EQ(log.lines().size(), c.expect != nullptr ? 0u : c.path.empty() ? 0u : 1u);
        EXPECT_EQ(cwd(), D);
    }
    std::string out = "unchanged";
    EXPECT_FALSE(absolute_pathname(nullptr, out));
    // A bare name in "/" is "/name", not "//name".
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_TRUE(absolute_pathname("no-such-entry-here", out));
    EXPECT_EQ(out, "/no-such-entry-here");
    ASSERT_EQ(chdir(start.c_str()), 0);
}

// Each way a link can be too long for the path buffer, and the report it
// gets: a target that fills the buffer may have been cut, and a relative
// target put behind the link's directory must still fit.
TEST(AbsolutePathname, LinkLimitsNameTheirReport)
{
    temp_dir dir;
    const std::string D = dir.path();
    const size_t room = 4096 - (D.size() + 1);  // what a relative target may add
    struct {
        const char *link;
        std::string target;
        std::string report;
    } cases[] = {
        {"fills", std::string(4095, 'a'), "absolute_pathname: too long pathname '"},
        {"behind", std::string(room, 'b'), "absolute_pathname: too long pathname '"},
        {"fits", std::string(room - 1, 'c'), "cannot stat '"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.link);
        ASSERT_EQ(symlink(c.target.c_str(), (dir / c.link).c_str()), 0);
        syslog_capture log;
        std::string out = "unchanged";
        EXPECT_FALSE(absolute_pathname((dir / c.link).c_str(), out));
        EXPECT_EQ(out, "unchanged");
        ASSERT_EQ(log.reports().size(), 1u);
        EXPECT_EQ(log.reports()[0].rfind(c.report, 0), 0u) << log.reports()[0];
    }
}

TEST(ProcessExecutable, SelfChildAndMissing)
{
    char real[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
    std::string out;
    EXPECT_TRUE(self_executable(out));
    EXPECT_EQ(out, real);

    // A copy of sleep at a known canonical path.
    temp_dir dir;
    const std::string want = dir / "sleeper";
    {
        std::ifstream in("/bin/sleep", std::ios::binary);
        std::ofstream copy(want, std::ios::binary);
        copy << in.rdbuf();
    }
    ASSERT_EQ(chmod(want.c_str(), 0755), 0);
    pid_t pid = -1;
    char *argv[] = {const_cast<char *>("sleep"), const_cast<char *>("30"), nullptr};
    ASSERT_EQ(posix_spawn(&pid, want.c_str(), nullptr, nullptr, argv, environ), 0);
    std::string got;
    for (int i = 0; i < 500 && got != want; i++) {
        usleep(10000);
        process_executable(long(pid), got);
    }
    EXPECT_EQ(got, want);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    // The reaped child has no executable any more.
    out = "unchanged";
    EXPECT_FALSE(process_executable(long(pid), out));
    EXPECT_EQ(out, "unchanged");
}

}  // namespace
