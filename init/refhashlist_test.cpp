#include "init/refhashlist.h"
#include "restok/restok.h"

#include "init/hash_entry.h"
#include "init/log.h"
#include "init/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Parser tests that need no kernel files: the lists name no kernel module
// (no ".ko" path), so nothing is written to the module list; the token and
// credentials modules are absent, so every source id is -1 and only the
// credentials the library translates by itself ("UID::0", "GID::0",
// "GRP::n", "n::m") are kept.
namespace {

const char H1[] = "00112233445566778899aabbccddeeff0a0b0c0d";
const char H2[] = "FFEEDDCCBBAA99887766554433221100F0E0D0C0";

std::string counted(char tag, const std::string &data)
{
    return std::string(1, tag) + " " + std::to_string(data.size()) + " " + data + "\n";
}

class RefHashList : public HashListTest {
protected:
    void SetUp() override
    {
        HashListTest::SetUp();
        if (HasFatalFailure())
            return;
        rel = dir.substr(1);
        for (const char *f : {"a", "b", "c", "d"})
            touch(dir + "/" + f, f);
    }
    // An R record for a file of the fixture directory.
    std::string file(const char *name) { return counted('R', rel + "/" + name); }
    // Parses a copy of the list in a buffer of exactly its size plus the
    // NUL, so that an over-read shows under the address sanitizer.
    int parse(const std::string &list, std::string *trace = nullptr, int rd = 0, int dev = 0)
    {
        std::vector<char> buf(list.begin(), list.end());
        buf.push_back('\0');
        testing::internal::CaptureStderr();
        int rc = parse_hashlist(buf.data(), list.size(), rd, dev);
        std::string t = testing::internal::GetCapturedStderr();
        if (trace)
            *trace = t;
        return rc;
    }
    // The written records, each as "letter text" (hash bytes as hex).
    std::vector<std::string> records()
    {
        std::vector<std::string> recs;
        for (const std::string &rec : loaded_records(out)) {
            std::string r(1, rec[0]);
            if (record_text_start(rec[0]) > 1) {
                char hex[41];
                print_hash_hex(reinterpret_cast<const uint8_t *>(rec.data() + 1), hex);
                r += std::string(" ") + hex;
            }
            recs.push_back(r + record_text(rec));
        }
        return recs;
    }
    // Device and inode of a fixture file as the records print them.
    std::string key(const char *name)
    {
        struct stat st;
        EXPECT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
        return " " + std::to_string(int32_t(uint32_t(st.st_dev))) + " " +
               std::to_string(int32_t(uint32_t(st.st_ino)));
    }
    std::string rel;
};

TEST_F(RefHashList, ResultCodesAndTraces)
{
    const std::string corrupted = "Tarvo: hashlist corrupted\n";
    std::string bad_digit_even = std::string("H 40 ") + H1;
    bad_digit_even[5 + 10] = 'g';
    std::string bad_digit_odd = std::string("H 40 ") + H1;
    bad_digit_odd[5 + 11] = 'G';
    struct { std::string list; int rc; std::string trace; } cases[] = {
        {"Tarvo2.1\n", -1, "Bad magic\n"},
        {"Tarvo3.0", -1, "Bad magic\n"},
        {"", -1, "Bad magic\n"},
        {"tarvo3.0\nR 1 a\n", -1, "Bad magic\n"},
        {"Tarvo3.0\nX 3\n", -1, corrupted},
        {"Tarvo3.0\nA 1 2 3\n", -1, corrupted},
        {"Tarvo3.0\nS", -2, corrupted},
        {std::string("Tarvo3.0\nS\0 1 a\n", 16), -2, corrupted},
        {"Tarvo3.0\nS x ", -3, corrupted},
        {"Tarvo3.0\nS  12 ", -3, corrupted},
        {"Tarvo3.0\nS -1 ", -4, corrupted},
        {"Tarvo3.0\nS 99 ab", -4, corrupted},
        {"Tarvo3.0\nS 5", -4, corrupted},
        {"Tarvo3.0\nH", -5, corrupted},
        {"Tarvo3.0\nH x ", -6, corrupted},
        {"Tarvo3.0\nH 40", -6, corrupted},
        {"Tarvo3.0\nH 39 ", -7, corrupted},
        {"Tarvo3.0\nH 41 ", -7, corrupted},
        {"Tarvo3.0\n" + bad_digit_even, -8, corrupted},
        {"Tarvo3.0\n" + bad_digit_odd, -9, corrupted},
        {"Tarvo3.0\nH 40 0011", -8, corrupted},   // digits end at the list's end
        {"Tarvo3.0\nH 40 001", -9, corrupted},
        {"Tarvo3.0\nW", -10, corrupted},
        {"Tarvo3.0\nX", -10, corrupted},
        {"Tarvo3.0\nA", -10, corrupted},
        {"Tarvo3.0\nP", -10, corrupted},
        {"Tarvo3.0\nR", -10, corrupted},
        {"Tarvo3.0\nA 1\n", -10, corrupted},
        {"Tarvo3.0\nA 1 2\n3", -10, corrupted},
        {"Tarvo3.0\nW x ", -11, "Wcred found\n" + corrupted},
        {"Tarvo3.0\nX x ", -11, corrupted},
        {"Tarvo3.0\nA 1 x 3 ", -11, corrupted},
        {"Tarvo3.0\nP z ", -11, corrupted},
        {"Tarvo3.0\nR z ", -11, corrupted},
        {"Tarvo3.0\nW -1 ", -12, "Wcred found\n" + corrupted},
        {"Tarvo3.0\nP 5 ab", -12, corrupted},
        {"Tarvo3.0\nR 5", -12, corrupted},
        {"Tarvo3.0\nR 99 a\n", -12, corrupted},
        {"Tarvo3.0\nQ 1 ", -13, "Tarvo: unsupported tag Q\nLine 1\nData: Q\n"},
        // Only the tag token is printed, not the rest of the list.
        {"Tarvo2.0\nQxyz rest of the list\n", -13,
         "Tarvo: unsupported tag Q\nLine 1\nData: Qxyz\n"},
        {"Tarvo3.0\nS 1 a\nS 1 b\nq\n", -13, "Tarvo: unsupported tag q\nLine 3\nData: q\n"},
    };
    for (auto &c : cases) {
        std::string trace;
        EXPECT_EQ(parse(c.list, &trace), c.rc) << c.list;
        EXPECT_EQ(trace, c.trace) << c.list;
    }
}

TEST_F(RefHashList, HeadersAndEmptyLists)
{
    for (const char *list : {"Tarvo2.0\n", "Tarvo3.0\n"}) {
        std::string trace;
        EXPECT_EQ(parse(list, &trace), 0);
        EXPECT_EQ(trace, "");
    }
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(parse("Tarvo2.0\n" + file("a")), 0);
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(RefHashList, UnexpectedNullsAreReportedAndPassedOver)
{
    std::string trace;
    std::string list = "Tarvo3.0\n\n \n" + counted('S', "x") + std::string("\0", 1) + "Q ";
    EXPECT_EQ(parse(list, &trace), -13);
    EXPECT_EQ(trace, "Unexpected null found at line 1\n"
                     "Unexpected null found at line 2\n"
                     "Unexpected null found at line 3\n"
                     "Unexpected null found at line 5\n"
                     "Tarvo: unsupported tag Q\nLine 6\nData: Q\n");
}

TEST_F(RefHashList, RecordStateIsInheritedAndCleared)
{
    std::string list = "Tarvo3.0\n" + counted('S', "one") + counted('W', "UID::0,GID::0") +
                       "X 3 A 1 2 3 H 40 " + H1 + "\n" + file("a") + file("b") +
                       // A missing file keeps type, attributes and credentials
                       // for the next record.
                       "X 2 A 4 5 6 " + counted('W', "GRP::7") + file("missing") + file("c") +
                       // A second W replaces the first.
                       "X 1 " + counted('W', "UID::0") + counted('W', "GID::0") + file("d");
    std::string trace;
    ASSERT_EQ(parse(list, &trace), 0);
    EXPECT_EQ(trace, "Wcred found\nWcred UID::0,GID::0\nWcred found\nWcred GRP::7\n"
                     "Wcred found\nWcred UID::0\nWcred found\nWcred GID::0\n");
    std::string h1 = std::string(" ") + H1;
    // The source's token id, as the token module answers a definition of
    // an existing name (-1 where there is no module).
    std::string one = std::to_string(restok_define("one", restok_define("SRC", 0)));
    std::vector<std::string> want = {
        "t" + h1 + key("a") + " 1 2 3 " + one + " 2 1 0 2 0",
        "s" + h1 + key("b") + " 0 0 0 0 0",      // same hash, source id 0, nothing else
        "d" + key("c") + " 4 5 6 0 1 3 7",
        "x" + key("d") + " 0 0 0 0 1 2 0",
    };
    auto recs = records();
    ASSERT_EQ(recs.size(), 4u);
    for (auto &w : want)
        EXPECT_NE(std::find(recs.begin(), recs.end(), w), recs.end()) << w;
}

TEST_F(RefHashList, CredentialLists)
{
    std::string ten;
    for (int i = 0; i < 10; i++)
        ten += (i ? "," : "") + std::string("GRP::") + std::to_string(100 + i);
    struct { std::string w; std::string pairs; } cases[] = {
        {"UID::0 nosuchthing GID::0", " 2 1 0 2 0"},
        {"UID::0,nosuchthing GID::0,GRP::9", " 3 1 0 2 0 3 9"},
        {ten, " 8 3 100 3 101 3 102 3 103 3 104 3 105 3 106 3 107"},
        {",,UID::0,,", " 1 1 0"},
        {"", " 0"},
        {"7::42", " 1 7 42"},
    };
    for (auto &c : cases) {
        release_all_entries();
        ASSERT_EQ(parse("Tarvo3.0\nX 1 " + counted('W', c.w) + file("a")), 0) << c.w;
        auto recs = records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0], "x" + key("a") + " 0 0 0 0" + c.pairs) << c.w;
    }
}

