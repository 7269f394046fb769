// The device models as a program in the sandbox sees them: through open,
// write, ioctl, stdio and close of the C library.
#include "sim/model.h"
#include "sim/models/keepstone.h"
#include "sim/testing/inside.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>

using ks_sim::keepstone_event;

namespace {

const std::string ks_dir = "/sys/kernel/security/keepstone/";

// These tests mount, unmount and ask for a reboot: they run only in the
// sandbox's namespace with the simulator loaded, never on the host.
bool inside_sandbox_with_simulator()
{
    return ks_sim::testing::inside_sandbox_with_simulator("mount");
}

// Every test starts from an empty kernel side and no faults.
class Models : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(inside_sandbox_with_simulator()) << "runs inside ks-sandbox only";
        std::system("rm -rf /.ks-sim/run/* /.ks-sim/faults");
    }
    void arm(const std::string &line)
    {
        std::string text;
        ks_sim::read_state("faults", text);
        ASSERT_EQ(ks_sim::write_state("faults", text + line + "\n"), 0);
    }
    std::vector<keepstone_event> log()
    {
        std::vector<keepstone_event> ev;
        EXPECT_EQ(ks_sim::read_keepstone_log(ev), 0);
        return ev;
    }
    std::vector<std::string> shape()
    {
        std::vector<std::string> s;
        for (const auto &e : log())
            s.push_back(std::string(1, e.op) + " " + e.file);
        return s;
    }
};

std::string record(char type, const std::string &numbers)
{
    std::string r(1, type);
    if (type == 's' || type == 't')
        r.append(20, '\x5a');
    r += numbers;
    r += '\0';
    r += '\n';
    return r;
}

// Writes text with stdio as the boot program writes its value files.
int stdio_write(const std::string &file, const std::string &text)
{
    FILE *f = std::fopen((ks_dir + file).c_str(), "w");
    if (!f)
        return -errno;
    size_t n = std::fwrite(text.data(), 1, text.size(), f);
    int c = std::fclose(f);
    return n == text.size() && c == 0 ? 0 : -1;
}

}  // namespace

TEST_F(Models, HashRecordsAreCheckedAndKeptOnePerWrite)
{
    struct {
        std::string rec;
        bool taken;
    } cases[] = {
        {record('s', " 2049 12 0 0 0 3 0"), true},
        {record('t', " -5 7 1 2 3 -1 1 0 4294967295"), true},
        {record('x', " 1 2 0 0 0 0 0"), true},
        {record('p', " 1 2 0 0 0 0 2 1 5 3 9"), true},
        {record('q', " 1 2 0 0 0 0 0"), false},             // no such type
        {record('s', " 1 2 0 0 0 0 1"), false},             // one credential announced, none given
        {record('d', "  1 2 0 0 0 0 0"), false},            // two blanks
        {record('s', " 1 2 0 0 0 0 0").substr(0, 30), false},  // no NUL and newline
    };
    int fd = open((ks_dir + "hashlist").c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    for (const auto &c : cases) {
        errno = 0;
        ssize_t n = write(fd, c.rec.data(), c.rec.size());
        if (c.taken)
            EXPECT_EQ(n, ssize_t(c.rec.size())) << c.rec;
        else
            EXPECT_TRUE(n == -1 && errno == EINVAL) << c.rec;
    }
    ASSERT_EQ(close(fd), 0);
    auto ev = log();
    ASSERT_EQ(ev.size(), 2 + std::size(cases));
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(ev[1 + i].op, cases[i].taken ? 'W' : 'X');
        EXPECT_EQ(ev[1 + i].data, cases[i].rec);
    }
}

