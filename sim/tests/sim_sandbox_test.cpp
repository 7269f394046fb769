// The sandbox seen from the host.
#include "sim/testing/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <spawn.h>

#include <fstream>
#include <map>
#include <sstream>

using ks_sim::keepstone_event;
using ks_sim::testing::device;
using ks_sim::testing::run_options;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Names, types, sizes, device numbers and modification times below a
// directory (depth levels deep), one line each.
void snapshot(const std::string &dir, int depth, std::map<std::string, std::string> &out)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        std::ostringstream line;
        line << std::oct << st.st_mode << std::dec << " " << st.st_rdev;
        if (!S_ISDIR(st.st_mode))
            line << " " << st.st_size << " " << st.st_mtime;
        out[path] = line.str();
        if (S_ISDIR(st.st_mode) && depth > 1)
            snapshot(path, depth - 1, out);
    }
    closedir(d);
}

std::map<std::string, std::string> host_state()
{
    std::map<std::string, std::string> s;
    snapshot("/etc", 8, s);
    snapshot("/var", 2, s);
    snapshot("/dev", 1, s);
    s.erase("/dev/shm");  // other programs' shared memory comes and goes
    s["mountinfo"] = slurp("/proc/self/mountinfo");
    return s;
}

}  // namespace

TEST(Sandbox, LeavesTheHostMountsEtcVarAndDevAlone)
{
    device dev;
    auto before = host_state();
    auto r = dev.shell(
        "set -e\n"
        "echo device >/etc/hostname\n"
        "mkdir -p /var/lib/x && echo y >/var/lib/x/y\n"
        "mknod /dev/ks-test c 1 3\n"
        "mkdir -p /mnt && mount -t tmpfs none /mnt && touch /mnt/file\n"
        "mount -t sysfs none /sys\n"
        "umount /sys\n"
        "echo done\n");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("done"), std::string::npos) << r.output;
    auto after = host_state();
    EXPECT_EQ(before["mountinfo"], after["mountinfo"]);
    for (const auto &[path, line] : before)
        EXPECT_EQ(after.count(path) ? after[path] : "(gone)", line) << path;
    for (const auto &[path, line] : after)
        EXPECT_TRUE(before.count(path)) << "new on the host: " << path;
    // The writes went to the device.
    EXPECT_EQ(dev.read_file("/etc/hostname"), "device\n");
}

TEST(Sandbox, RefusesToRunOutsideAPrivateNamespace)
{
    // The inner half started directly, in the host's namespace, must refuse
    // before it touches anything.
    std::string root = std::string(::testing::TempDir()) + "/ks-never-made";
    std::string ns(64, '\0');
    ssize_t n = readlink("/proc/self/ns/mnt", ns.data(), ns.size());
    ASSERT_GT(n, 0);
    ns.resize(size_t(n));
    std::string cmd = std::string("'") + ks_sim::testing::sandbox_program() + "' --inner '" + ns +
                      "' --root '" + root + "' -- /bin/true 2>/dev/null";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 125);
    struct stat st;
    EXPECT_NE(stat(root.c_str(), &st), 0);
}

TEST(Sandbox, TheIntegrityModuleKeepsRecordsAndModuleHashesInOrder)
{
    device dev;
    auto r = dev.run({SIM_PROBE, "integrity"});
    ASSERT_EQ(r.status, 0) << r.output;

    auto log = dev.kernel_log();
    std::vector<std::string> shape;
    for (const auto &e : log)
        shape.push_back(std::string(1, e.op) + " " + e.file);
    std::vector<std::string> want = {"O hashlist", "W hashlist", "W hashlist", "W hashlist",
                                     "C hashlist", "O modlist",  "W modlist",  "C modlist",
                                     "O modlist",  "W modlist",  "C modlist"};
    ASSERT_EQ(shape, want);
    EXPECT_EQ(std::stoi(log[0].data) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(std::stoi(log[5].data) & O_TRUNC, O_TRUNC);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(log[size_t(1 + i)].data[1], char(0x10 * (i + 1)));
    EXPECT_EQ(log[6].data, std::string(20, char(0xa1)));
    EXPECT_EQ(log[9].data, std::string(20, char(0xa2)));

    // ks-sim, run on the same boot, decodes the same.
    auto text = dev.run({KS_SIM_TOOL, "kernel"}, run_options{true, false, 0});
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("keepstone: 3 hashlist records, 2 module hashes"), std::string::npos)
        << text.output;
    size_t first = text.output.find(
        "write   hashlist s 1010101010101010101010101010101010101010 2049 101 0 0 0 1 0");
    size_t third = text.output.find(" 2049 103 0 0 0 1 0");
    size_t mod2 = text.output.find("write   modlist a2a2a2a2a2a2a2a2a2a2a2a2a2a2a2a2a2a2a2a2");
    EXPECT_NE(first, std::string::npos) << text.output;
    EXPECT_LT(first, third);
    EXPECT_LT(third, mod2);
    EXPECT_NE(mod2, std::string::npos);
}

