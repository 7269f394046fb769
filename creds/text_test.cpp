// Text forms without the kernel module (as on any development machine):
// the library's own forms and the built-in capability names.
#include "creds/creds.h"
#include "creds/internal.h"

#include <fnmatch.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

class CredsText : public testing::Test {
protected:
    void SetUp() override
    {
        if (access(CREDS_READ_PATH, F_OK) == 0)
            GTEST_SKIP() << "the credentials module is present";
    }
};

// A group id in [from, to) that has no name, or -1.
long unnamed_gid(long from, long to)
{
    for (long g = from; g < to; g++)
        if (!getgrgid(gid_t(g)))
            return g;
    return -1;
}

long unnamed_uid(long from)
{
    for (long u = from;; u++)
        if (!getpwuid(uid_t(u)))
            return u;
}

struct from_case {
    const char *text;
    int type;
    long value;
};

TEST_F(CredsText, FromText)
{
    const from_case rows[] = {
        {"UID::", 1, -1}, {"UID::0", 1, 0}, {"UID::root", 1, 0}, {"GID::root", 2, 0},
        {"GRP::root", 3, 0}, {"GRP::100", 3, 100}, {"CAP::12", 0, 12}, {"CAP::", 0, -1},
        {"CAP::sys_admin", 0, 21}, {"CAP::chown", 0, 0}, {"CAP::mac_admin", 0, 33},
        {"7::42", 7, 42}, {"7::", 7, -1}, {"7::-5", 7, -5}, {"65535::1", 65535, 1},
        {"0::3", 0, 3}, {"1::root", 1, 0}, {"UID::2147483647", 1, 2147483647},
        // untranslatable
        {"7::abc", -1, -1}, {"UID::no-such-user-ks", -1, -1}, {"UID::-1", -1, -1},
        {"uid::0", -1, -1}, {"CAP::sys_admin ", -1, -1}, {"CAP::SYS_ADMIN", -1, -1},
        {"CAP::setfcapx", -1, -1}, {"CAP::kill2", -1, -1},
        {"::5", -1, -1}, {"::", -1, -1}, {"-2::5", -1, -1}, {" 7::1", -1, -1},
        {"+7::1", -1, -1}, {"65536::1", -1, -1}, {"99999999999::1", -1, -1},
        {"7:1", -1, -1}, {"7", -1, -1}, {"", -1, -1}, {"UID::+5", -1, -1},
        {"UID:: 5", -1, -1}, {"UID::4294967296", -1, -1}, {"GID::5x", -1, -1},
    };
    for (const from_case &r : rows) {
        long v = 12345;
        EXPECT_EQ(creds_from_text(r.text, &v), r.type) << '"' << r.text << '"';
        EXPECT_EQ(v, r.value) << '"' << r.text << '"';
        EXPECT_EQ(creds_from_text(r.text, nullptr), r.type);
    }
    long v = 3;
    EXPECT_EQ(creds_from_text(nullptr, &v), -1);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(creds_from_text(std::string(70000, 'a').c_str(), &v), -1);
}

TEST_F(CredsText, ToText)
{
    long nouser = unnamed_uid(4000000);
    struct {
        int type;
        long value;
        std::string text;
    } rows[] = {
        {1, -1, "UID::"}, {0, -1, "CAP::"}, {3, -1, "GRP::"}, {1, 0, "UID::root"},
        {2, 0, "GID::root"}, {3, 0, "GRP::root"}, {1, nouser, "UID::" + std::to_string(nouser)},
        {5, 9, "5::9"}, {7, -5, "7::-5"}, {-3, 7, "-3::7"}, {4, -1, "4::"}, {-3, -1, "-3::-1"},
        {0, 21, "CAP::sys_admin"}, {0, 0, "CAP::chown"}, {0, 33, "CAP::mac_admin"},
        {0, 34, "CAP::34"}, {0, 40, "CAP::40"},
    };
    for (auto &r : rows) {
        char buf[64];
        EXPECT_EQ(creds_to_text(r.type, r.value, buf, sizeof buf), int(r.text.size()));
        EXPECT_EQ(buf, r.text) << r.type << "," << r.value;
    }
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(creds_to_text(1, -1, small, sizeof small), 5);
    EXPECT_STREQ(small, "UID");
    EXPECT_EQ(creds_to_text(1, -1, nullptr, 0), 5);
    EXPECT_EQ(creds_to_text(1, 0, small, 1), 9);
    EXPECT_STREQ(small, "");
}

// Every text the library writes reads back as the same credential.
TEST_F(CredsText, RoundTrip)
{
    std::vector<std::pair<int, long>> creds = {
        {1, 0}, {2, 0}, {3, 0}, {1, unnamed_uid(4000000)}, {2, unnamed_gid(4000000, 5000000)},
        {3, 100}, {7, 42}, {7, -5}, {65535, 1}, {4, 0}, {1, -1}, {3, -1}, {9, -1},
    };
    for (int cap = 0; cap < 64; cap++)
        creds.emplace_back(0, cap);
    setgrent();
    for (group *g; (g = getgrent());)
        creds.emplace_back(3, long(g->gr_gid));
    endgrent();
    setpwent();
    for (passwd *p; (p = getpwent());)
        creds.emplace_back(1, long(p->pw_uid));
    endpwent();
    for (auto [type, value] : creds) {
        char buf[256];
        ASSERT_LT(creds_to_text(type, value, buf, sizeof buf), int(sizeof buf));
        long back = -7;
        int t = creds_from_text(buf, &back);
        EXPECT_EQ(t, type) << buf;
        // Names shared by several ids read back as the first of them.
        if (t == type && back != value && type >= 1 && type <= 3)
            continue;
        EXPECT_EQ(back, value) << buf;
    }
}

