// Files that an attacker may put in place of the boot's own, on the
// simulated device (runs in the sandbox): a FIFO where the boot reads, a
// symbolic link where it writes its counter and logs, a regular file or
// nothing where a device must be, and a "/proc" that is not the procfs.
#include "init/safe_open.h"

#include "init/data_files.h"
#include "init/developer_mode.h"
#include "init/digest.h"
#include "init/hardware_startup.h"
#include "init/hash_entry.h"
#include "init/log.h"
#include "init/malfunction.h"
#include "init/mounts.h"
#include "init/refhashlist.h"
#include "init/value_files.h"
#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "support/test_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

// A hung open ends the child with SIGALRM after this long.
constexpr unsigned CHILD_SECONDS = 10;

void put(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string get(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool is_link(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::vector<std::string> records(const char *name)
{
    std::vector<std::string> v;
    ks_sim::read_records(ks_sim::run_path(name), v);
    return v;
}

// What a step did in a child process: "blocked" when the alarm ended it,
// else "ok" or "wrong" by the step's verdict.
std::string in_child(const std::function<bool()> &step)
{
    fflush(nullptr);
    pid_t pid = test_fork();
    if (pid == 0) {
        alarm(CHILD_SECONDS);
        _exit(step() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return "no child";
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? "blocked" : "died";
    return WEXITSTATUS(status) == 0 ? "ok" : "wrong";
}

void make_fifo(const std::string &path)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path << ": " << strerror(errno);
}

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ks_sim::state_dir(), "/.ks-sim") << "runs inside ks-sandbox only";
        ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
        log_to_stderr(0);
        std::filesystem::create_directories("/etc/tarvo");
        std::filesystem::create_directories("/tmp/hostile");
    }
};

// Every file the boot reads, a FIFO in its place: the step does not wait
// for a writer, and the FIFO counts as a file that cannot be opened.
TEST_F(HostileFiles, FifoWhereTheBootReadsNeverBlocks)
{
    const std::string fifo = "/tmp/hostile/fifo";
    struct row {
        const char *what;
        std::string path;
        std::function<bool()> step;
    } rows[] = {
        {"developer settings", "/etc/tarvo/developer-mode.bin",
         [] {
             developer_settings *s = nullptr;
             int r = developer_mode_load_settings(&s);
             return r < 0 && s == nullptr;
         }},
        {"fstab", "/etc/fstab",
         [] {
             put("/etc/tarvo/parse_fstab", "");
             return mount_var(1) == -2;
         }},
        {"language settings", LANGUAGE_SETTINGS_PATH,
         [] { return read_language(LANGUAGE_SETTINGS_PATH) == DEFAULT_LANGUAGE; }},
        {"malfunction picture", fifo, [&] { return show_bmp(fifo.c_str(), 0) == -14; }},
        {"init.conf digest", "/etc/init.conf",
         [] {
             uint8_t digest[SHA1_DIGEST_LENGTH];
             return hash_calculate("/etc/init.conf", digest) == -1;
         }},
        {"duplicate decision", fifo,
         [&] {
             uint32_t inode, device;
             if (stat_ids(fifo.c_str(), &inode, &device) != 0)
                 return false;
             uint8_t one[SHA1_DIGEST_LENGTH] = {1}, two[SHA1_DIGEST_LENGTH] = {2};
             new_hash_entry(device, inode, nullptr, 0, 0, 0, 0, one, fifo.c_str(), 0, nullptr,
                            nullptr, 0);
             new_hash_entry(device, inode, nullptr, 0, 0, 0, 0, two, fifo.c_str(), 0, nullptr,
                            nullptr, 0);
             hash_entry key = {};
             key.inode = inode;
             key.device = device;
             const hash_entry *kept = find_entry(&key);
             return kept && kept->sha1[0] == 1;
         }},
        {"reference hash list", "/etc/refhashlist",
         [] { return load_refhashlist("/etc/refhashlist", 1, 0, 0) == -2; }},
        {"vdata file", "/etc/tarvo_vdata",
         [] {
             uint8_t hash[SHA1_DIGEST_LENGTH] = {};
             return check_file_sha1("/etc/tarvo_vdata", hash) != 0;
         }},
        {"reboot counter", REBOOT_COUNTER_PATH,
         [] {
             bool power_off = count_malfunction_boot(REBOOT_COUNTER_PATH, SYSRQ_TRIGGER_PATH);
             struct stat st;
             return !power_off && lstat(REBOOT_COUNTER_PATH, &st) == 0 && S_ISFIFO(st.st_mode);
         }},
        {"log mode", "/etc/tarvo/logging",
         [] {
             int mode = 7;
             return read_int_value("/etc/tarvo/logging", &mode) == -1 && mode == 7;
         }},
        {"log file", LOG_FILE_PATH, [] { return open_log_file() == -1; }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        make_fifo(r.path);
        EXPECT_EQ(in_child(r.step), "ok");
        std::filesystem::remove(r.path);
    }
}

// The reboot counter and the log files are the boot's own: a symbolic link
// in their place is an error for that file, and its target stays as it was.
TEST_F(HostileFiles, LinkWhereTheBootWritesIsNotFollowed)
{
    const std::string target = "/tmp/hostile/target";
    struct row {
        const char *what;
        std::string path;
        bool dangling;
        std::function<bool()> step;
    } rows[] = {
        {"counter", REBOOT_COUNTER_PATH, false,
         [] { return !count_malfunction_boot(REBOOT_COUNTER_PATH, SYSRQ_TRIGGER_PATH); }},
        {"counter, dangling link", REBOOT_COUNTER_PATH, true,
         [] { return !count_malfunction_boot(REBOOT_COUNTER_PATH, SYSRQ_TRIGGER_PATH); }},
        {"log file", LOG_FILE_PATH, false, [] { return open_log_file() == -1; }},
        {"log file, dangling link", LOG_FILE_PATH, true, [] { return open_log_file() == -1; }},
        {"standard error file", STDERR_FILE_PATH, false,
         [] {
             setup_crash_handling(1);
             fputs("after the redirection\n", stderr);
             return true;
         }},
        {"standard error file, dangling link", STDERR_FILE_PATH, true,
         [] {
             setup_crash_handling(1);
             fputs("after the redirection\n", stderr);
             return true;
         }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::filesystem::remove(r.path);
        std::filesystem::remove(target);
        if (!r.dangling)
            put(target, "2\n");
        ASSERT_EQ(symlink(target.c_str(), r.path.c_str()), 0) << strerror(errno);
        EXPECT_EQ(in_child(r.step), "ok");
        EXPECT_TRUE(is_link(r.path));
        if (r.dangling)
            EXPECT_FALSE(std::filesystem::exists(target));
        else
            EXPECT_EQ(get(target), "2\n");
        std::filesystem::remove(r.path);
    }
}

// "/dev/urandom" and "/dev/console" must be character devices: a regular
// file in their place or none at all is a failure of that step, and no
// file is created.
TEST_F(HostileFiles, DevicesMustBeCharacterDevices)
{
    ASSERT_EQ(kz4_open(nullptr), 0);
    // The sandbox binds the machine's urandom here; below it lies an empty
    // regular file.
    ASSERT_EQ(umount2(URANDOM_PATH, MNT_DETACH), 0) << strerror(errno);
    struct stat st;
    ASSERT_EQ(stat(URANDOM_PATH, &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(seed_prng(), -2);
    EXPECT_TRUE(records("urandom").empty());
    ASSERT_EQ(stat(URANDOM_PATH, &st), 0);
    EXPECT_EQ(st.st_size, 0);

    ASSERT_EQ(unlink(URANDOM_PATH), 0);
    EXPECT_EQ(seed_prng(), -2);
    EXPECT_TRUE(records("urandom").empty());
    EXPECT_NE(stat(URANDOM_PATH, &st), 0);

    // A node (a placeholder on this nodev /dev, served by the simulator).
    ASSERT_EQ(mknod(URANDOM_PATH, S_IFCHR | 0666, makedev(1, 9)), 0) << strerror(errno);
    EXPECT_EQ(seed_prng(), 0);
    EXPECT_EQ(records("urandom").size(), 1u);
    kz4_close();

    struct stat console;
    ASSERT_EQ(stat(CONSOLE_PATH, &console), 0);
    ASSERT_EQ(unlink(CONSOLE_PATH), 0);
    // Made by the kernel directly: the simulator serves opens of the path.
    int fd = int(syscall(SYS_openat, AT_FDCWD, CONSOLE_PATH, O_WRONLY | O_CREAT | O_EXCL, 0600));
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
    ASSERT_EQ(lstat(CONSOLE_PATH, &st), 0);
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(open_clog(), -1);
    ASSERT_EQ(unlink(CONSOLE_PATH), 0);
    EXPECT_EQ(open_clog(), -1);
    EXPECT_NE(stat(CONSOLE_PATH, &st), 0);
    ASSERT_EQ(mknod(CONSOLE_PATH, S_IFCHR | 0600, console.st_rdev), 0);
    EXPECT_EQ(open_clog(), 0);
    close_console_log();
}

// The power-off goes only to the procfs file: without a procfs on "/proc"
// the counter is gone all the same, nothing is written and the picture is
// shown instead (count_malfunction_boot answers false).
TEST_F(HostileFiles, PowerOffNeedsTheProcfs)
{
    put(REBOOT_COUNTER_PATH, "5\n");
    std::string verdict = in_child([] {
        // A namespace of its own, whose "/proc" is a tmpfs; the simulator
        // only mounts in the sandbox's namespace, so the calls go to the
        // kernel directly.
        if (unshare(CLONE_NEWNS) != 0 ||
            syscall(SYS_mount, "none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            syscall(SYS_mount, "tmpfs", "/proc", "tmpfs", 0, nullptr) != 0 || open_clog() != 0)
            return false;
        bool power_off = count_malfunction_boot(REBOOT_COUNTER_PATH, SYSRQ_TRIGGER_PATH);
        close_console_log();
        return !power_off;
    });
    EXPECT_EQ(verdict, "ok");
    EXPECT_TRUE(records("sysrq").empty());
    EXPECT_FALSE(std::filesystem::exists(REBOOT_COUNTER_PATH));
    std::string console;
    for (const std::string &r : records("console"))
        console += r;
    EXPECT_NE(console.find("keepstone-init: Cannot write /proc/sysrq-trigger\n"), std::string::npos)
        << console;

    // With the procfs, the same count powers off.
    put(REBOOT_COUNTER_PATH, "5\n");
    EXPECT_TRUE(count_malfunction_boot(REBOOT_COUNTER_PATH, SYSRQ_TRIGGER_PATH));
    EXPECT_EQ(records("sysrq"), std::vector<std::string>{"o\n"});
}

}  // namespace
