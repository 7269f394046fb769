// Whole boots of keepstone-init on simulated devices: the decisions of the
// sequence as the kernel side, the reboot counter, the logs and
// "/sbin/preinit" see them. Each boot runs in the sandbox; this program
// only prepares the device and reads what the models recorded.
#include "sim/testing/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using ks_sim::keepstone_event;
using ks_sim::testing::device;
using ks_sim::testing::run_result;

const std::string INIT = KS_INIT_PATH;

// A recording "/sbin/preinit": its arguments, and a line on the standard
// error that it inherited.
const char PREINIT[] =
    "#!/bin/sh\n"
    "echo \"preinit $*\" >>/preinit.ran\n"
    "ls -l /proc/$$/fd >>/preinit.fds 2>&1\n"
    "echo preinit-stderr >&2\n";

enum mode { PRODUCTION, RD, RD_NOSIGCHECK };

struct boot {
    run_result run;
    std::vector<keepstone_event> kernel;
    std::string console;  // error lines
    std::string summary;  // the "done (...)" line without its prefix
    bool preinit = false;
};

void prepare(const device &d, mode m)
{
    d.write_file("/etc/tarvo/.keep", "");
    d.write_file("/var/lib/tarvo/.keep", "");
    d.write_file("/sbin/preinit", PREINIT);
    chmod(d.host_path("/sbin/preinit").c_str(), 0755);
    if (m != PRODUCTION)
        d.write_file("/.ks-sim/soc-info", "SoC Info\t: GP");
    if (m == RD_NOSIGCHECK)
        d.write_file("/etc/tarvo/nosigcheck", "");
}

boot run_boot(const device &d, const std::vector<std::string> &args = {})
{
    std::vector<std::string> argv = {INIT};
    argv.insert(argv.end(), args.begin(), args.end());
    boot b;
    b.run = d.run(argv);
    b.kernel = d.kernel_log();
    // The kernel's files are only opened: where its file system is not
    // mounted, no regular file may take their place.
    for (const keepstone_event &e : b.kernel)
        if (e.op == 'O' || e.op == 'R') {
            EXPECT_EQ(std::stoi(e.data) & O_CREAT, 0) << e.file;
        }
    for (const std::string &r : d.run_records("console"))
        b.console += r;
    std::smatch m;
    if (std::regex_search(b.console, m, std::regex("keepstone-init: (done \\([^)]*\\))\n")))
        b.summary = m[1];
    b.preinit = !d.read_file("/preinit.ran").empty();
    return b;
}

// The data written to a kernel file, one entry per accepted write.
std::vector<std::string> writes(const boot &b, const std::string &file)
{
    return ks_sim::keepstone_writes(b.kernel, file);
}

