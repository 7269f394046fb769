// Whole boots of the signed sample device with signature checking on: the
// production path, which passes every data-file check, so that what comes
// after the checks (the first writing of the hash entries, the developer
// origin, the masks) is reached. The sample device is prepared once as a
// factory would (certificate blocks, vdata file, software certificate,
// signatures under "tcb") and every test boots a fresh copy of it.
#include "init/device_files_test_support.h"
#include "init/signed_sample_test_support.h"
#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using ks_sim::keepstone_event;
using ks_sim::testing::device;

const std::string INIT = KS_INIT_PATH;
using signed_sample::DEVICE_KEY_HEX;
const std::string KS_DIR = "/sys/kernel/security/keepstone/";

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

struct boot {
    int status = -1;
    std::string output, console, trace, summary;
    std::vector<keepstone_event> kernel;

    std::vector<std::string> writes(const std::string &file) const
    {
        return ks_sim::keepstone_writes(kernel, file);
    }
    // Where the first write to a kernel file stands among all writes, or -1.
    long first_write(const std::string &file) const
    {
        long n = 0;
        for (const keepstone_event &e : kernel) {
            if (e.op != 'W')
                continue;
            if (e.file == file)
                return n;
            n++;
        }
        return -1;
    }
};

class SignedDevice : public signed_sample::Fixture {
protected:
    // Boots the device; a shell command runs first when given.
    boot run_boot(const std::string &before = "") const
    {
        boot b;
        auto r = before.empty() ? d->run({INIT})
                                : d->shell(before + " && exec " KS_BOOT_PREFIX " " + INIT);
        b.status = r.status;
        b.output = r.output;
        b.kernel = d->kernel_log();
        for (const std::string &c : d->run_records("console"))
            b.console += c;
        b.trace = d->read_file("/etc/tarvo/keepstone-init.log");
        std::smatch m;
        if (std::regex_search(b.console, m, std::regex("keepstone-init: (done \\([^)]*\\))\n")))
            b.summary = m[1];
        return b;
    }
};


// The copy boots as the demo does: every check passes.
TEST_F(SignedDevice, BootsWithoutMalfunction)
{
    boot b = run_boot();
    EXPECT_EQ(b.status, 0) << b.output;
    EXPECT_TRUE(has(b.trace, "Signature verification is on\n")) << b.trace;
    EXPECT_EQ(b.summary, "done (0,0x0,0x147,0x7)") << b.console;
    EXPECT_EQ(b.writes("enforce"), std::vector<std::string>{"7\n"});
}

// A kernel that refuses the hash records fails the first writing as one
// that cannot be opened does; the count line stays.
TEST_F(SignedDevice, RefusedHashRecordsFailTheFirstWriting)
{
    d->arm_fault("keepstone.hashlist.write_fail", 1);
    boot b = run_boot();
    EXPECT_EQ(b.status, 0) << b.output;
    EXPECT_EQ(b.summary, "done (0,0x10,0x1c7,0x7)") << b.console;
    EXPECT_TRUE(has(b.trace, "hash loading failed (-3)\n")) << b.trace;
    EXPECT_TRUE(has(b.console, "hash write errors\n")) << b.console;
    EXPECT_TRUE(b.writes("enforce").empty());
    EXPECT_EQ(d->read_file("/etc/tarvo/reboot_counter"), "1\n");
}

// A refused first writing of the hash entries is an immediate decision:
// no journal, no "/etc/init.conf" check, no masks, and the boot counts.
TEST_F(SignedDevice, RefusedFirstHashWritingDecidesAtOnce)
{
    // A changed "/etc/init.conf" shows whether the check ran.
    d->write_file("/etc/init.conf", "changed after the list was made\n");
    d->arm_fault("keepstone.hashlist.open", 13);
    boot b = run_boot();
    EXPECT_EQ(b.status, 0) << b.output;
    EXPECT_EQ(b.summary, "done (0,0x10,0x1c7,0x7)") << b.console;
    EXPECT_TRUE(has(b.trace, "hash loading failed (-2)\n")) << b.trace;
    EXPECT_TRUE(has(b.console, "keepstone-init: Going to MALF 16\n")) << b.console;
    EXPECT_FALSE(has(b.trace, "journal")) << b.trace;
    struct stat st;
    EXPECT_NE(stat(d->host_path("/.ks-sim/ubi/mtd4/var/lib/tarvo/dpkg-journal").c_str(), &st), 0);
    EXPECT_FALSE(has(b.console, "configuration files are broken")) << b.console;
    EXPECT_TRUE(b.writes("enforce").empty());
    EXPECT_TRUE(b.writes("enabled").empty());
    EXPECT_EQ(d->read_file("/etc/tarvo/reboot_counter"), "1\n");

    // The same change without the fault: the check runs and fails.
    d->disarm_fault("keepstone.hashlist.open");
    b = run_boot();
    EXPECT_EQ(b.summary, "done (0,0x20,0x147,0x7)") << b.console;
    EXPECT_EQ(d->read_file("/etc/tarvo/reboot_counter"), "2\n");
}

// Developer settings with an origin: its token id goes to "devorig" as a
// decimal number without a newline, before the masks; a kernel without
// "devorig" is told nothing and the boot says so.
TEST_F(SignedDevice, DeveloperOriginReachesTheKernelBeforeTheMasks)
{
    d->write_file("/etc/tarvo/developer-mode.bin",
                  developer_file(DEVICE_KEY_HEX, 1, "org.example.dev"));
    boot b = run_boot();
    EXPECT_EQ(b.summary, "done (0,0x0,0x1e7,0x7)") << b.console << b.trace;
    EXPECT_TRUE(has(b.trace, "- Developer origin: org.example.dev\n")) << b.trace;
    std::vector<std::string> devorig = b.writes("devorig");
    ASSERT_EQ(devorig.size(), 1u);
    EXPECT_TRUE(std::regex_match(devorig[0], std::regex("[1-9][0-9]*"))) << devorig[0];
    EXPECT_GE(b.first_write("devorig"), 0);
    EXPECT_LT(b.first_write("devorig"), b.first_write("enforce"));
    EXPECT_EQ(b.writes("enabled"), std::vector<std::string>{"1e7\n"});

    b = run_boot("rm " + KS_DIR + "devorig");
    EXPECT_EQ(b.summary, "done (0,0x0,0x1e7,0x7)") << b.console << b.output;
    EXPECT_TRUE(has(b.trace, "No developer origin support in kernel\n")) << b.trace;
    EXPECT_TRUE(b.writes("devorig").empty());
    EXPECT_EQ(b.writes("enforce"), std::vector<std::string>{"7\n"});
}

}  // namespace
