// Whole boots of the signed sample device whose image holds files of the
// kernel's names where the kernel's file systems are not mounted: plain
// files, links to plain files and directories at the securityfs files
// (sysfs mounted, securityfs not), the same with neither mounted, and a
// plain file over "/proc/cpuinfo" that claims an R&D chip. The boot mounts
// the kernel's file systems over them and never takes such a file for a
// kernel file: no mask, module hash or hash record is written to it, the
// failed first writing of the hash entries ends in the malfunction state,
// and the "SoC Info" line comes from the procfs alone.
#include "init/signed_sample_test_support.h"
#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

using ks_sim::keepstone_event;
using ks_sim::testing::device;

const std::string INIT = KS_INIT_PATH;
const std::string KS_DIR = "/sys/kernel/security/keepstone";
const char *const KERNEL_FILES[] = {"hashlist", "modlist", "flush", "enforce", "enabled", "devorig"};

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

struct boot {
    int status = -1;
    std::string output, console, trace, summary;
    std::vector<keepstone_event> kernel;
    std::vector<std::string> mounts;
};

enum kind { PLAIN, LINK, DIRECTORY };

const char *kind_name(kind k)
{
    return k == PLAIN ? "plain file" : k == LINK ? "link to a plain file" : "directory";
}

// Shell commands that put a file of the kind at each of the kernel
// module's paths (made under another name first: the simulator serves
// opens of the kernel's paths themselves). A link leads to an empty file
// under "/etc/fake".
std::string kernel_files_of_kind(kind k)
{
    std::string s = "mkdir -p " + KS_DIR + " /etc/fake";
    for (const char *f : KERNEL_FILES) {
        std::string path = KS_DIR + "/" + f;
        if (k == PLAIN)
            s += " && : >" + path + ".new && mv " + path + ".new " + path;
        else if (k == LINK)
            s += std::string(" && : >/etc/fake/") + f + " && ln -s /etc/fake/" + f + " " + path;
        else
            s += " && mkdir " + path;
    }
    return s;
}

class KernelFileSystems : public signed_sample::Fixture {
protected:
    // Boots the device after the shell command.
    boot run_boot(const std::string &before) const
    {
        boot b;
        auto r = d->shell(before + " && exec " KS_BOOT_PREFIX " " + INIT);
        b.status = r.status;
        b.output = r.output;
        b.kernel = d->kernel_log();
        b.mounts = d->run_records("mounts");
        for (const std::string &c : d->run_records("console"))
            b.console += c;
        b.trace = d->read_file("/etc/tarvo/keepstone-init.log");
        std::smatch m;
        if (std::regex_search(b.console, m, std::regex("keepstone-init: (done \\([^)]*\\))\n")))
            b.summary = m[1];
        return b;
    }

    bool mounted(const boot &b, const std::string &record) const
    {
        return std::any_of(b.mounts.begin(), b.mounts.end(), [&](const std::string &m) {
            return m.rfind(record, 0) == 0;
        });
    }
};


// (plain file, link, directory) x (securityfs not mounted, neither sysfs
// nor securityfs mounted).
TEST_F(KernelFileSystems, KernelFilesOfTheImageTakeNothing)
{
    struct where {
        const char *name;
        const char *uncover;  // takes the sandbox's stand-in away
        std::vector<std::string> mounts;  // what the boot must mount
    } places[] = {
        {"securityfs", "mount -t tmpfs tmpfs /sys/kernel/security",
         {"mount securityfs /sys/kernel/security securityfs 0xc0e "}},
        {"sysfs", "umount -l /sys",
         {"mount none /sys sysfs 0xc0e ", "mount securityfs /sys/kernel/security securityfs 0xc0e "}},
    };
    for (const where &w : places) {
        for (kind k : {PLAIN, LINK, DIRECTORY}) {
            SCOPED_TRACE(std::string(w.name) + ", " + kind_name(k));
            SetUp();
            boot b = run_boot(std::string(w.uncover) + " && " + kernel_files_of_kind(k));
            EXPECT_EQ(b.status, 0) << b.output;
            for (const std::string &m : w.mounts)
                EXPECT_TRUE(mounted(b, m)) << m;
            // Nothing reached a file of the image as if it were the kernel's.
            for (const char *f : KERNEL_FILES)
                EXPECT_TRUE(ks_sim::keepstone_writes(b.kernel, f).empty()) << f;
            if (k == LINK) {
                for (const char *f : KERNEL_FILES)
                    EXPECT_EQ(d->read_file(std::string("/etc/fake/") + f), "") << f;
            }
            // The hash entries cannot be written: the malfunction state,
            // with nothing written after the failed first writing.
            EXPECT_TRUE(has(b.console, "Securityfs hashlist " + KS_DIR + "/hashlist not found\n"))
                << b.console;
            EXPECT_EQ(b.summary, "done (0,0x10,0x1c7,0x7)") << b.console;
            EXPECT_EQ(d->read_file("/etc/tarvo/reboot_counter"), "1\n");
        }
    }
}

// A plain file bound over "/proc/cpuinfo" that claims an R&D chip, with
// "nosigcheck" in the image: the boot mounts the procfs over it, reads the
// production chip there, and keeps signature checking on.
TEST_F(KernelFileSystems, SocInfoComesFromTheProcfsAlone)
{
    d->write_file("/.ks-sim/soc-info", "SoC Info\t: OMAP3430 ES3.1 hs");
    d->write_file("/etc/tarvo/nosigcheck", "");
    d->write_file("/etc/fake-cpuinfo", "processor\t: 0\nSoC Info\t: OMAP3430 ES3.1 GP\n");
    boot b = run_boot("mount --bind /etc/fake-cpuinfo /proc/cpuinfo");
    EXPECT_EQ(b.status, 0) << b.output;
    EXPECT_TRUE(mounted(b, "mount proc /proc proc 0xc0e ")) << b.output;
    EXPECT_TRUE(has(b.trace, "R&D mode is disabled\n")) << b.trace;
    EXPECT_TRUE(has(b.trace, "Signature verification is on\n")) << b.trace;
    EXPECT_FALSE(has(b.trace, "Signature verification is off\n")) << b.trace;
}

}  // namespace
