// Files that an attacker may put in place of the boot's own, on the
// simulated device (runs in the sandbox): a FIFO where the boot reads, a
// symbolic link where it writes its counter and logs, a regular file or
// nothing where a device must be, and a "/proc" that is not the procfs.
#include "init/safe_open.h"

#include "init/data_files.h"
#include "init/devices.h"
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
#include "sim/models/keepstone.h"
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

const char ENFORCE_PATH_FOR_TEST[] = "/sys/kernel/security/keepstone/enforce";

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

// A file of a kernel file's name on another file system than the
// kernel's (a tmpfs mounted where the kernel's would be, holding what an
// image may hold): a plain file, a link to one, a directory. Neither the
// masks nor the module hashes go there, no device numbers and no "SoC
// Info" line come from there; on the kernel's own file system the same
// steps succeed.
TEST_F(HostileFiles, KernelFilesOffTheirFileSystemAreRefused)
{
    const std::string target = "/tmp/hostile/kernel-file";
    const std::string node = "/dev/ks-kernel-fs-node";
    enum kind { NONE, PLAIN, LINK, DIRECTORY };
    struct where {
        const char *name;
        const char *cover;  // the tmpfs mounted in the kernel's place
        std::string path;
        const char *text;   // what the file of the image holds
        std::function<bool(bool refused)> step;  // verdict: refused as wanted?
    } places[] = {
        {"securityfs", "/sys/kernel/security", ENFORCE_PATH_FOR_TEST, "7\n",
         [](bool refused) {
             int r = write_hex_value(ENFORCE_PATH_FOR_TEST, 7);
             return refused ? r == -2 : r == 0;
         }},
        {"sysfs", "/sys/devices", "/sys/devices/virtual/misc/omap_sec/dev", "1:3\n",
         [&](bool refused) {
             int r = create_device(node.c_str(), "/sys/devices/virtual/misc/omap_sec/dev");
             struct stat st;
             bool made = lstat(node.c_str(), &st) == 0;
             return refused ? r == -5 && !made : r == 0 && made;
         }},
        {"procfs", "/proc", CPUINFO_PATH, "SoC Info\t: GP\n",
         [](bool refused) {
             int rd = 0;
             int r = check_soc_info(&rd);
             return refused ? r == -2 && rd == 0 : r == 0 && rd == 1;
         }},
    };
    ASSERT_EQ(ks_sim::write_state("soc-info", "SoC Info\t: OMAP3430 ES3.1 GP"), 0);
    for (const where &w : places) {
        for (kind k : {NONE, PLAIN, LINK, DIRECTORY}) {
            SCOPED_TRACE(std::string(w.name) + " " +
                         (k == NONE ? "kernel's own" : k == PLAIN ? "plain file" : k == LINK ? "link" : "directory"));
            std::filesystem::remove(node);
            put(target, w.text);
            size_t writes_before = 0;
            std::vector<ks_sim::keepstone_event> events;
            ks_sim::read_keepstone_log(events);
            writes_before = ks_sim::keepstone_writes(events, "enforce").size();
            std::string verdict = in_child([&] {
                // A namespace of its own; the simulator only mounts in the
                // sandbox's, so the calls go to the kernel directly.
                if (unshare(CLONE_NEWNS) != 0 ||
                    syscall(SYS_mount, "none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                    return false;
                if (k != NONE) {
                    if (syscall(SYS_mount, "tmpfs", w.cover, "tmpfs", 0, nullptr) != 0)
                        return false;
                    std::filesystem::create_directories(std::filesystem::path(w.path).parent_path());
                    // Made under another name: the simulator serves opens
                    // of the kernel's path itself.
                    std::string made = w.path + ".new";
                    if (k == PLAIN)
                        put(made, w.text);
                    else if (k == LINK)
                        symlink(target.c_str(), made.c_str());
                    else
                        mkdir(made.c_str(), 0755);
                    if (rename(made.c_str(), w.path.c_str()) != 0)
                        return false;
                }
                return w.step(k != NONE);
            });
            EXPECT_EQ(verdict, "ok");
            events.clear();
            ks_sim::read_keepstone_log(events);
            size_t writes = ks_sim::keepstone_writes(events, "enforce").size() - writes_before;
            EXPECT_EQ(writes, std::string(w.name) == "securityfs" && k == NONE ? 1u : 0u);
            EXPECT_EQ(get(target), w.text);
        }
    }
    std::filesystem::remove(node);
    unlink(ks_sim::state_path("soc-info").c_str());
}

}  // namespace
