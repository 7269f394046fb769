// Mounts of the pseudo file systems and of "/var" on the simulated device:
// what reached the kernel side is read back from the simulator's records.
#include "init/mounts.h"

#include "sim/model.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> records(const char *name)
{
    std::vector<std::string> v;
    ks_sim::read_records(ks_sim::run_path(name), v);
    return v;
}

// Records added since a count taken earlier.
std::vector<std::string> since(const char *name, size_t before)
{
    std::vector<std::string> v = records(name);
    return std::vector<std::string>(v.begin() + long(std::min(before, v.size())), v.end());
}

void set_faults(const std::string &lines)
{
    ks_sim::write_state(ks_sim::state_path("faults"), lines);
}

void write_text(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

bool var_mounted()
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point;
        fields >> id >> parent >> numbers >> root >> point;
        if (point == "/var")
            return true;
    }
    return false;
}

void unmount_var()
{
    while (var_mounted())
        ASSERT_EQ(umount2("/var", MNT_DETACH), 0);
}

// Only missing test paths cause mounts, with the fixed sources and flags;
// umount_all takes down only what was mounted, securityfs before sysfs.
TEST(PseudoFileSystems, MountedWhereMissingAndUnmountedInOrder)
{
    size_t n = records("mounts").size();
    do_mounts();
    EXPECT_TRUE(since("mounts", n).empty());

    std::filesystem::remove_all("/sys/kernel/security/keepstone");
    n = records("mounts").size();
    do_mounts();
    EXPECT_EQ(since("mounts", n), std::vector<std::string>{
                                      "mount securityfs /sys/kernel/security securityfs 0xc0e  -> 0"});

    n = records("mounts").size();
    umount_all();
    EXPECT_EQ(since("mounts", n), std::vector<std::string>{"umount /sys/kernel/security 0 -> 0"});

    std::filesystem::remove_all("/sys/kernel");
    n = records("mounts").size();
    do_mounts();
    do_mounts();  // sysfs is there now
    std::vector<std::string> mounts = since("mounts", n);
    ASSERT_FALSE(mounts.empty());
    EXPECT_EQ(mounts[0], "mount none /sys sysfs 0xc0e  -> 0");
    EXPECT_EQ(std::count(mounts.begin(), mounts.end(), mounts[0]), 1);

    n = records("mounts").size();
    umount_all();
    std::vector<std::string> umounts = since("mounts", n);
    ASSERT_GE(umounts.size(), 2u);
    EXPECT_EQ(umounts[umounts.size() - 2].rfind("umount /sys/kernel/security ", 0), 0u);
    EXPECT_EQ(umounts.back(), "umount /sys 0 -> 0");
}