// The order in which kernel files were first written.
std::vector<std::string> write_order(const boot &b)
{
    std::vector<std::string> out;
    for (const keepstone_event &e : b.kernel)
        if (e.op == 'W' && (out.empty() || out.back() != e.file))
            out.push_back(e.file);
    return out;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(Boot, HelpPrintsUsageAndTouchesNothing)
{
    device d;
    prepare(d, PRODUCTION);
    boot b = run_boot(d, {"-s", "/x", "-h", "-i"});
    EXPECT_EQ(b.run.status, 255);
    EXPECT_TRUE(has(b.run.output, "securityfs hashfile in /x\nUsage: "));
    EXPECT_TRUE(b.kernel.empty());
    EXPECT_EQ(b.console, "");
    EXPECT_FALSE(b.preinit);
    EXPECT_TRUE(d.run_records("mounts").empty());
}

TEST(Boot, HardwareThatCannotBeOpenedEndsTheRunWithoutChecks)
{
    for (bool initrd : {false, true}) {
        device d;
        prepare(d, PRODUCTION);
        d.write_file("/etc/tarvo/reboot_counter", "3\n");
        d.arm_fault("omap_sec.open", 19);
        boot b = run_boot(d, initrd ? std::vector<std::string>{"-i"}
                                    : std::vector<std::string>{});
        EXPECT_TRUE(writes(b, "enforce").empty());
        EXPECT_TRUE(writes(b, "enabled").empty());
        EXPECT_TRUE(writes(b, "hashlist").empty());
        EXPECT_EQ(d.read_file("/etc/tarvo/reboot_counter"), "3\n");
        EXPECT_EQ(b.preinit, initrd);
        if (initrd) {
            EXPECT_EQ(b.run.status, 0);  // the status of preinit
        } else {
            EXPECT_EQ(b.run.status, 1);
            EXPECT_EQ(b.summary, "done (1,0x0,0x1c7,0x7)");
        }
    }
}

// Signature checking on and the vdata file not verified: the decision
// follows at once, nothing is written to the kernel and the malfunction
// boot is counted; in initrd mode preinit is not executed.
TEST(Boot, UnverifiedVdataWithSignatureCheckingEntersMalfunction)
{
    for (bool initrd : {false, true}) {
        device d;
        prepare(d, PRODUCTION);
        boot b = run_boot(d, initrd ? std::vector<std::string>{"-i"}
                                    : std::vector<std::string>{});
        EXPECT_EQ(b.run.status, 0);
        EXPECT_EQ(b.summary, "done (0,0x1,0x1c7,0x7)");
        EXPECT_TRUE(has(b.console, "keepstone-init: /etc/tarvo_vdata verification failed\n"));
        EXPECT_TRUE(has(b.console, "keepstone-init: Going to MALF 1\n"));
        EXPECT_TRUE(writes(b, "enforce").empty());
        EXPECT_TRUE(writes(b, "hashlist").empty());
        EXPECT_EQ(d.read_file("/etc/tarvo/reboot_counter"), "1\n");
        EXPECT_FALSE(b.preinit);
        // The 360 s picture time and the 3600 s wait were asked for.
        std::string sleeps;
        for (const std::string &r : d.run_records("sleeps"))
            sleeps += r + "\n";
        EXPECT_TRUE(has(sleeps, "3600")) << sleeps;
    }
}

// With signature checking off (R&D mode and "nosigcheck") every failure
// is only reported, the masks are written and the counter is cleared.
TEST(Boot, FailuresAreIgnoredWithSignatureCheckingOff)
{
    device d;
    prepare(d, RD_NOSIGCHECK);
    d.write_file("/etc/tarvo/reboot_counter", "2\n");
    boot b = run_boot(d);
    EXPECT_EQ(b.run.status, 0);
    EXPECT_TRUE(has(b.console, "keepstone-init: /etc/tarvo_vdata verification failed (ignored)\n"))
        << b.console;
    EXPECT_TRUE(has(b.console, "verification failed (ignored)\n"));
    EXPECT_FALSE(has(b.console, "Going to MALF"));
    EXPECT_EQ(writes(b, "enforce"), std::vector<std::string>{"7\n"});
    EXPECT_EQ(writes(b, "enabled"), std::vector<std::string>{"147\n"});
    std::vector<std::string> order = write_order(b);
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[order.size() - 2], "enforce");
    EXPECT_EQ(order.back(), "enabled");
    EXPECT_TRUE(std::regex_match(b.summary, std::regex("done \\(0,0x[0-9a-f]*[13579bdf],0x147,0x7\\)")))
        << b.summary;
    struct stat st;
    EXPECT_NE(stat(d.host_path("/etc/tarvo/reboot_counter").c_str(), &st), 0);
}

// The masks by mode: exact bytes, "enforce" before "enabled".
TEST(Boot, MaskTable)
{
    struct row {
        const char *name;
        std::vector<std::string> args;
        const char *enable_file;  // null: absent
        const char *enforce_file;
        const char *enforce, *enabled;
    } rows[] = {
        {"initrd", {"-i"}, nullptr, nullptr, "0\n", "0\n"},
        {"rd, no files", {}, nullptr, nullptr, "7\n", "147\n"},
        {"rd, enable ffffffff", {}, "ffffffff\n", nullptr, "7\n", "147\n"},
        {"rd, enable 0", {}, "0\n", "3\n", "3\n", "0\n"},
        {"rd, enable 1ff", {}, "0x1ff\n", nullptr, "7\n", "1ff\n"},
    };
    for (const row &r : rows) {
        device d;
        prepare(d, RD_NOSIGCHECK);
        if (r.enable_file)
            d.write_file("/etc/tarvo/enable", r.enable_file);
        if (r.enforce_file)
            d.write_file("/etc/tarvo/enforce", r.enforce_file);
        boot b = run_boot(d, r.args);
        EXPECT_EQ(writes(b, "enforce"), std::vector<std::string>{r.enforce}) << r.name;
        EXPECT_EQ(writes(b, "enabled"), std::vector<std::string>{r.enabled}) << r.name;
    }
}