TEST(Sandbox, APowerOffRequestIsRecordedAndTheMachineStaysUp)
{
    device dev;
    auto r = dev.run({SIM_PROBE, "sysrq"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("still up"), std::string::npos);
    EXPECT_EQ(dev.run_records("sysrq"), std::vector<std::string>{"o\n"});
    auto text = dev.run({KS_SIM_TOOL, "sysrq"}, run_options{true, false, 0});
    EXPECT_NE(text.output.find("\"o\" (power-off request)"), std::string::npos) << text.output;
}

TEST(Sandbox, BootsOfOneDeviceShareItsFilesButNotTheKernelSide)
{
    std::string image = std::string(::testing::TempDir()) + "/ks-image-boots";
    std::system(("rm -rf '" + image + "'").c_str());
    ASSERT_EQ(std::system(("mkdir -p '" + image + "/etc' '" + image + "/var/lib/tarvo' && echo x >'" +
                           image + "/etc/x' && echo v >'" + image + "/var/lib/tarvo/v'")
                              .c_str()),
              0);
    device dev(image);

    // Power-on: /var is the unmounted mount point; the image's var is the volume.
    auto r = dev.shell("cat /etc/x; ls -A /var | wc -l; echo kept >/etc/kept");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "x\n0\n");
    ASSERT_EQ(dev.run({SIM_PROBE, "integrity"}).status, 0);
    EXPECT_FALSE(dev.kernel_log().empty());

    // Next boot: the files stay, the kernel side starts empty; --mount-var
    // shows the volume.
    r = dev.shell("cat /etc/kept /var/lib/tarvo/v", run_options{false, true, 0});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "kept\nv\n");
    EXPECT_TRUE(dev.kernel_log().empty());
    std::system(("rm -rf '" + image + "'").c_str());
}

TEST(Sandbox, RunsProgramsOfThisBuildNatively)
{
    device dev;
    auto r = dev.run({SIM_PROBE, "machine"});
    ASSERT_EQ(r.status, 0) << r.output;
#if defined(__arm__)
    EXPECT_NE(r.output.find("machine=armv7l pointer=4"), std::string::npos) << r.output;
#else
    EXPECT_NE(r.output.find("pointer=" + std::to_string(sizeof(void *))), std::string::npos)
        << r.output;
#endif
}

TEST(Sandbox, TheSystemLogIsCollected)
{
    device dev;
    auto r = dev.shell("logger -t ks-test 'one line'; logger -t ks-test second");
    ASSERT_EQ(r.status, 0) << r.output;
    std::string log = dev.read_file("/.ks-sim/run/syslog");
    size_t one = log.find("ks-test: one line\n");
    EXPECT_NE(one, std::string::npos) << log;
    EXPECT_NE(log.find("ks-test: second\n", one), std::string::npos) << log;
}

TEST(Sandbox, ProgramsCanFork)
{
    // Under armhf this holds only with one build of the C library for the
    // loader and libc.so.6 (the sandbox's choice of the emulator's root).
    device dev;
    auto r = dev.run({SIM_PROBE, "fork"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "child status 3\n");
}

#if !defined(__arm__)
TEST(Sandbox, TheSimulatorOutsideTheSandboxRefusesTheSimulatedPaths)
{
    // Preloaded by mistake on the host, the simulator neither serves nor
    // passes on a simulated path (a harmless one here).
    std::string preload = std::string("LD_PRELOAD=") + KS_SIM_LIB;
    char *argv[] = {const_cast<char *>(SIM_PROBE), const_cast<char *>("cpuinfo"), nullptr};
    char asan[] = "ASAN_OPTIONS=verify_asan_link_order=0";
    char *envp[] = {preload.data(), asan, nullptr};
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, SIM_PROBE, &fa, nullptr, argv, envp), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    char buf[256] = {};
    ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
    ASSERT_GT(n, 0);
    EXPECT_STREQ(buf, "cpuinfo: Operation not permitted\n");
}
#endif