struct match_case {
    std::string pattern;
    size_t size;
    int result;
    std::string text;
};

TEST_F(CredsText, Match)
{
    long g1 = unnamed_gid(10, 20), g2 = unnamed_gid(100, 1000);
    if (g1 < 0 || g2 < 0)
        GTEST_SKIP() << "no unnamed group ids to match against";
    const uint32_t words[] = {
        creds_header(0, 2), (1u << 5) | (1u << 21), 0,  // kill, sys_admin
        creds_header(1, 1), 0,                          // root
        creds_header(2, 1), 0,
        creds_header(3, 2), uint32_t(g1), uint32_t(g2),
        creds_header(9, 1), 3,                          // kernel-defined
    };
    creds_handle h = creds_from_list(words, sizeof words / sizeof words[0]);
    ASSERT_NE(h, nullptr);
    std::string s1 = "GRP::" + std::to_string(g1), s2 = "GRP::" + std::to_string(g2);
    const match_case rows[] = {
        {"", 64, -1, ""},
        {"*", 64, 9, "CAP::kill"},
        {"GRP::1?", 64, int(s1.size()), s1},
        {"GRP::1??", 64, int(s2.size()), s2},
        {"UID::*", 64, 9, "UID::root"},
        {"GID::r??t", 64, 9, "GID::root"},
        {"CAP::sys_*", 64, 14, "CAP::sys_admin"},
        {"*admin", 64, 14, "CAP::sys_admin"},
        {"C?P::k*l", 64, 9, "CAP::kill"},
        {"*:*:*", 64, 9, "CAP::kill"},
        {"9::*", 64, 4, "9::3"},
        {"*::3", 64, 4, "9::3"},
        {"AID::*", 512, -1, ""},
        {"CAP::kill?", 64, -1, ""},
        // Texts that do not fit end the search with their length.
        {"*", 6, 9, "CAP::"},
        // "GRP::1x" fits 8 bytes and does not match; "GRP::1xx" does not fit,
        // and ends the search before "9::3".
        {"9::*", 8, 8, s2.substr(0, 7)},
    };
    for (const match_case &r : rows) {
        std::vector<char> buf(r.size, 'z');
        int n = creds_match(h, r.pattern.c_str(), buf.data(), buf.size());
        EXPECT_EQ(n, r.result) << r.pattern;
        if (r.result >= 0) {
            EXPECT_EQ(std::string(buf.data()), r.text) << r.pattern;
        }
    }
    char buf[16];
    EXPECT_EQ(creds_match(nullptr, "*", buf, sizeof buf), -1);
    EXPECT_EQ(creds_match(h, nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(creds_match(h, "*", nullptr, 16), -1);
    creds_handle empty = creds_from_list(nullptr, 0);
    EXPECT_EQ(creds_match(empty, "*", buf, sizeof buf), -1);
    creds_release(empty);
    creds_release(h);
}

// The matcher against the C library's on patterns without brackets or
// escapes, where both mean the same.
TEST(CredsGlob, AgreesWithFnmatch)
{
    std::mt19937 rng(7);
    const char pat_chars[] = "ab*?", text_chars[] = "ab";
    for (int i = 0; i < 200000; i++) {
        std::string p, t;
        for (unsigned n = rng() % 7; n; n--)
            p += pat_chars[rng() % 4];
        for (unsigned n = rng() % 9; n; n--)
            t += text_chars[rng() % 2];
        ASSERT_EQ(creds_glob_match(p.c_str(), t.c_str()),
                  fnmatch(p.c_str(), t.c_str(), 0) == 0)
            << '"' << p << "\" vs \"" << t << '"';
    }
}

TEST_F(CredsText, CapabilityTranslationsWithoutModule)
{
    long v = 0;
    EXPECT_EQ(kernel_text_to_creds("CAP::sys_admin", &v), 0);
    EXPECT_EQ(v, 21);
    EXPECT_EQ(kernel_text_to_creds("CAP::", &v), -1);
    EXPECT_EQ(kernel_text_to_creds("CAP:", &v), -1);
    EXPECT_EQ(kernel_text_to_creds("UID::root", &v), -1);
    EXPECT_EQ(kernel_text_to_creds(nullptr, &v), -1);
    char buf[32];
    EXPECT_EQ(kernel_creds_to_text(0, 21, buf, sizeof buf), 14);
    EXPECT_STREQ(buf, "CAP::sys_admin");
    EXPECT_EQ(kernel_creds_to_text(0, 40, buf, sizeof buf), 7);
    EXPECT_STREQ(buf, "CAP::40");
    // -1 is "no value": it has no capability text that reads back.
    EXPECT_EQ(kernel_creds_to_text(0, -1, buf, sizeof buf), -1);
    EXPECT_EQ(kernel_creds_to_text(1, 0, buf, sizeof buf), -1);
}

}  // namespace
