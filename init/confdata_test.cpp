// Configuration-data protection on the simulated device: the built-in
// entries of the paths that exist and the check of "/etc/init.conf".
// Runs in the sandbox: the paths are the device's own.
#include "init/confdata.h"

#include "creds/creds.h"
#include "init/hash_entry.h"
#include "init/log.h"
#include "init/refhashlist.h"
#include "init/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

const char *const ALL_PATHS[] = {
    "/etc/init", "/etc/init/xsession", "/etc/init/xsession/ui-startup", "/etc/init.d",
    "/etc/prestart", "/etc", "/usr", "/bin", "/sbin", "/usr/bin", "/usr/sbin",
    "/etc/memnotify",
};

class ConfData : public ::testing::Test {
protected:
    void SetUp() override
    {
        release_all_entries();
        log_to_stderr(0);
        out = "/tmp/confdata-hashlist";
        std::ofstream(out, std::ios::trunc).close();
    }
    void TearDown() override
    {
        release_all_entries();
        unlink(out.c_str());
    }
    // The written records, each as its letter and text.
    std::vector<std::string> records()
    {
        std::vector<std::string> recs;
        for (const std::string &rec : loaded_records(out))
            recs.push_back(rec[0] + record_text(rec));
        return recs;
    }
    std::string out;
};

TEST_F(ConfData, BuiltInEntriesForThePathsThatExist)
{
    // The image has every path but "/etc/memnotify"; "/usr", "/bin" and
    // "/sbin" are the host's, where "/bin" may be "/usr/bin" under another
    // name (one entry for one file).
    struct stat st;
    ASSERT_NE(stat("/etc/memnotify", &st), 0);
    long value = -1;
    int type = creds_from_text("tcb", &value);
    std::string pairs = type == -1 ? " 0" : " 1 " + std::to_string(type) + " " +
                                                std::to_string(value);
    std::set<std::pair<int32_t, int32_t>> keys;
    std::vector<std::string> want;
    for (size_t i = 0; i < sizeof ALL_PATHS / sizeof *ALL_PATHS; i++) {
        if (stat(ALL_PATHS[i], &st) != 0)
            continue;
        auto key = std::make_pair(int32_t(uint32_t(st.st_dev)), int32_t(uint32_t(st.st_ino)));
        if (!keys.insert(key).second)
            continue;
        want.push_back(std::string(i < 5 ? "d" : "p") + " " + std::to_string(key.first) + " " +
                       std::to_string(key.second) + " 0 0 0 0" + pairs);
    }
    EXPECT_GE(want.size(), 9u);  // at least the image's five and "/etc"

    testing::internal::CaptureStderr();
    EXPECT_EQ(add_protection_entries(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Configuration data protection immutable entries added\n"
              "Configuration data protection protected entries added\n");
    auto recs = records();
    std::multiset<std::string> got(recs.begin(), recs.end()), wanted(want.begin(), want.end());
    EXPECT_EQ(got, wanted);

    uint32_t ino, dev;
    ASSERT_EQ(stat_ids("/etc", &ino, &dev), 0);
    hash_entry key{};
    key.inode = ino;
    key.device = dev;
    const hash_entry *etc = find_entry(&key);
    ASSERT_NE(etc, nullptr);
    EXPECT_STREQ(etc->source, platform_source_id);
}

TEST_F(ConfData, ListEntriesForTheSameFilesStay)
{
    uint32_t ino, dev;
    ASSERT_EQ(stat_ids("/etc", &ino, &dev), 0);
    uint8_t h[20];
    std::memset(h, 0x11, sizeof h);
    ASSERT_EQ(new_hash_entry(dev, ino, "list", 7, 8, 9, 0, h, "/etc", 0, nullptr, nullptr, 5),
              0);
    uint32_t ino2, dev2;
    ASSERT_EQ(stat_ids("/etc/init.d", &ino2, &dev2), 0);
    uint8_t zero[20] = {};
    ASSERT_EQ(new_hash_entry(dev2, ino2, "list", 1, 1, 1, 2, zero, "/etc/init.d", 0, nullptr,
                             nullptr, 6),
              0);
    testing::internal::CaptureStderr();
    add_protection_entries();
    // A directory is not hashed: the list's entry stays after a hash error;
    // one with the zero hash stays silently.
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Configuration data protection immutable entries added\n"
              "Cannot open /etc\n"
              "Duplicate different hashes /etc - Hash error -1\n"
              "Configuration data protection protected entries added\n");
    hash_entry key{};
    key.inode = ino;
    key.device = dev;
    EXPECT_STREQ(find_entry(&key)->source, "list");
    key.inode = ino2;
    key.device = dev2;
    EXPECT_STREQ(find_entry(&key)->source, "list");
}

TEST_F(ConfData, InitConfCheck)
{
    const std::string content = "start on boot\n";
    auto good = sha1_of(content), bad = sha1_of("other\n");
    struct {
        const char *name;
        bool present;
        const std::vector<uint8_t> *reference;  // null: the tree holds none
        int rc;
        std::string trace;
    } cases[] = {
        {"missing", false, nullptr, -1, "/etc/init.conf is missing\n"},
        {"missing with reference", false, &good, -1, "/etc/init.conf is missing\n"},
        {"no reference", true, nullptr, 0, "/etc/init.conf has no reference hash\n"},
        {"matching", true, &good, 0, ""},
        {"mismatching", true, &bad, -1, "Hash mismatch /etc/init.conf\n"},
    };
    for (auto &c : cases) {
        release_all_entries();
        unlink(INIT_CONF_PATH);
        if (c.present)
            std::ofstream(INIT_CONF_PATH) << content;
        if (c.reference) {
            uint32_t ino = 1, dev = 1;
            if (c.present) {
                ASSERT_EQ(stat_ids(INIT_CONF_PATH, &ino, &dev), 0);
            }
            ASSERT_EQ(new_hash_entry(dev, ino, "list", 0, 0, 0, 0, c.reference->data(),
                                     INIT_CONF_PATH, 0, nullptr, nullptr, 0),
                      0);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_init_conf(), c.rc) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.trace) << c.name;
    }
    unlink(INIT_CONF_PATH);
}

TEST_F(ConfData, InitConfInheritsTheListsLastHash)
{
    // A list record for "/etc/init.conf" without an H record of its own
    // carries the hash of the record before it: the check then fails.
    std::ofstream(INIT_CONF_PATH) << "start on boot\n";
    std::string list = "Tarvo3.0\nH 40 00112233445566778899aabbccddeeff00112233\n"
                       "R 10 etc/init.d\nR 13 etc/init.conf\n";
    std::vector<char> buf(list.begin(), list.end());
    buf.push_back('\0');
    testing::internal::CaptureStderr();
    ASSERT_EQ(parse_hashlist(buf.data(), list.size(), 0, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(check_init_conf(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Hash mismatch /etc/init.conf\n");
    unlink(INIT_CONF_PATH);
}

}  // namespace
