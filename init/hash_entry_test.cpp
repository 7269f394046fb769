#include "init/hash_entry.h"

#include "init/log.h"
#include "init/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string bytes(const char *p, size_t n) { return std::string(p, n); }

std::array<uint8_t, 20> digest_of(const std::string &content)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, content.data(), uint32_t(content.size()));
    std::array<uint8_t, 20> d;
    sha1_final(d.data(), &ctx);
    return d;
}

std::array<uint8_t, 20> filled(uint8_t b)
{
    std::array<uint8_t, 20> h;
    h.fill(b);
    return h;
}

class HashEntries : public HashListTest {
protected:
    void add(uint32_t dev, uint32_t ino, int type, std::array<uint8_t, 20> h = {},
             std::vector<std::pair<long, long>> creds = {}, const char *path = "/nonexistent",
             const char *source = "src", long sid = 0, int a1 = 0, int a2 = 0, int a3 = 0)
    {
        std::vector<long> t, v;
        for (auto &c : creds) {
            t.push_back(c.first);
            v.push_back(c.second);
        }
        ASSERT_EQ(new_hash_entry(dev, ino, source, a1, a2, a3, type, h.data(), path,
                                 int(creds.size()), t.data(), v.data(), sid),
                  0);
    }
    // The records load_all writes, in order.
    std::vector<std::string> written() { return loaded_records(out); }
    // The numbers of a record's text part.
    static std::string text_of(const std::string &rec) { return record_text(rec); }
};

TEST_F(HashEntries, RecordsBytePerByte)
{
    std::array<uint8_t, 20> h{};
    for (int i = 0; i < 20; i++)
        h[size_t(i)] = uint8_t(i * 13);
    h[3] = 0x00;
    h[4] = 0x0a;
    std::vector<std::pair<long, long>> eight;
    for (long i = 0; i < 8; i++)
        eight.push_back({i, 100 + i});
    add(1, 10, 0, h, {}, "/x", "src", 7, 1, 2, 3);                  // s, no credentials
    add(1, 11, 2, h, {{3, 5}});                                      // d, one pair
    add(1, 12, 4, {}, eight);                                        // p, eight pairs
    add(1, 13, 3, h, {{-1, -5}});                                    // t
    add(1, 14, 1);                                                   // x
    add(1, 15, 7, h);                                                // never written
    add(1, 16, -1, h);                                               // never written
    int errors = hash_write_errors();
    auto recs = written();
    ASSERT_EQ(recs.size(), 5u);
    std::string hs(reinterpret_cast<const char *>(h.data()), 20);
    EXPECT_EQ(recs[0], "s" + hs + " 1 10 1 2 3 7 0" + bytes("\0\n", 2));
    EXPECT_EQ(recs[1], "d 1 11 0 0 0 0 1 3 5" + bytes("\0\n", 2));
    EXPECT_EQ(recs[2], "p 1 12 0 0 0 0 8 0 100 1 101 2 102 3 103 4 104 5 105 6 106 7 107" +
                           bytes("\0\n", 2));
    EXPECT_EQ(recs[3], "t" + hs + " 1 13 0 0 0 0 1 -1 -5" + bytes("\0\n", 2));
    EXPECT_EQ(recs[4], "x 1 14 0 0 0 0 0" + bytes("\0\n", 2));
    EXPECT_EQ(hash_write_errors(), errors);
}

TEST_F(HashEntries, FormatEntryLengthsAndBadType)
{
    hash_entry e{};
    e.type = 0;
    char buf[HASH_RECORD_MAX];
    EXPECT_EQ(format_entry(&e, buf), 23 + int(std::strlen(" 0 0 0 0 0 0 0")));
    e.type = 2;
    EXPECT_EQ(format_entry(&e, buf), 3 + int(std::strlen(" 0 0 0 0 0 0 0")));
    for (int bad : {5, 7, -1}) {
        e.type = bad;
        buf[0] = 'z';
        EXPECT_EQ(format_entry(&e, buf), -1);
        EXPECT_EQ(buf[0], '?');
    }
}

