// Device nodes made from sysfs "dev" files, on the simulated device (its
// /dev is a private tmpfs, so the nodes are placeholders only).
#include "init/devices.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

const std::string DIR = "/dev/ks-devices-test";
const std::string NODE = DIR + "/node";
// On the sandbox's sysfs: a "dev" file anywhere else is refused.
const std::string SYSFS = "/sys/ks-devices-test/dev";

void write_text(const std::string &path, const std::string &text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class CreateDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        umask(022);
        std::filesystem::remove_all(DIR);
        std::filesystem::create_directories(DIR);
        write_text(SYSFS, "10:63\n");
    }
};

TEST_F(CreateDevice, ExistingNodesByKind)
{
    dev_t wanted = makedev(10, 63);
    struct row {
        const char *name;
        std::function<void()> make;  // what is at the node before
        bool kept;                   // the same inode afterwards
    } rows[] = {
        {"absent", [] {}, false},
        {"right char node", [&] { mknod(NODE.c_str(), S_IFCHR | 0600, wanted); }, true},
        {"other numbers", [] { mknod(NODE.c_str(), S_IFCHR | 0600, makedev(10, 64)); }, false},
        {"block node, same numbers", [&] { mknod(NODE.c_str(), S_IFBLK | 0600, wanted); }, false},
        {"symlink to the right node",
         [&] {
             mknod((DIR + "/real").c_str(), S_IFCHR | 0600, wanted);
             symlink((DIR + "/real").c_str(), NODE.c_str());
         },
         false},
        {"dangling symlink", [] { symlink("/nowhere", NODE.c_str()); }, false},
        {"regular file", [] { write_text(NODE, "x"); }, false},
    };
    for (const row &r : rows) {
        std::filesystem::remove_all(DIR);
        std::filesystem::create_directories(DIR);
        r.make();
        struct stat before = {};
        bool existed = lstat(NODE.c_str(), &before) == 0;
        EXPECT_EQ(create_device(NODE.c_str(), SYSFS.c_str()), 0) << r.name;
        struct stat after;
        ASSERT_EQ(lstat(NODE.c_str(), &after), 0) << r.name;
        EXPECT_TRUE(S_ISCHR(after.st_mode)) << r.name;
        EXPECT_EQ(after.st_rdev, wanted) << r.name;
        EXPECT_EQ(existed && after.st_ino == before.st_ino, r.kept) << r.name;
        if (!r.kept) {
            EXPECT_EQ(after.st_mode & 07777, 0600u) << r.name;
        }
    }
}

// A new node is private to its owner whatever umask the program inherited:
// the secure-services and flash nodes are never writable by others.
TEST_F(CreateDevice, NewNodeModeIgnoresTheUmask)
{
    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(077), mode_t(0277)}) {
        std::filesystem::remove_all(DIR);
        std::filesystem::create_directories(DIR);
        umask(mask);
        EXPECT_EQ(create_device(NODE.c_str(), SYSFS.c_str()), 0) << mask;
        EXPECT_EQ(umask(022), mask) << "the umask is given back";
        struct stat st;
        ASSERT_EQ(lstat(NODE.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "umask " << mask;
    }
}

TEST_F(CreateDevice, SysfsFileTable)
{
    struct row {
        const char *text;  // null: no file
        int result;
        unsigned major_number, minor_number;
    } rows[] = {
        {"10:63\n", 0, 10, 63},  {"10 63", 0, 10, 63}, {"252x7", 0, 252, 7},
        {nullptr, -2, 0, 0},     {"", -5, 0, 0},       {"ten:63\n", -5, 0, 0},
        {"10\n", -5, 0, 0},
    };
    for (const row &r : rows) {
        std::filesystem::remove_all(DIR);
        std::filesystem::create_directories(DIR);
        std::filesystem::remove(SYSFS);
        if (r.text)
            write_text(SYSFS, r.text);
        EXPECT_EQ(create_device(NODE.c_str(), SYSFS.c_str()), r.result) << (r.text ? r.text : "-");
        struct stat st;
        bool made = lstat(NODE.c_str(), &st) == 0;
        EXPECT_EQ(made, r.result == 0);
        if (made) {
            EXPECT_EQ(st.st_rdev, makedev(r.major_number, r.minor_number));
        }
    }
}

// A node in a read-only directory: a wrong one cannot be removed (-3), a
// missing one cannot be made (-4).
TEST_F(CreateDevice, ReadOnlyDirectory)
{
    mknod(NODE.c_str(), S_IFCHR | 0600, makedev(1, 1));
    ASSERT_EQ(mount(DIR.c_str(), DIR.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(mount(nullptr, DIR.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(create_device(NODE.c_str(), SYSFS.c_str()), -3);
    EXPECT_EQ(create_device((DIR + "/other").c_str(), SYSFS.c_str()), -4);
    umount2(DIR.c_str(), MNT_DETACH);
}

// create_devices answers for "/dev/mtd4" alone.
TEST(CreateDevices, ResultIsThatOfMtd4)
{
    EXPECT_EQ(create_devices(), 0);
    struct stat st;
    ASSERT_EQ(stat("/dev/mtd4", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    const char console_dev[] = "/sys/devices/virtual/tty/console/dev";
    const char mtd4_dev[] = "/sys/devices/platform/omap2-onenand/mtd/mtd4/dev";
    write_text(console_dev, "garbage\n");
    EXPECT_EQ(create_devices(), 0);
    std::filesystem::remove(mtd4_dev);
    EXPECT_EQ(create_devices(), -2);
}

}  // namespace
