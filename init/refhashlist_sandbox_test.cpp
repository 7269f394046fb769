// The reference hash list on the simulated device: which kernel modules
// have their hashes written to the module list, the source ids from the
// token module, and the records that reach the integrity module.
#include "init/refhashlist.h"

#include "init/hash_entry.h"
#include "init/log.h"
#include "sim/model.h"
#include "sim/models/keepstone.h"
#include "sim/models/restok_tokens.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char H1[] = "00112233445566778899aabbccddeeff0a0b0c0d";

std::string counted(char tag, const std::string &data)
{
    return std::string(1, tag) + " " + std::to_string(data.size()) + " " + data + "\n";
}

std::string hex_of(const std::string &bytes)
{
    char t[41];
    print_hash_hex(reinterpret_cast<const uint8_t *>(bytes.data()), t);
    return t;
}

class RefHashListDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        release_all_entries();
        log_to_stderr(0);
        mkdir("/tmp/mods", 0755);
        for (const char *f : {"a.ko", "b.ko", "c.ko", "plain", "x.kox"})
            std::ofstream(std::string("/tmp/mods/") + f) << f;
        std::ofstream("/.ko") << "three bytes";
    }
    void TearDown() override { release_all_entries(); }
    // Hex digests written to the module list by one parse.
    std::vector<std::string> module_hashes(const std::string &list, int rd, int dev)
    {
        size_t before = modlist().size();
        std::vector<char> buf(list.begin(), list.end());
        buf.push_back('\0');
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse_hashlist(buf.data(), list.size(), rd, dev), 0) << list;
        std::string trace = testing::internal::GetCapturedStderr();
        EXPECT_EQ(trace, "") << list;
        auto all = modlist();
        return std::vector<std::string>(all.begin() + long(before), all.end());
    }
    std::vector<std::string> modlist()
    {
        std::vector<ks_sim::keepstone_event> events;
        EXPECT_EQ(ks_sim::read_keepstone_log(events), 0);
        std::vector<std::string> out;
        for (const std::string &m : ks_sim::keepstone_writes(events, "modlist"))
            out.push_back(hex_of(m));
        return out;
    }
};

TEST_F(RefHashListDevice, ModuleSelection)
{
    const std::string h = std::string("H 40 ") + H1 + "\n";
    const std::string a = counted('R', "tmp/mods/a.ko");
    const std::string plat = counted('S', platform_source_id);
    const std::vector<std::string> one = {H1}, none = {};
    struct {
        const char *name;
        std::string list;
        int rd, dev;
        std::vector<std::string> written;
    } cases[] = {
        {"v2 any package", "Tarvo2.0\n" + h + a, 0, 0, one},
        {"v2 with a package", "Tarvo2.0\n" + h + counted('P', "whatever") + a, 0, 0, one},
        {"v2 not a module", "Tarvo2.0\n" + h + counted('R', "tmp/mods/plain") +
                                counted('R', "tmp/mods/x.kox"), 1, 1, none},
        {"v2 missing module", "Tarvo2.0\n" + h + counted('R', "tmp/mods/none.ko"), 1, 1, none},
        {"v2 path of only .ko", "Tarvo2.0\n" + h + counted('R', ".ko"), 0, 0, one},
        {"v3 no package", "Tarvo3.0\n" + h + a, 1, 1, none},
        {"v3 kernel-modules", "Tarvo3.0\n" + h + counted('P', "kernel-modules") + a, 0, 0, one},
        {"v3 relative path .ko", "Tarvo3.0\n" + h + counted('P', "kernel-modules") +
                                     counted('R', ".ko"), 1, 1, none},
        {"v3 missing module", "Tarvo3.0\n" + h + counted('P', "kernel-modules") +
                                  counted('R', "tmp/mods/none.ko"), 1, 1, none},
        // The package belongs to the next R record alone.
        {"v3 package ends with its record", "Tarvo3.0\n" + h + counted('P', "kernel-modules") +
                                                a + counted('R', "tmp/mods/b.ko"),
         0, 0, one},
        {"v3 profiling, trusted developer", "Tarvo3.0\n" + h + plat +
                                                counted('P', "kernel-modules-profiling") + a,
         0, 1, one},
        {"v3 profiling, trusted only", "Tarvo3.0\n" + h + plat +
                                           counted('P', "kernel-modules-profiling") + a,
         0, 0, none},
        {"v3 profiling, developer only", "Tarvo3.0\n" + h + counted('S', "org.other") +
                                             counted('P', "kernel-modules-profiling") + a,
         0, 1, none},
        {"v3 profiling in R&D", "Tarvo3.0\n" + h + counted('P', "kernel-modules-profiling") + a,
         1, 0, one},
        {"v3 R&D package without R&D", "Tarvo3.0\n" + h + counted('P', "kernel-debug") + a, 0,
         1, none},
        {"v3 package not in the table", "Tarvo3.0\n" + h + counted('P', "kernel-modules-x") + a,
         1, 1, none},
        // The trusted flag survives an S record with another name and ends
        // with the next R record; the package ends there too.
        {"v3 trusted flag lifetime", "Tarvo3.0\n" + h + plat + counted('S', "org.other") +
                                         counted('P', "kernel-modules-profiling") + a +
                                         counted('P', "kernel-modules-profiling") +
                                         counted('R', "tmp/mods/b.ko") + counted('R', "tmp/mods/c.ko"),
         0, 1, one},
    };
    for (auto &c : cases) {
        release_all_entries();
        EXPECT_EQ(module_hashes(c.list, c.rd, c.dev), c.written) << c.name;
    }
}