// A refused "enforce" leaves "enabled" unwritten and sets 0x08; a value
// that the kernel refuses only at closing counts as refused as well.
TEST(Boot, RefusedEnforceSetsBitAndSkipsEnabled)
{
    for (const char *fault : {"keepstone.enforce.open", "keepstone.enforce.close"}) {
        device d;
        prepare(d, RD_NOSIGCHECK);
        d.arm_fault(fault);
        boot b = run_boot(d);
        EXPECT_TRUE(writes(b, "enabled").empty()) << fault;
        EXPECT_TRUE(has(b.console, "keepstone-init: setting kernel mode failed\n")) << fault;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(b.summary, m, std::regex("done \\(0,0x([0-9a-f]+),.*")))
            << fault << " " << b.summary;
        EXPECT_TRUE(std::stoul(m[1], nullptr, 16) & 0x08) << fault;
    }
}

// "/var" missing and not mountable: bit 0x40 and straight to the decision,
// with signature checking on (malfunction) and off (counter cleared).
TEST(Boot, VarMountFailureGoesStraightToTheDecision)
{
    for (mode m : {PRODUCTION, RD_NOSIGCHECK}) {
        device d;
        prepare(d, m);
        d.write_file("/etc/tarvo/reboot_counter", "1\n");
        d.arm_fault("ubifs.mount");
        boot b = run_boot(d);
        EXPECT_EQ(b.summary, "done (0,0x40,0x1c7,0x7)") << m;
        EXPECT_TRUE(has(b.console, "keepstone-init: failed to mount ubifs /var partition\n"));
        EXPECT_FALSE(has(b.console, "tarvo_vdata"));
        EXPECT_TRUE(writes(b, "enforce").empty());
        if (m == PRODUCTION) {
            EXPECT_TRUE(has(b.console, "Going to MALF 64\n"));
            EXPECT_EQ(d.read_file("/etc/tarvo/reboot_counter"), "2\n");
        } else {
            EXPECT_FALSE(has(b.console, "Going to MALF"));
            EXPECT_EQ(d.read_file("/etc/tarvo/reboot_counter"), "");
        }
    }
}

// The first argument "/" flushes the verification cache unless -n is given.
TEST(Boot, CacheFlushTable)
{
    struct row {
        std::vector<std::string> args;
        bool flushed;
    } rows[] = {
        {{"/"}, true},       {{"-n", "/"}, false},   {{"//"}, false},
        {{"x", "/"}, false}, {{"-s", "/"}, false},
    };
    for (const row &r : rows) {
        device d;
        prepare(d, RD_NOSIGCHECK);
        boot b = run_boot(d, r.args);
        EXPECT_EQ(writes(b, "flush"), r.flushed ? std::vector<std::string>{"1"}
                                                : std::vector<std::string>{})
            << testing::PrintToString(r.args);
    }
}

