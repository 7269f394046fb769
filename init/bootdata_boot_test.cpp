// Whole boots with developer-mode settings and a dpkg journal: the MAC of
// the settings and the journal's key blob are made here the way the
// simulated secure side makes them under "tcb" for a known device key, and
// the boot in the sandbox must take them (or refuse them when changed).
#include "init/device_files_test_support.h"
#include "init/digest.h"
#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using ks_sim::keepstone_event;
using ks_sim::testing::device;

const std::string INIT = KS_INIT_PATH;
const std::string DEVICE_KEY_HEX = "00112233445566778899aabbccddeeff";

std::string counted(char tag, const std::string &data)
{
    return std::string(1, tag) + " " + std::to_string(data.size()) + " " + data + "\n";
}

// A journal whose key blob the secure side opens under "tcb".
std::string journal_file(const std::string &records)
{
    const std::string key32(32, '\x3c');
    std::string blob = ks_sim::omap_sec_seal(unhex(DEVICE_KEY_HEX), "tcb", std::string(16, 'n'),
                                             key32 + std::string(32, '\0'));
    std::string body = le32(uint32_t(blob.size())) + blob + records;
    unsigned char mac[32];
    unsigned int n = 0;
    HMAC(EVP_sha256(), key32.data(), int(key32.size()),
         reinterpret_cast<const unsigned char *>(body.data()), body.size(), mac, &n);
    return body + std::string(reinterpret_cast<char *>(mac), 24);
}

struct boot {
    std::string output, trace;
    std::vector<keepstone_event> kernel;
};

// An R&D device without signature checking, so that the boot reaches the
// journal and the masks whatever the data files say; traces in the log.
void prepare(const device &d)
{
    d.write_file("/etc/tarvo/logging", "1\n");
    d.write_file("/var/lib/tarvo/.keep", "");
    d.write_file("/sbin/preinit", "#!/bin/sh\n");
    d.write_file("/.ks-sim/soc-info", "SoC Info\t: GP");
    d.write_file("/etc/tarvo/nosigcheck", "");
    d.write_file("/.ks-sim/omap_sec.conf", "device_key=" + DEVICE_KEY_HEX + "\n");
    d.write_file("/opt/new/tool", "installed by the wrapper");
}

boot run_boot(const device &d)
{
    boot b;
    b.output = d.run({INIT}).output;
    b.trace = d.read_file("/etc/tarvo/keepstone-init.log");
    b.kernel = d.kernel_log();
    return b;
}

std::vector<std::string> writes(const boot &b, const std::string &file)
{
    return ks_sim::keepstone_writes(b.kernel, file);
}

// Where a file of "/var" lies once the device has booted: "/var" is then
// the UBIFS volume, kept in the device's state.
std::string var_file(const std::string &path_in_var)
{
    return "/.ks-sim/ubi/mtd4/var" + path_in_var;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The hash entry of the journal's file reached the kernel.
bool tool_written(const device &d, const boot &b)
{
    struct stat st;
    if (stat(d.host_path("/opt/new/tool").c_str(), &st) != 0)
        return false;
    std::string key = " " + std::to_string(int32_t(uint32_t(st.st_dev))) + " " +
                      std::to_string(int32_t(uint32_t(st.st_ino))) + " ";
    for (const std::string &r : writes(b, "hashlist"))
        if (r.size() > 21 && r[0] == 's' && r.compare(21, key.size(), key) == 0)
            return true;
    return false;
}

TEST(BootData, DeveloperSettingsChooseTheMasks)
{
    struct {
        const char *what;
        std::string file;  // empty: no file
        bool tamper;
        std::vector<std::string> trace;
        const char *enabled;
    } cases[] = {
        {"relaxed and origin", developer_file(DEVICE_KEY_HEX, 1, "org.example.dev"), false,
         {"- Relaxed exec validation: enabled\n", "- Developer origin: org.example.dev\n"},
         "1e7\n"},
        {"relaxed 2", developer_file(DEVICE_KEY_HEX, 2, ""), false,
         {"- Relaxed exec validation: enabled\n", "- Developer origin: (not set)\n"}, "1c7\n"},
        {"header only", developer_file(DEVICE_KEY_HEX, 0, ""), false,
         {"- Relaxed exec validation: disabled\n"}, "1c7\n"},
        {"changed after its MAC", developer_file(DEVICE_KEY_HEX, 1, "org.example.dev"), true,
         {"kz4_fprot_check_mac error 3\n", "Developer mode disabled (0)\n"}, "147\n"},
        {"no file", "", false,
         {"Developer mode configuration data not found.\n", "Developer mode disabled (-2)\n"},
         "147\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        device d;
        prepare(d);
        if (!c.file.empty()) {
            std::string file = c.file;
            if (c.tamper)
                file[file.size() - 1] ^= 1;
            d.write_file("/etc/tarvo/developer-mode.bin", file);
        }
        boot b = run_boot(d);
        for (const std::string &line : c.trace)
            EXPECT_TRUE(has(b.trace, line)) << line << b.trace;
        EXPECT_EQ(writes(b, "enforce"), std::vector<std::string>{"7\n"});
        EXPECT_EQ(writes(b, "enabled"), std::vector<std::string>{c.enabled});
    }
}

TEST(BootData, JournalHashLinesReachTheKernel)
{
    const std::string records = "install tool\nhash: " + counted('R', "opt/new/tool");
    {
        device d;
        prepare(d);
        d.write_file("/var/lib/tarvo/dpkg-journal", journal_file(records));
        boot b = run_boot(d);
        EXPECT_TRUE(has(b.trace, "Parse dpkg wrapper journal file " +
                                     std::to_string(records.size()) + " bytes\n"))
            << b.trace;
        EXPECT_TRUE(has(b.trace, "Journal processed\n"));
        EXPECT_TRUE(has(b.trace, "Recovery journal hashes loaded.\n"));
        EXPECT_TRUE(tool_written(d, b));
        // The journal is read, never changed, by the boot.
        EXPECT_EQ(d.read_file(var_file("/lib/tarvo/dpkg-journal")), journal_file(records));
    }
    {
        // One changed byte: no record is trusted and the journal is moved
        // aside; the boot goes on without it.
        device d;
        prepare(d);
        std::string file = journal_file(records);
        file[file.size() - 30] ^= 0x20;
        d.write_file("/var/lib/tarvo/dpkg-journal", file);
        boot b = run_boot(d);
        EXPECT_TRUE(has(b.trace, "No journal file\n")) << b.trace;
        EXPECT_FALSE(tool_written(d, b));
        EXPECT_EQ(d.read_file(var_file("/lib/tarvo/dpkg-journal.bad")), file);
        EXPECT_TRUE(has(d.read_file("/etc/tarvo/keepstone-init.stderr"),
                        "Journal HMAC authentication failed\n"));
    }
    {
        // No journal: an empty one is left for the wrapper.
        device d;
        prepare(d);
        boot b = run_boot(d);
        EXPECT_TRUE(has(b.trace, "No journal file\n")) << b.trace;
        struct stat st;
        ASSERT_EQ(stat(d.host_path(var_file("/lib/tarvo/dpkg-journal")).c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
}

}  // namespace