TEST_F(RefHashList, HashDigitsInEitherCase)
{
    ASSERT_EQ(parse(std::string("Tarvo2.0\nH 40 ") + H2 + "\n" + file("a")), 0);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0], "s ffeeddccbbaa99887766554433221100f0e0d0c0" + key("a") + " 0 0 0 0 0");
}

TEST_F(RefHashList, NumbersConvertLikePercentD)
{
    // Leading white space and a sign are taken, trailing junk ignored,
    // out-of-range values saturate as on the device.
    ASSERT_EQ(parse("Tarvo3.0\nX \t+1junk A -5 4294967295 -99999999999 " + file("a")), 0);
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0], "x" + key("a") + " -5 2147483647 -2147483648 0 0");
}

TEST_F(RefHashList, SourceNamesAreInternedAcrossParses)
{
    ASSERT_EQ(parse("Tarvo3.0\n" + counted('S', "shared.source") + file("a")), 0);
    ASSERT_EQ(parse("Tarvo3.0\n" + counted('S', "shared.source") + file("b")), 0);
    hash_entry ka{}, kb{};
    ASSERT_EQ(stat_ids((dir + "/a").c_str(), &ka.inode, &ka.device), 0);
    ASSERT_EQ(stat_ids((dir + "/b").c_str(), &kb.inode, &kb.device), 0);
    const hash_entry *a = find_entry(&ka), *b = find_entry(&kb);
    ASSERT_TRUE(a && b);
    EXPECT_STREQ(a->source, "shared.source");
    EXPECT_EQ(a->source, b->source);
}