TEST_F(Models, ValueFilesTakeTheirFormatsOnly)
{
    struct {
        const char *file;
        const char *text;
        bool ok;
    } cases[] = {
        {"enforce", "1c7\n", true},   {"enforce", "1C7\n", false}, {"enabled", "0\n", true},
        {"enabled", "7", false},      {"flush", "1", true},        {"flush", "1\n", false},
        {"devorig", "-12", true},     {"devorig", "12\n", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(stdio_write(c.file, c.text) == 0, c.ok) << c.file << " " << c.text;
}

TEST_F(Models, ModuleHashesAreTwentyBytesPerOpen)
{
    std::string hash(20, '\x11');
    EXPECT_EQ(stdio_write("modlist", hash), 0);
    EXPECT_NE(stdio_write("modlist", hash + "x"), 0);
    auto ev = log();
    ASSERT_EQ(ev.size(), 6u);
    EXPECT_EQ(std::stoi(ev[0].data), O_WRONLY | O_CREAT | O_TRUNC);
    EXPECT_EQ(ev[1].data, hash);
    EXPECT_EQ(ev[4].op, 'X');
}

TEST_F(Models, FaultsRefuseOpensFailTheNthWriteAndCloses)
{
    arm("keepstone.enforce.open=13");
    arm("keepstone.hashlist.write_fail=2");
    arm("keepstone.enabled.close");

    errno = 0;
    EXPECT_EQ(std::fopen((ks_dir + "enforce").c_str(), "w"), nullptr);
    EXPECT_EQ(errno, EACCES);

    int fd = open((ks_dir + "hashlist").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::string rec = record('s', " 1 2 0 0 0 0 0");
    EXPECT_EQ(write(fd, rec.data(), rec.size()), ssize_t(rec.size()));
    EXPECT_EQ(write(fd, rec.data(), rec.size()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(write(fd, rec.data(), rec.size()), ssize_t(rec.size()));
    EXPECT_EQ(close(fd), 0);

    // The refusal at close reaches both close and fclose.
    fd = open((ks_dir + "enabled").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(write(fd, "7\n", 2), 2);
    EXPECT_EQ(close(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(stdio_write("enabled", "7\n"), 0);

    EXPECT_EQ(shape(), (std::vector<std::string>{"R enforce", "O hashlist", "W hashlist",
                                                 "X hashlist", "W hashlist", "C hashlist",
                                                 "O enabled", "W enabled", "C enabled",
                                                 "O enabled", "W enabled", "C enabled"}));
}

TEST_F(Models, ShortWritesAndMissingFiles)
{
    arm("keepstone.enforce.short");
    EXPECT_NE(stdio_write("enforce", "147\n"), 0);  // stdio sees the short write

    std::string devorig = ks_dir + "devorig";
    ASSERT_EQ(unlink(devorig.c_str()), 0);  // the device without a developer origin
    errno = 0;
    EXPECT_EQ(open(devorig.c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    std::ofstream(devorig).flush();  // back for the other tests
}

TEST_F(Models, StreamsOnDescriptorsAndDescriptorsOfStreamsReachTheModel)
{
    int fd = open((ks_dir + "enforce").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    FILE *f = fdopen(fd, "w");
    ASSERT_NE(f, nullptr);
    std::fputs("1e7\n", f);
    EXPECT_EQ(std::fclose(f), 0);  // closes fd too: one close for the model
    errno = 0;
    EXPECT_EQ(write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);

    FILE *g = std::fopen((ks_dir + "enabled").c_str(), "w");
    ASSERT_NE(g, nullptr);
    ASSERT_GE(fileno(g), 0);
    EXPECT_EQ(write(fileno(g), "147\n", 4), 4);
    EXPECT_EQ(std::fclose(g), 0);

    // The program closes the stream's descriptor itself and the number goes
    // to another file: closing the stream leaves that file alone.
    FILE *h = std::fopen("/proc/cpuinfo", "r");
    ASSERT_NE(h, nullptr);
    int number = fileno(h);
    ASSERT_EQ(close(number), 0);
    int other = open("/dev/null", O_RDONLY);
    ASSERT_EQ(other, number);
    EXPECT_EQ(std::fclose(h), 0);
    EXPECT_EQ(fcntl(other, F_GETFD), 0) << "the other file was closed";
    close(other);
    EXPECT_EQ(shape(), (std::vector<std::string>{"O enforce", "W enforce", "C enforce",
                                                 "O enabled", "W enabled", "C enabled"}));
}

TEST_F(Models, DuplicatedDescriptorsCloseOnceAtTheLast)
{
    int fd = open((ks_dir + "hashlist").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int fd2 = dup(fd);
    int fd3 = fcntl(fd, F_DUPFD_CLOEXEC, 50);
    ASSERT_GE(fd3, 50);
    std::string rec = record('x', " 1 2 0 0 0 0 0");
    EXPECT_EQ(write(fd3, rec.data(), rec.size()), ssize_t(rec.size()));
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(close(fd3), 0);
    EXPECT_EQ(shape(), (std::vector<std::string>{"O hashlist", "W hashlist"}));
    EXPECT_EQ(close(fd2), 0);
    EXPECT_EQ(shape(), (std::vector<std::string>{"O hashlist", "W hashlist", "C hashlist"}));
    // fstat shows the placeholder, not the memfd behind the descriptor.
    int c = open("/dev/console", O_WRONLY);
    ASSERT_GE(c, 0);
    struct stat st;
    ASSERT_EQ(fstat(c, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(5, 1));
    close(c);
}

TEST_F(Models, SysrqUrandomAndCpuinfo)
{
    FILE *f = std::fopen("/proc/sysrq-trigger", "w");
    ASSERT_NE(f, nullptr);
    std::fputs("o\n", f);
    ASSERT_EQ(std::fclose(f), 0);
    std::vector<std::string> recs;
    ks_sim::read_records(ks_sim::run_path("sysrq"), recs);
    EXPECT_EQ(recs, std::vector<std::string>{"o\n"});

    int fd = open("/dev/urandom", O_RDWR);
    ASSERT_GE(fd, 0);
    char buf[512] = {1};
    EXPECT_EQ(write(fd, buf, sizeof buf), 512);
    EXPECT_EQ(read(fd, buf, 16), 16);
    close(fd);
    ks_sim::read_records(ks_sim::run_path("urandom"), recs);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].size(), 512u);
    EXPECT_EQ(recs[0][0], 1);

    auto soc = [] {
        std::ifstream in("/proc/cpuinfo");
        std::string line, found;
        while (std::getline(in, line))
            if (line.compare(0, 8, "SoC Info") == 0)
                found = line;
        return found;
    };
    EXPECT_EQ(soc().substr(soc().size() - 2), "hs");
    ASSERT_EQ(ks_sim::write_state("soc-info", "SoC Info\t: OMAP3430 GP"), 0);
    EXPECT_EQ(soc(), "SoC Info\t: OMAP3430 GP");
    unlink(ks_sim::state_path("soc-info").c_str());
}

TEST_F(Models, UbiAttachAndTheVarVolume)
{
    struct attach_request {
        int32_t ubi_num, mtd_num, vid_hdr_offset;
        uint8_t reserved[12];
    } req = {-1, 4, 0, {}};
    int fd = open("/dev/ubi_ctrl", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ioctl(fd, 0x40186f40, &req), 0) << std::strerror(errno);
    EXPECT_EQ(req.ubi_num, 0);
    req.ubi_num = -1;
    EXPECT_EQ(ioctl(fd, 0x40186f40, &req), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ioctl(fd, 0x1234, &req), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(fd);

    mkdir("/tmp/vol", 0755);
    struct {
        const char *source, *data;
        int err;
    } cases[] = {
        {"ubi1:var", "", ENODEV},            // not attached
        {"ubi0:nothing", "", ENODEV},        // no such volume
        {"ubi0:var", "bulk_read 0 0", EINVAL},  // an option UBIFS does not know
        {"ubi0:var", "no_chk_data_crc,bulk_read", 0},
    };
    for (const auto &c : cases) {
        errno = 0;
        int r = mount(c.source, "/tmp/vol", "ubifs", 0, c.data);
        EXPECT_EQ(r == 0 ? 0 : errno, c.err) << c.source << " " << c.data;
    }
    // The volume is the device's persistent var.
    std::ofstream("/tmp/vol/marker") << "m";
    struct stat st;
    EXPECT_EQ(stat((ks_sim::state_dir() + "/ubi/mtd4/var/marker").c_str(), &st), 0);
    EXPECT_EQ(umount("/tmp/vol"), 0);
    unlink((ks_sim::state_dir() + "/ubi/mtd4/var/marker").c_str());
}

TEST_F(Models, KernelFileSystemsMountedInsideAreGuarded)
{
    // A new procfs gets its sysrq trigger covered and /proc/sys read-only;
    // sysfs and securityfs come read-only whatever the flags asked for.
    mkdir("/tmp/p", 0755);
    ASSERT_EQ(mount("proc", "/tmp/p", "proc", 0, nullptr), 0) << std::strerror(errno);
    struct stat st, null;
    ASSERT_EQ(stat("/tmp/p/cpuinfo", &st), 0);
    if (stat("/tmp/p/sysrq-trigger", &st) == 0) {  // the host may have none
        ASSERT_EQ(stat("/dev/null", &null), 0);
        EXPECT_EQ(st.st_rdev, null.st_rdev);
    }
    struct statvfs vfs;
    ASSERT_EQ(statvfs("/tmp/p/sys", &vfs), 0);
    EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
    EXPECT_EQ(umount("/tmp/p"), 0) << std::strerror(errno);

    mkdir("/tmp/s", 0755);
    ASSERT_EQ(mount("none", "/tmp/s", "sysfs", 0xc0e, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(statvfs("/tmp/s", &vfs), 0);
    EXPECT_TRUE(vfs.f_flag & ST_RDONLY);
    EXPECT_EQ(umount("/tmp/s"), 0);

    std::vector<std::string> recs;
    ks_sim::read_records(ks_sim::run_path("mounts"), recs);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0], "mount proc /tmp/p proc 0x0  -> 0");
    EXPECT_EQ(recs[2], "mount none /tmp/s sysfs 0xc0e  -> 0");
}

TEST_F(Models, RebootIsRecordedAndRefused)
{
    EXPECT_EQ(reboot(RB_POWER_OFF), -1);
    EXPECT_EQ(errno, EPERM);
    std::vector<std::string> recs;
    ks_sim::read_records(ks_sim::run_path("reboot"), recs);
    EXPECT_EQ(recs, std::vector<std::string>{"reboot 0x4321fedc"});
}

TEST_F(Models, SleepsAreRecordedAndReturnAtOnce)
{
    time_t start = time(nullptr);
    EXPECT_EQ(sleep(3600), 0u);
    struct timespec ts = {360, 5};
    EXPECT_EQ(nanosleep(&ts, nullptr), 0);
    EXPECT_LT(time(nullptr) - start, 60);
    std::vector<std::string> recs;
    ks_sim::read_records(ks_sim::run_path("sleeps"), recs);
    EXPECT_EQ(recs, (std::vector<std::string>{"sleep 3600.000000000", "nanosleep 360.000000005"}));
}

TEST(Sandbox, TheTestRunsInsideTheSandboxWithTheSimulator)
{
    // ctest started this program through ks-sandbox: its mount namespace is
    // the sandbox's, the device state is at the root, and under the armhf
    // preset it runs as a 32-bit ARM program under the emulator.
    ASSERT_TRUE(inside_sandbox_with_simulator());
    // The simulator answers for a path that has only a placeholder.
    FILE *f = std::fopen("/proc/cpuinfo", "r");
    ASSERT_NE(f, nullptr);
    char line[128];
    bool soc = false;
    while (std::fgets(line, sizeof line, f))
        soc = soc || std::strncmp(line, "SoC Info", 8) == 0;
    std::fclose(f);
    EXPECT_TRUE(soc);
#if defined(__arm__)
    struct utsname u;
    ASSERT_EQ(uname(&u), 0);
    EXPECT_STREQ(u.machine, "armv7l");
    EXPECT_EQ(sizeof(void *), 4u);
#endif
}

TEST_F(Models, AStreamKeptOpenUntilTheProcessEndsIsNoLeak)
{
    // A program may keep a stream on a device open to the end (the boot
    // program's console log does); the leak checker of the asan preset
    // must find nothing, and opens during its report must not crash.
    static FILE *console = std::fopen("/dev/console", "w");
    ASSERT_NE(console, nullptr);
    std::fputs("kept open\n", console);
    std::fflush(console);
    std::vector<std::string> recs;
    ks_sim::read_records(ks_sim::run_path("console"), recs);
    EXPECT_EQ(recs, std::vector<std::string>{"kept open\n"});
}

// pread and pwrite reach the model at their own offset and leave the
// descriptor's position where it was, also when the offset is refused.
TEST_F(Models, PositionedTransfersLeaveThePosition)
{
    ks_sim::testing::fresh_config_partition();
    if (HasFatalFailure())
        return;
    int fd = open("/dev/mtd1", O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 0x100, SEEK_SET), 0x100);
    const std::string page(0x800, 'p');
    EXPECT_EQ(pwrite(fd, page.data(), page.size(), 0x4000), 0x800);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0x100);
    char buf[0x800];
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0x4000), 0x800);
    EXPECT_EQ(std::string(buf, sizeof buf), page);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0x100);
    EXPECT_EQ(pread(fd, buf, 16, 0x100000), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(pwrite(fd, page.data(), page.size(), 0x100000), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0x100);
    close(fd);
    // The other tests see the default partitions again.
    unlink(ks_sim::state_path("mtd.partitions").c_str());
}