// In initrd mode preinit takes over: it inherits the redirected standard
// error but not the log file, and the log file holds every trace up to the
// exec.
TEST(Boot, PreinitInheritsStderrAndFindsTheLogComplete)
{
    device d;
    prepare(d, RD_NOSIGCHECK);
    d.write_file("/etc/tarvo/logging", "1\n");
    boot b = run_boot(d, {"-i", "extra"});
    ASSERT_TRUE(b.preinit);
    EXPECT_EQ(d.read_file("/preinit.ran"), "preinit \n");
    // (Under an emulator the shell may add a loader warning before it.)
    std::string stderr_file = d.read_file("/etc/tarvo/keepstone-init.stderr");
    EXPECT_TRUE(std::regex_search(stderr_file, std::regex("(^|\n)preinit-stderr\n$"))) << stderr_file;
    EXPECT_FALSE(has(d.read_file("/preinit.fds"), "keepstone-init.log"));
    std::string log = d.read_file("/etc/tarvo/keepstone-init.log");
    EXPECT_TRUE(std::regex_search(log, std::regex("^\\[0\\.\\d{6}\\] keepstone-init start\\.\n")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\] exec /sbin/preinit\n$"))) << log;
    EXPECT_EQ(b.summary, "");  // no summary line before the exec
}

// Log routing: mode 1 traces to the log file and errors to the console and
// the log file; mode 2 traces to the console; other modes trace nowhere.
TEST(Boot, LogRoutingTable)
{
    for (int log_mode : {0, 1, 2, 3}) {
        device d;
        prepare(d, RD_NOSIGCHECK);
        if (log_mode)
            d.write_file("/etc/tarvo/logging", std::to_string(log_mode) + "\n");
        boot b = run_boot(d);
        std::string log = d.read_file("/etc/tarvo/keepstone-init.log");
        std::regex stamped_trace("\\[\\d+\\.\\d{6}\\] setup kernel\\.\\.\\.\n");
        EXPECT_EQ(std::regex_search(log, stamped_trace), log_mode == 1) << log_mode;
        EXPECT_EQ(std::regex_search(b.console, stamped_trace), log_mode == 2) << log_mode;
        EXPECT_TRUE(has(b.console, "keepstone-init: done (")) << log_mode;
        EXPECT_EQ(has(log, "keepstone-init: done ("), log_mode == 1) << log_mode;
        // Error lines never carry a stamp.
        EXPECT_FALSE(std::regex_search(b.console, std::regex("\\] keepstone-init: ")));
        if (log_mode == 2) {  // traces before the console opened are dropped
            EXPECT_FALSE(has(b.console, "keepstone-init start.")) << b.console;
        }
    }
}

// With signature checking off every failure is collected: the summary
// shows the bits, and only the failure of "enforce" stops a later write.
// (While the crypto services and the software certificate are absent the
// vdata file, the policy signature and a missing reference hash list
// always fail: 0x07; "/etc/init.conf" is missing: 0x20.)
TEST(Boot, BitsWithSignatureCheckingOff)
{
    struct row {
        const char *name;
        std::vector<std::string> args;
        const char *fault;   // null: none
        const char *switch_file;
        const char *summary;
        bool hashlist_written, enabled_written, preinit;
    } rows[] = {
        {"plain", {}, nullptr, nullptr, "done (0,0x27,0x147,0x7)", true, true, false},
        {"first load fails", {}, "keepstone.hashlist.open", nullptr, "done (0,0x37,0x147,0x7)",
         false, true, false},
        {"enforce refused", {}, "keepstone.enforce.open", nullptr, "done (0,0x2f,0x147,0x7)",
         true, false, false},
        {"no configuration protection", {}, nullptr, "/etc/tarvo/noconfdatacheck",
         "done (0,0x7,0x147,0x7)", false, true, false},  // the tree is empty
        {"initrd skips the first load", {"-i"}, "keepstone.hashlist.open", nullptr, "", false,
         true, true},
    };
    for (const row &r : rows) {
        device d;
        prepare(d, RD_NOSIGCHECK);
        if (r.fault)
            d.arm_fault(r.fault);
        if (r.switch_file)
            d.write_file(r.switch_file, "");
        boot b = run_boot(d, r.args);
        EXPECT_EQ(b.summary, r.summary) << r.name << "\n" << b.console;
        EXPECT_EQ(!writes(b, "hashlist").empty(), r.hashlist_written) << r.name;
        EXPECT_EQ(!writes(b, "enabled").empty(), r.enabled_written) << r.name;
        EXPECT_EQ(b.preinit, r.preinit) << r.name;
        EXPECT_FALSE(has(b.console, "Going to MALF")) << r.name;
    }
}

// "/etc/tarvo/new_location" selects the reference hash list under /var.
TEST(Boot, NewLocationSelectsTheListUnderVar)
{
    for (bool new_location : {false, true}) {
        device d;
        prepare(d, RD_NOSIGCHECK);
        d.write_file("/etc/tarvo/logging", "2\n");
        if (new_location)
            d.write_file("/etc/tarvo/new_location", "");
        boot b = run_boot(d);
        EXPECT_TRUE(has(b.console, new_location ? "] Cannot open /var/lib/tarvo/refhashlist\n"
                                                : "] Cannot open /etc/refhashlist\n"))
            << b.console;
    }
}

// In initrd mode the first writing is skipped, and the sequence goes on
// with "load_all done." all the same.
TEST(Boot, InitrdSkipsTheFirstWriting)
{
    device d;
    prepare(d, RD_NOSIGCHECK);
    d.write_file("/etc/tarvo/logging", "2\n");
    boot b = run_boot(d, {"-i"});
    EXPECT_TRUE(std::regex_search(
        b.console, std::regex("\\] skipping hash loading\\.\n\\[[0-9.]+\\] load_all done\\.\n")))
        << b.console;
    EXPECT_FALSE(has(b.console, "load_all start."));
    EXPECT_TRUE(std::regex_search(b.console, std::regex("\\] exec /sbin/preinit\n$")));
    EXPECT_TRUE(b.preinit);
}

}  // namespace