TEST_F(RefHashListDevice, EveryRdPackageIsAdmitted)
{
    const char *table[] = {
        "kernel-modules-debug", "kernel-modules-test", "kernel-modules-extra",
        "kernel-modules-profiling", "kernel-d-modules", "kernel-debug", "test-modules",
        "systemtap-examples-buggy-scripts-modules", "systemtap-examples-general-scripts-modules",
        "systemtap-examples-interrupt-scripts-modules", "systemtap-examples-io-scripts-modules",
        "systemtap-examples-memory-scripts-modules", "systemtap-examples-network-scripts-modules",
        "systemtap-examples-process-scripts-modules",
        "systemtap-examples-profiling-scripts-modules", "systemtap-warstories-scripts-modules",
        "hotspot-modules", "kernel-module-ncm", "kernel-ltt-modules", "kernel-ltt-d-modules",
        "kernel-ltt-modules-debug", "kernel-ltt-modules-profiling", "kernel-ltt-modules-extra",
    };
    std::string list = std::string("Tarvo3.0\nH 40 ") + H1 + "\n";
    for (const char *p : table)
        list += counted('P', p) + counted('R', "tmp/mods/a.ko");
    EXPECT_EQ(module_hashes(list, 1, 0).size(), 23u);
    EXPECT_EQ(module_hashes(list, 0, 1).size(), 0u);
}

TEST_F(RefHashListDevice, ModuleListThatCannotBeOpened)
{
    ks_sim::write_state("faults", "keepstone.modlist.open=13\n");
    std::string list = "Tarvo2.0\n" + counted('R', "tmp/mods/a.ko") + counted('R', "tmp/mods/b.ko");
    std::vector<char> buf(list.begin(), list.end());
    buf.push_back('\0');
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_hashlist(buf.data(), list.size(), 0, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "module write failed\nmodule write failed\n");
    ks_sim::write_state("faults", "");
    // The entries are made all the same.
    std::ofstream("/tmp/out").close();
    ASSERT_EQ(load_all("/tmp/out"), 0);
    struct stat st;
    ASSERT_EQ(stat("/tmp/out", &st), 0);
    EXPECT_GT(st.st_size, 0);
}