TEST_F(HashEntries, AscendingSignedKeyOrder)
{
    add(1, 1, 2);
    add(1, 0x80000000u, 2);
    add(0xFFFFFFFFu, 5, 2);
    add(0, 7, 2);
    add(1, 0xFFFFFFFFu, 2);
    auto recs = written();
    std::vector<std::string> keys;
    for (auto &r : recs) {
        std::istringstream s(text_of(r));
        std::string dev, ino;
        s >> dev >> ino;
        keys.push_back(dev + "," + ino);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"-1,5", "0,7", "1,-2147483648", "1,-1", "1,1"}));
}

TEST(CompareEntries, SignedThreeWay)
{
    struct { uint32_t d1, i1, d2, i2; int want; } cases[] = {
        {1, 1, 1, 1, 0},
        {1, 1, 1, 2, -1},
        {1, 0x80000000u, 1, 1, -1},      // inode with the top bit set sorts first
        {0xFFFFFFFFu, 9, 0, 0, -1},
        {0, 0x7FFFFFFFu, 0, 0x80000000u, 1},  // no overflow of a subtraction
        {2, 0, 1, 0xFFFFFFFFu, 1},       // the device decides first
    };
    for (auto &c : cases) {
        hash_entry a{}, b{};
        a.device = c.d1;
        a.inode = c.i1;
        b.device = c.d2;
        b.inode = c.i2;
        EXPECT_EQ(compare_entries(&a, &b), c.want) << c.d1 << "," << c.i1;
        EXPECT_EQ(compare_entries(&b, &a), -c.want) << c.d1 << "," << c.i1;
    }
}

TEST_F(HashEntries, DuplicatePolicy)
{
    const std::string first_content = "first", second_content = "second";
    auto first = digest_of(first_content), second = digest_of(second_content);
    const std::string path = dir + "/file", dirpath = dir;
    struct {
        const char *name;
        std::string file_content;  // empty: no file at the path
        std::array<uint8_t, 20> a, b;
        bool use_directory;
        std::string trace;
        bool second_wins;
    } cases[] = {
        {"same hash", "whatever", first, first, false, "", false},
        {"file is the first", first_content, first, second, false,
         "Duplicate different hashes %P - First one selected\n", false},
        {"file is the second", second_content, first, second, false,
         "Duplicate different hashes %P - Second one selected\n", true},
        {"file is neither", "third", first, second, false,
         "Duplicate different hashes %P - Hash error 0\n", false},
        {"file missing", "", first, second, false,
         "Cannot open %P\nDuplicate different hashes %P - Hash error -1\n", false},
        // Only a regular file is read.
        {"directory", "", first, second, true,
         "Cannot open %P\nDuplicate different hashes %P - Hash error -1\n", false},
        {"pipe", "", first, second, false,
         "Cannot open %P\nDuplicate different hashes %P - Hash error -1\n", false},
    };
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string pipe_path = "/proc/self/fd/" + std::to_string(fds[0]);
    for (auto &c : cases) {
        release_all_entries();
        unlink(path.c_str());
        if (!c.file_content.empty())
            touch(path, c.file_content);
        std::string p = c.use_directory ? dirpath : path;
        if (std::string(c.name) == "pipe")
            p = pipe_path;
        add(5, 50, 0, c.a, {}, p.c_str(), "one", 1);
        testing::internal::CaptureStderr();
        add(5, 50, 3, c.b, {{1, 2}}, p.c_str(), "two", 2);
        std::string trace = testing::internal::GetCapturedStderr();
        std::string want = c.trace;
        for (size_t at; (at = want.find("%P")) != std::string::npos;)
            want.replace(at, 2, p);
        EXPECT_EQ(trace, want) << c.name;
        hash_entry key{};
        key.device = 5;
        key.inode = 50;
        const hash_entry *held = find_entry(&key);
        ASSERT_NE(held, nullptr) << c.name;
        EXPECT_STREQ(held->source, c.second_wins ? "two" : "one") << c.name;
        auto recs = written();
        ASSERT_EQ(recs.size(), 1u) << c.name;
        EXPECT_EQ(recs[0][0], c.second_wins ? 't' : 's') << c.name;
    }
    close(fds[0]);
    close(fds[1]);
}

