// A whole boot of keepstone-init in R&D mode with signature checking off
// on a device with a reference hash list: the list reaches the integrity
// module as records in key order, with the built-in protection entries,
// and only the admitted kernel modules have their hashes written.
#include "init/digest.h"
#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

using ks_sim::testing::device;

const std::string INIT = KS_INIT_PATH;

std::string counted(char tag, const std::string &data)
{
    return std::string(1, tag) + " " + std::to_string(data.size()) + " " + data + "\n";
}

std::string sha1_hex(const std::string &content)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, content.data(), uint32_t(content.size()));
    uint8_t d[20];
    sha1_final(d, &ctx);
    char t[41];
    print_hash_hex(d, t);
    return t;
}

std::string raw_hex(const std::string &bytes)
{
    char t[41];
    print_hash_hex(reinterpret_cast<const uint8_t *>(bytes.data()), t);
    return t;
}

struct file_spec {
    std::string path;     // device path
    std::string package;  // empty: none
    int type;
    bool module_admitted;
};

TEST(RefHashListBoot, ListReachesTheIntegrityModule)
{
    device d;
    d.write_file("/etc/tarvo/.keep", "");
    d.write_file("/var/lib/tarvo/.keep", "");
    d.write_file("/sbin/preinit", "#!/bin/sh\n");
    d.write_file("/.ks-sim/soc-info", "SoC Info\t: GP");  // R&D mode
    d.write_file("/etc/tarvo/nosigcheck", "");

    const std::vector<file_spec> files = {
        {"/opt/bin/tool", "", 0, false},
        {"/opt/lib/libx.so", "libx", 3, false},
        {"/opt/mods/base.ko", "kernel-modules", 0, true},
        {"/opt/mods/debug.ko", "kernel-modules-debug", 0, true},   // R&D table
        {"/opt/mods/other.ko", "some-package", 0, false},
        {"/opt/share/conf", "", 1, false},
    };
    std::string list = "Tarvo3.0\n" + counted('S', "org.example.vendor");
    for (size_t i = 0; i < files.size(); i++) {
        const auto &f = files[i];
        std::string content = "content of " + f.path;
        d.write_file(f.path, content);
        list += "X " + std::to_string(f.type) + " A " + std::to_string(i) + " 0 0 ";
        list += "H 40 " + sha1_hex(content) + "\n";
        if (!f.package.empty())
            list += counted('P', f.package);
        list += counted('W', "UID::0,GID::0");
        list += counted('R', f.path.substr(1));
    }
    list += counted('R', "opt/missing");
    d.write_file("/etc/refhashlist", list);

    auto run = d.run({INIT});
    auto events = d.kernel_log();

    std::vector<std::string> modules;
    for (const std::string &m : ks_sim::keepstone_writes(events, "modlist"))
        modules.push_back(raw_hex(m));
    std::vector<std::string> records = ks_sim::keepstone_writes(events, "hashlist");
    std::vector<std::string> want_modules;
    for (auto &f : files)
        if (f.module_admitted)
            want_modules.push_back(sha1_hex("content of " + f.path));
    EXPECT_EQ(modules, want_modules) << run.output;

    // Records in ascending (device, inode) order, each key once.
    std::vector<std::pair<int32_t, int32_t>> keys;
    std::map<std::pair<int32_t, int32_t>, std::string> by_key;
    for (auto &r : records) {
        size_t text = (r[0] == 's' || r[0] == 't') ? 21 : 1;
        int dev = 0, ino = 0;
        ASSERT_EQ(std::sscanf(r.c_str() + text, " %d %d", &dev, &ino), 2) << r;
        keys.push_back({dev, ino});
        by_key[{dev, ino}] = r;
    }
    EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
    EXPECT_EQ(by_key.size(), keys.size());

    // Every listed file, with its type, hash, attributes and credentials.
    const char letters[] = "sxdtp";
    for (size_t i = 0; i < files.size(); i++) {
        struct stat st;
        ASSERT_EQ(stat(d.host_path(files[i].path).c_str(), &st), 0);
        auto key = std::make_pair(int32_t(uint32_t(st.st_dev)), int32_t(uint32_t(st.st_ino)));
        ASSERT_EQ(by_key.count(key), 1u) << files[i].path;
        const std::string &r = by_key[key];
        EXPECT_EQ(r[0], letters[files[i].type]) << files[i].path;
        size_t text = 1;
        if (r[0] == 's' || r[0] == 't') {
            EXPECT_EQ(raw_hex(r.substr(1, 20)), sha1_hex("content of " + files[i].path));
            text = 21;
        }
        std::string numbers = r.substr(text, r.size() - text - 2);
        std::string tail = " " + std::to_string(i) + " 0 0 ";
        EXPECT_NE(numbers.find(tail), std::string::npos) << numbers;
        EXPECT_EQ(numbers.substr(numbers.size() - 10), " 2 1 0 2 0") << numbers;
        // The first file carries the source id, the others 0.
        long source_id = std::stol(numbers.substr(numbers.find(tail) + tail.size()));
        if (i == 0)
            EXPECT_GT(source_id, 0) << numbers;
        else
            EXPECT_EQ(source_id, 0) << numbers;
    }

    // The protection entry of "/etc" is there, as a p record.
    struct stat st;
    ASSERT_EQ(stat(d.host_path("/etc").c_str(), &st), 0);
    auto etc = std::make_pair(int32_t(uint32_t(st.st_dev)), int32_t(uint32_t(st.st_ino)));
    ASSERT_EQ(by_key.count(etc), 1u);
    EXPECT_EQ(by_key[etc][0], 'p');
}

}  // namespace
