// Policy-flag words and their text; requests without the policy module.
#include "creds/creds.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

struct from_case {
    const char *text;
    int flags, mask;
};

TEST(CredsFlags, FromText)
{
    const from_case rows[] = {
        {"set inheritable", 0x19, 0x0F},
        {"add", 0x1A, 0x07},
        {"none trust-zone", 0x38, 0x27},
        {"  set   ", 0x19, 0x07},
        {"set\tnot-inheritable\nsetxid", 0x01, 0x1F},
        {"inherit realxid", 0x1B, 0x17},
        {"", 0x19, 0},
        {"   ", 0x19, 0},
        {"set add", -1, 0x07},
        {"inheritable not-inheritable", -1, 0x08},
        {"trust-zone trust-zone", -1, 0x20},
        {"set bogus", -1, 0},
        {"Set", -1, 0},
        {"inherit-able", -1, 0},
        {"setx", -1, 0},
        {"set\xa0", -1, 0},  // a byte above 0x7F is no white space
        {"\xff", -1, 0},
    };
    for (const from_case &r : rows) {
        int mask = 12345;
        EXPECT_EQ(creds_flags_from_text(r.text, &mask), r.flags) << '"' << r.text << '"';
        EXPECT_EQ(mask, r.mask) << '"' << r.text << '"';
        EXPECT_EQ(creds_flags_from_text(r.text, nullptr), r.flags);
    }
    int mask = 0;
    EXPECT_EQ(creds_flags_from_text(nullptr, &mask), 0x19);
    EXPECT_EQ(mask, 0x1F);
}

TEST(CredsFlags, ToText)
{
    struct {
        int flags, mask;
        std::string text;
    } rows[] = {
        {0x19, 0x1F, "set inheritable realxid"},
        {0x38, 0x3F, "none inheritable realxid trust-zone"},
        {0x04, 0x07, ""},
        {0x03, 0x07, "inherit"},
        {0x00, 0x3F, "none not-inheritable setxid"},
        {0x19, 0x00, ""},
        {0x3F, 0x20, "trust-zone"},
    };
    for (auto &r : rows) {
        char buf[64];
        EXPECT_EQ(creds_flags_to_text(r.flags, r.mask, buf, sizeof buf), int(r.text.size()));
        EXPECT_EQ(buf, r.text);
    }
    char small[8];
    EXPECT_EQ(creds_flags_to_text(0x19, 0x1F, small, sizeof small), 23);
    EXPECT_STREQ(small, "set inh");
    char one[1] = {'x'};
    EXPECT_EQ(creds_flags_to_text(0x19, 0x1F, one, 1), 23);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(creds_flags_to_text(0x19, 0x1F, nullptr, 0), 23);
}

// Printing the groups of a mask and reading the text back gives the same
// word on those groups, for every word and every mask.
TEST(CredsFlags, PrintedTextReadsBack)
{
    for (int mask = 0; mask < 0x40; mask++)
        for (int flags = 0; flags < 0x40; flags++) {
            if ((flags & 7) > 3)
                continue;
            char buf[64];
            creds_flags_to_text(flags, mask, buf, sizeof buf);
            int got_mask = -1;
            int got = creds_flags_from_text(buf, &got_mask);
            ASSERT_NE(got, -1) << buf;
            // Groups that meet the mask print whole; the cleared
            // trust-zone group has no word.
            int printed = 0;
            for (int group : {0x07, 0x08, 0x10, 0x20})
                if (group & mask)
                    printed |= group;
            if (!(flags & 0x20))
                printed &= ~0x20;
            EXPECT_EQ(got_mask, printed) << buf;
            EXPECT_EQ(got & printed, flags & printed) << buf;
        }
}

class CredsPolicyAbsent : public testing::Test {
protected:
    void SetUp() override
    {
        if (access(CREDP_POLICY_PATH, F_OK) == 0)
            GTEST_SKIP() << "the policy module is present";
    }
};

TEST_F(CredsPolicyAbsent, EveryRequestGivesNegatedOpenError)
{
    creds_handle h = nullptr;
    ASSERT_EQ(creds_add(&h, 1, 0), 0);
    EXPECT_EQ(creds_define_policy(0x19, "object", h), -ENOENT);
    EXPECT_EQ(creds_apply(h), -ENOENT);
    EXPECT_EQ(creds_apply_with_flags(nullptr, 2), -ENOENT);
    EXPECT_EQ(creds_policy_request("object", 1, h), -ENOENT);
    EXPECT_EQ(creds_policy_request_default("object"), -ENOENT);
    EXPECT_EQ(credp_name_request_89f1("object"), -ENOENT);
    EXPECT_EQ(credp_name_request_89f2("object"), -ENOENT);
    EXPECT_EQ(credp_ioctl(0x89F0, 0, nullptr, nullptr, 0), -ENOENT);
    creds_release(h);
}

}  // namespace