// A test path that is there but not on its file system (a tmpfs, a plain
// file bound over it: what a device image holds where the kernel's file
// system is not mounted) is no mounted file system: do_mounts mounts the
// kernel's over it, and umount_all takes it down again.
TEST(PseudoFileSystems, TestPathsOffTheirFileSystemAreMountedOver)
{
    write_text("/tmp/ks-mounts-cpuinfo", "SoC Info\t: GP\n");
    struct row {
        const char *what;
        std::function<int()> cover;
        std::string mount;  // the record do_mounts must add first
    } rows[] = {
        {"sysfs", [] { return mount("tmpfs", "/sys/kernel", "tmpfs", 0, nullptr); },
         "mount none /sys sysfs 0xc0e  -> 0"},
        {"securityfs",
         [] {
             return mount("tmpfs", "/sys/kernel/security", "tmpfs", 0, nullptr) ||
                    mkdir("/sys/kernel/security/keepstone", 0755);
         },
         "mount securityfs /sys/kernel/security securityfs 0xc0e  -> 0"},
        {"procfs",
         [] { return mount("/tmp/ks-mounts-cpuinfo", "/proc/cpuinfo", nullptr, MS_BIND, nullptr); },
         "mount proc /proc proc 0xc0e  -> 0"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::filesystem::create_directories("/sys/kernel/security/keepstone");
        size_t n = records("mounts").size();
        // In a mount namespace of its own, so that the sandbox's stand-ins
        // stay as they are for the next row.
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            if (unshare(CLONE_NEWNS) != 0 ||
                syscall(SYS_mount, "none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                r.cover() != 0)
                _exit(2);
            do_mounts();
            umount_all();
            _exit(0);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        std::vector<std::string> mounts = since("mounts", n);
        ASSERT_GE(mounts.size(), 2u);  // the cover's, then do_mounts'
        EXPECT_EQ(mounts[1], r.mount);
    }
    // The sandbox's own stand-ins: nothing to mount.
    size_t n = records("mounts").size();
    do_mounts();
    EXPECT_EQ(since("mounts", n), std::vector<std::string>{});
}

TEST(UbifsMount, AttachRecordThenMount)
{
    unmount_var();
    size_t u = records("ubi").size(), m = records("mounts").size();
    EXPECT_EQ(ubifs_mount("ubi0:var", "/var", 0, "no_chk_data_crc,bulk_read"), 0);
    std::vector<std::string> ubi = since("ubi", u);
    ASSERT_EQ(ubi.size(), 1u);
    EXPECT_EQ(ubi[0].rfind("attach mtd=4 ubi=-1 vid_hdr_offset=0 -> ", 0), 0u) << ubi[0];
    EXPECT_EQ(since("mounts", m), std::vector<std::string>{
                                      "mount ubi0:var /var ubifs 0x0 no_chk_data_crc,bulk_read -> 0"});
    EXPECT_TRUE(var_mounted());
    unmount_var();

    // mtd4 is attached now: the kernel answers EEXIST, and the volume can
    // still be mounted.
    u = records("ubi").size();
    EXPECT_EQ(ubifs_mount("ubi0:var", "/var", 0, "no_chk_data_crc,bulk_read"), 0);
    ubi = since("ubi", u);
    ASSERT_EQ(ubi.size(), 1u);
    EXPECT_NE(ubi[0].find("-> -17"), std::string::npos) << ubi[0];
    EXPECT_TRUE(var_mounted());
    unmount_var();
}

// A partition the kernel attached already (its command line did) answers
// the attach request with EEXIST: the volume is there and is mounted.
TEST(UbifsMount, AlreadyAttachedPartitionIsMounted)
{
    unmount_var();
    ASSERT_EQ(ks_sim::write_state(ks_sim::run_path("ubi-attached"), ""), 0);
    set_faults("ubi.attach=17\n");
    size_t u = records("ubi").size(), m = records("mounts").size();
    EXPECT_EQ(ubifs_mount("ubi0:var", "/var", 0, "no_chk_data_crc,bulk_read"), 0);
    set_faults("");
    std::vector<std::string> ubi = since("ubi", u);
    ASSERT_EQ(ubi.size(), 1u);
    EXPECT_NE(ubi[0].find("-> -17"), std::string::npos) << ubi[0];
    EXPECT_EQ(since("mounts", m), std::vector<std::string>{
                                      "mount ubi0:var /var ubifs 0x0 no_chk_data_crc,bulk_read -> 0"});
    EXPECT_TRUE(var_mounted());
    unmount_var();
}

TEST(UbifsMount, FailuresTable)
{
    struct row {
        const char *faults;
        int result;
        bool mount_tried;
    } rows[] = {
        {"ubi.open=2\n", -2, false},
        {"ubi.attach=22\n", -14, false},
        {"ubifs.mount=22\n", -14, true},
    };
    for (const row &r : rows) {
        unmount_var();
        set_faults(r.faults);
        size_t m = records("mounts").size();
        EXPECT_EQ(ubifs_mount("ubi0:var", "/var", 0, "bulk_read"), r.result) << r.faults;
        EXPECT_EQ(!since("mounts", m).empty(), r.mount_tried) << r.faults;
        set_faults("");
    }
}

// R&D mode with "parse_fstab": the "/var" line gives source, flags and
// data; a failed mount of the line is retried with the defaults; an fstab
// that is missing, empty or has no usable line mounts nothing.
TEST(MountVar, FstabTable)
{
    // A usable line in a file far larger than any file table.
    static const std::string huge = "ubi0:var /var ubifs ro\n" + std::string(100000, '#') + "\n";
    struct row {
        int rd_mode;
        bool parse_fstab;
        const char *fstab;  // null: no file
        int result;
        std::vector<std::string> mounts;
    } rows[] = {
        {0, true, "ubi0:var /var ubifs ro\n", 0,
         {"mount ubi0:var /var ubifs 0x0 no_chk_data_crc,bulk_read -> 0"}},
        {1, false, "ubi0:var /var ubifs ro\n", 0,
         {"mount ubi0:var /var ubifs 0x0 no_chk_data_crc,bulk_read -> 0"}},
        {1, true, "ubi0:var /var ubifs ro,noatime,bulk_read\n", 0,
         {"mount ubi0:var /var ubifs 0x401 bulk_read -> 0"}},
        {1, true, "proc /proc proc defaults\nubi0:var /var ubifs nodev,bulk_read", 0,
         {"mount ubi0:var /var ubifs 0x4 bulk_read -> 0"}},
        {1, true, "ubi0:none /var ubifs bulk_read 0 0\n", 0,
         {"mount ubi0:none /var ubifs 0x0 bulk_read 0 0 -> -", 
          "mount ubi0:var /var ubifs 0x0 no_chk_data_crc,bulk_read -> 0"}},
        {1, true, nullptr, -2, {}},
        {1, true, "", -22, {}},
        {1, true, "# fstab\nubi0:var /var ubifs ro\n", -22, {}},
        {1, true, "ubi0:var /var ext4 ro\n", -22, {}},
        {1, true, huge.c_str(), -12, {}},
    };
    for (const row &r : rows) {
        unmount_var();
        std::filesystem::remove("/etc/fstab");
        std::filesystem::remove("/etc/tarvo/parse_fstab");
        if (r.fstab)
            write_text("/etc/fstab", r.fstab);
        if (r.parse_fstab)
            write_text("/etc/tarvo/parse_fstab", "");
        size_t m = records("mounts").size();
        std::string what = r.fstab ? std::string(r.fstab).substr(0, 60) : "(none)";
        EXPECT_EQ(mount_var(r.rd_mode), r.result) << what;
        std::vector<std::string> mounts = since("mounts", m);
        ASSERT_EQ(mounts.size(), r.mounts.size()) << what;
        for (size_t i = 0; i < mounts.size(); i++)
            EXPECT_EQ(mounts[i].rfind(r.mounts[i], 0), 0u) << mounts[i];
        EXPECT_EQ(var_mounted(), r.result == 0) << what;
    }
    unmount_var();
}

}  // namespace
