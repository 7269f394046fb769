// statfs and fstatfs in the sandbox: the kernel's paths that the
// simulator stands in for answer with the type of the kernel's own file
// system, the rest answers for itself, and a file system really mounted
// (or a stand-in taken away) is seen as it is.
#include "sim/testing/inside.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace {

const char HASHLIST[] = "/sys/kernel/security/keepstone/hashlist";

long type_of(const char *path)
{
    struct statfs fs;
    return statfs(path, &fs) == 0 ? long(fs.f_type) : -errno;
}

// fstatfs of a descriptor opened on the path (served by a model or not).
long type_of_open(const char *path, int flags)
{
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    struct statfs fs;
    long r = fstatfs(fd, &fs) == 0 ? long(fs.f_type) : -errno;
    close(fd);
    return r;
}

class Statfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ks_sim::testing::inside_sandbox_with_simulator("fstatfs"))
            << "runs inside ks-sandbox only";
    }
};

TEST_F(Statfs, KernelPathsAnswerTheKernelsFileSystem)
{
    long root = type_of("/");
    ASSERT_GT(root, 0);
    struct row {
        const char *path;
        int open_flags;  // -1: statfs only (a directory)
        long type;
    } rows[] = {
        {"/sys", -1, SYSFS_MAGIC},
        {"/sys/kernel", -1, SYSFS_MAGIC},
        {"/sys/kernel/security", -1, SECURITYFS_MAGIC},
        {"/sys/kernel/security/keepstone", -1, SECURITYFS_MAGIC},
        {HASHLIST, O_WRONLY, SECURITYFS_MAGIC},                              // served
        {"/sys/kernel/security/keepstone/enforce", O_WRONLY, SECURITYFS_MAGIC},  // served
        {"/sys/devices/virtual/misc/omap_sec/dev", O_RDONLY, SYSFS_MAGIC},   // a placeholder
        {"/proc", -1, PROC_SUPER_MAGIC},
        {"/proc/cpuinfo", O_RDONLY, PROC_SUPER_MAGIC},                       // served
        {"/tmp", -1, TMPFS_MAGIC},
        {"/etc", -1, root},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(type_of(r.path), r.type);
        if (r.open_flags >= 0) {
            EXPECT_EQ(type_of_open(r.path, r.open_flags), r.type);
        }
    }
    // A link answers for its target, as the kernel's statfs does.
    unlink("/tmp/to-hashlist");
    ASSERT_EQ(symlink(HASHLIST, "/tmp/to-hashlist"), 0);
    EXPECT_EQ(type_of("/tmp/to-hashlist"), SECURITYFS_MAGIC);
    unlink("/tmp/to-hashlist");
}

// Last of the program: it takes the stand-in for sysfs and securityfs
// away. The device's own /sys directory below it is the root's file
// system, a file there is no kernel file even where a model would serve
// its path, and a sysfs or securityfs mounted there is what it is.
TEST_F(Statfs, WithoutTheStandInMountsAnswerForThemselves)
{
    long root = type_of("/");
    ASSERT_EQ(umount2("/sys", MNT_DETACH), 0) << strerror(errno);
    EXPECT_EQ(type_of("/sys"), root);
    // Made under another name: the model serves opens of the path itself.
    ASSERT_EQ(system("mkdir -p /sys/kernel/security/keepstone && : >/sys/kernel/security/keepstone/x"
                     " && mv /sys/kernel/security/keepstone/x /sys/kernel/security/keepstone/hashlist"),
              0);
    EXPECT_EQ(type_of(HASHLIST), root);
    EXPECT_EQ(type_of_open(HASHLIST, O_WRONLY), root);

    ASSERT_EQ(mount("none", "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr), 0)
        << strerror(errno);
    EXPECT_EQ(type_of("/sys"), SYSFS_MAGIC);
    EXPECT_EQ(type_of("/sys/kernel"), SYSFS_MAGIC);
    if (mount("securityfs", "/sys/kernel/security", "securityfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
              nullptr) == 0) {
        EXPECT_EQ(type_of("/sys/kernel/security"), SECURITYFS_MAGIC);
        EXPECT_EQ(umount("/sys/kernel/security"), 0);
    }
    EXPECT_EQ(umount("/sys"), 0);
}

}  // namespace