TEST(HexValue, Table)
{
    struct { int byte; int value; } cases[] = {
        {'0', 0}, {'9', 9}, {'a', 10}, {'f', 15}, {'A', 10}, {'F', 15},
        {'g', -1}, {'G', -1}, {'/', -1}, {':', -1}, {'@', -1}, {'`', -1}, {0, -1}, {0xff, -1},
    };
    for (auto &c : cases)
        EXPECT_EQ(hex_value(c.byte), c.value) << c.byte;
}

TEST(SourceNameCompare, BytewiseOrder)
{
    EXPECT_EQ(source_name_compare("a", "a"), 0);
    EXPECT_LT(source_name_compare("a", "b"), 0);
    EXPECT_GT(source_name_compare("b", "a"), 0);
    EXPECT_LT(source_name_compare("B", "a"), 0);
    EXPECT_LT(source_name_compare("a", "ab"), 0);
    EXPECT_GT(source_name_compare("\xc3", "z"), 0);  // bytes compare unsigned
}

class LoadRefHashList : public RefHashList {
protected:
    int load(const std::string &path, int sigcheck, std::string *trace)
    {
        testing::internal::CaptureStderr();
        int rc = load_refhashlist(path.c_str(), sigcheck, 0, 0);
        *trace = testing::internal::GetCapturedStderr();
        return rc;
    }
};