// A module hash the kernel did not take whole is a failed write, told as
// one; the module list is only ever opened, never created.
TEST_F(RefHashListDevice, ModuleHashTheKernelDidNotTakeIsAFailure)
{
    const uint8_t hash[SHA1_DIGEST_LENGTH] = {1, 2, 3};
    const struct {
        const char *faults;
        int result;
    } cases[] = {
        {"", 0},
        {"keepstone.modlist.open=13\n", -1},
        {"keepstone.modlist.write_fail=1\n", -1},
        {"keepstone.modlist.short\n", -1},
        {"keepstone.modlist.close=5\n", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.faults);
        ASSERT_EQ(ks_sim::write_state("faults", c.faults), 0);
        ASSERT_EQ(ks_sim::write_state(ks_sim::run_path("counters"), ""), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(write_module_hash(hash), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.result ? "module write failed\n" : "");
    }
    ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
    std::vector<ks_sim::keepstone_event> events;
    ASSERT_EQ(ks_sim::read_keepstone_log(events), 0);
    for (const ks_sim::keepstone_event &e : events)
        if (e.op == 'O' || e.op == 'R') {
            EXPECT_EQ(std::stoi(e.data) & O_CREAT, 0) << e.file;
        }
}

TEST_F(RefHashListDevice, SourceIdsComeFromTheTokenModule)
{
    std::string list = "Tarvo3.0\n" + counted('S', "org.one") + counted('R', "tmp/mods/a.ko") +
                       counted('S', "org.two") + counted('R', "tmp/mods/b.ko") +
                       counted('S', "org.one") + counted('R', "tmp/mods/c.ko");
    module_hashes(list, 0, 0);
    long src = ks_sim::restok_token_id("SRC");
    ASSERT_GT(src, 0);
    long one = -1, two = -1;
    for (auto &t : ks_sim::restok_tokens()) {
        if (t.name == "org.one" && t.owner == src)
            one = t.id;
        if (t.name == "org.two" && t.owner == src)
            two = t.id;
    }
    ASSERT_GT(one, 0);
    ASSERT_GT(two, 0);
    std::vector<long> ids;
    for (const char *f : {"a.ko", "b.ko", "c.ko"}) {
        hash_entry key{};
        ASSERT_EQ(stat_ids((std::string("/tmp/mods/") + f).c_str(), &key.inode, &key.device), 0);
        ids.push_back(find_entry(&key)->source_id);
    }
    EXPECT_EQ(ids, (std::vector<long>{one, two, one}));
}

TEST_F(RefHashListDevice, RecordsReachTheIntegrityModuleInKeyOrder)
{
    std::string list = std::string("Tarvo3.0\nX 3 H 40 ") + H1 + "\n" +
                       counted('R', "tmp/mods/c.ko") + counted('R', "tmp/mods/a.ko") +
                       counted('R', "tmp/mods/b.ko");
    module_hashes(list, 0, 0);
    ASSERT_EQ(load_all(DEFAULT_HASHLIST_PATH), 0);
    std::vector<ks_sim::keepstone_event> events;
    ASSERT_EQ(ks_sim::read_keepstone_log(events), 0);
    std::vector<std::string> recs = ks_sim::keepstone_writes(events, "hashlist");
    ASSERT_EQ(recs.size(), 3u);
    // The type applies to the first record only.
    std::vector<std::pair<int32_t, int32_t>> keys;
    int t_records = 0;
    for (auto &r : recs) {
        ASSERT_TRUE(r[0] == 't' || r[0] == 's');
        t_records += r[0] == 't';
        int dev = 0, ino = 0;
        ASSERT_EQ(std::sscanf(r.c_str() + 21, " %d %d", &dev, &ino), 2);
        keys.push_back({dev, ino});
    }
    EXPECT_EQ(t_records, 1);
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
}

// The writing's two error lines reach the console; the count of failed
// writes covers every writing of the process.
TEST_F(RefHashListDevice, LoadAllErrorLinesOnTheConsole)
{
    ASSERT_EQ(open_clog(), 0);
    auto console = [] {
        std::vector<std::string> recs;
        ks_sim::read_records(ks_sim::run_path("console"), recs);
        std::string all;
        for (auto &r : recs)
            all += r;
        return all;
    };
    std::string list = "Tarvo3.0\n" + counted('R', "tmp/mods/a.ko") + counted('R', "tmp/mods/b.ko");
    module_hashes(list, 0, 0);
    size_t start = console().size();
    EXPECT_EQ(load_all("/tmp/no-such-hashlist"), -2);
    int before = hash_write_errors();
    EXPECT_EQ(load_all("/dev/full"), -3);
    EXPECT_EQ(load_all("/dev/full"), -3);
    close_console_log();
    EXPECT_EQ(console().substr(start),
              "keepstone-init: Securityfs hashlist /tmp/no-such-hashlist not found\n"
              "keepstone-init: " + std::to_string(before + 2) + " hash write errors\n"
              "keepstone-init: " + std::to_string(before + 4) + " hash write errors\n");
}

}  // namespace