TEST_F(HashEntries, InsertFindDelete)
{
    EXPECT_EQ(insert_entry(nullptr, "/x"), nullptr);
    add(2, 20, 2);
    hash_entry key{};
    key.device = 2;
    key.inode = 20;
    key.type = 99;  // only device and inode count
    hash_entry *held = find_entry(&key);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->type, 2);
    // Inserting the held entry again keeps it.
    EXPECT_EQ(insert_entry(held, "/x"), held);
    key.inode = 21;
    EXPECT_EQ(find_entry(&key), nullptr);
    EXPECT_EQ(delete_entry(&key), nullptr);
    key.inode = 20;
    hash_entry *removed = delete_entry(&key);
    EXPECT_EQ(removed, held);
    EXPECT_EQ(find_entry(&key), nullptr);
    free_hash_entry(removed);
    EXPECT_TRUE(written().empty());
}

TEST_F(HashEntries, CredentialsAreCopied)
{
    std::vector<long> t = {3, 1}, v = {77, 0};
    uint8_t h[20] = {};
    ASSERT_EQ(new_hash_entry(1, 1, "s", 0, 0, 0, 2, h, "/x", 2, t.data(), v.data(), 0), 0);
    t[0] = 9;
    v[0] = 9;
    auto recs = written();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(text_of(recs[0]), " 1 1 0 0 0 0 2 3 77 1 0");
}

TEST_F(HashEntries, LoadAllFailures)
{
    add(1, 1, 2);
    add(1, 2, 2);
    std::string missing = dir + "/missing";
    EXPECT_EQ(load_all(missing.c_str()), -2);
    struct stat st;
    EXPECT_NE(stat(missing.c_str(), &st), 0);  // nothing created

    // Every write fails on /dev/full: each writing fails, every record is
    // still tried, and the count of failed writes grows across calls.
    int before = hash_write_errors();
    EXPECT_EQ(load_all("/dev/full"), -3);
    EXPECT_EQ(hash_write_errors(), before + 2);
    EXPECT_EQ(load_all("/dev/full"), -3);
    EXPECT_EQ(hash_write_errors(), before + 4);
}

TEST_F(HashEntries, LoadAllDoesNotTruncate)
{
    touch(out, std::string(200, 'Z'));
    add(1, 1, 2);
    ASSERT_EQ(load_all(out.c_str()), 0);
    std::ifstream in(out, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string rec = "d 1 1 0 0 0 0 0" + bytes("\0\n", 2);
    EXPECT_EQ(all.size(), 200u);
    EXPECT_EQ(all.substr(0, rec.size()), rec);
}

TEST_F(HashEntries, StatIds)
{
    std::string f = touch(dir + "/f", "x");
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    uint32_t ino = 1, dev = 1;
    EXPECT_EQ(stat_ids(f.c_str(), &ino, &dev), 0);
    EXPECT_EQ(ino, uint32_t(st.st_ino));
    EXPECT_EQ(dev, uint32_t(st.st_dev));
    EXPECT_EQ(stat_ids((dir + "/none").c_str(), &ino, &dev), -1);
    EXPECT_EQ(ino, 0u);
    EXPECT_EQ(dev, 0u);
}

TEST_F(HashEntries, PrintEntriesUsesEachRecordsTextAndNamesNullSources)
{
    add(1, 3, 0, filled(0x41), {}, "/x", nullptr);
    add(1, 4, 2, {}, {{3, 9}}, "/x", "pkg");
    add(1, 5, 7, {}, {}, "/x", "bad");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(print_entries(), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::string text = testing::internal::GetCapturedStdout();
    EXPECT_EQ(text, "     3 37 (none)  1 3 0 0 0 0 0\n"
                    "     4 21 pkg  1 4 0 0 0 0 1 3 9\n");
    EXPECT_EQ(err, "     5 -1 bad BAD\n");
}

}  // namespace