TEST_F(LoadRefHashList, ResultsAndTraces)
{
    // The crypto services cannot verify anything here: every list counts
    // as unverified.
    std::string good = dir + "/good";
    touch(good, "Tarvo3.0\n" + file("a") + file("b"));
    std::string bad = dir + "/bad";
    touch(bad, "Tarvo3.0\nQ ");
    std::string empty = dir + "/empty";
    touch(empty, "");
    std::string trace;

    EXPECT_EQ(load(dir + "/none", 0, &trace), -2);
    EXPECT_EQ(trace, "Cannot open " + dir + "/none\n");
    EXPECT_EQ(load(empty, 0, &trace), -12);
    EXPECT_EQ(trace, "Not enough memory to map hashlist\n");
    // A list beyond any device's is refused before it takes the memory.
    std::string huge = dir + "/huge";
    touch(huge, "Tarvo3.0\n");
    ASSERT_EQ(truncate(huge.c_str(), off_t(1) << 30), 0);
    EXPECT_EQ(load(huge, 0, &trace), -12);
    EXPECT_EQ(trace, "Not enough memory to map hashlist\n");
    unlink(huge.c_str());
    // Only a regular file is a list.
    EXPECT_EQ(load(dir, 0, &trace), -2);
    EXPECT_EQ(trace, "Cannot open " + dir + "\n");

    EXPECT_EQ(load(good, 1, &trace), -14);
    EXPECT_EQ(trace, "Signature verification failed " + good + "\n");
    EXPECT_TRUE(records().empty());

    EXPECT_EQ(load(bad, 0, &trace), -14);
    EXPECT_EQ(trace, "Signature verification failed " + bad + " (ignored)\n"
                     "1 lines in reference hashlist file\n"
                     "Tarvo: unsupported tag Q\nLine 1\nData: Q\n"
                     "Scan entries return value -13\n");

    EXPECT_EQ(load(good, 0, &trace), 0);
    EXPECT_EQ(trace, "Signature verification failed " + good + " (ignored)\n"
                     "3 lines in reference hashlist file\n"
                     "Entries scanned\n");
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(LoadRefHashList, ListOfExactlyOnePage)
{
    // The last record's data ends at the file's last byte: the NUL that
    // must follow the list lies past the file.
    // Repeated slashes pad the path to the page's end.
    std::string head = "Tarvo3.0\n";
    size_t rel_len = 4096 - head.size() - std::string("R 9999 ").size();
    std::string path = rel + std::string(rel_len - rel.size() - 1, '/') + "a";
    std::string list = head + "R " + std::to_string(path.size()) + " " + path;
    ASSERT_EQ(list.size(), 4096u);
    std::string listfile = dir + "/page";
    touch(listfile, list);
    std::string trace;
    EXPECT_EQ(load(listfile, 0, &trace), 0) << trace;
    EXPECT_EQ(records().size(), 1u);
}

TEST_F(RefHashList, JournalHashLines)
{
    std::string text = "pkg foo hash: " + file("a") + "other line\n" + "hash: " + file("b") +
                       std::string("\0", 1) + "after a NUL hash: " + file("c") + "hash: " +
                       counted('R', rel + "/d").substr(0, counted('R', rel + "/d").size() - 1);
    std::string trace;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_journal_hashes(text.c_str(), text.size(), 0, 0), 0);
    trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(trace, "Journal entries scanned\n");
    auto recs = records();
    // a, b and c; d has no final newline.
    EXPECT_EQ(recs.size(), 3u);
    for (const char *f : {"a", "b", "c"})
        EXPECT_NE(std::find(recs.begin(), recs.end(), "s 0000000000000000000000000000000000000000" +
                                                          key(f) + " 0 0 0 0 0"),
                  recs.end())
            << f;
}

TEST_F(RefHashList, JournalListEndsWithItsNul)
{
    // The last number of the built list has no space after it: the parser
    // must meet the NUL at the end of the list, not bytes beyond it.
    std::string text = "hash: X 3\n";
    std::vector<char> exact(text.begin(), text.end());
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_journal_hashes(exact.data(), exact.size(), 0, 0), -14);
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(trace, "Tarvo: hashlist corrupted\nJournal scan failed (-1)\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_journal_hashes("no hash lines", 13, 0, 0), 0);
    testing::internal::GetCapturedStderr();
}

}  // namespace
