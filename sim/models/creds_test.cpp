// The credentials and object-policy modules driven directly (no sandbox):
// records the program cannot send through the library, and the merging of
// applied sets.
#include "sim/models/creds.h"

#include "creds/creds.h"
#include "sim/testing/state_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace ks_sim {
namespace {

class CredsModels : public ks_sim::testing::StateDirTest {
protected:
    static std::vector<std::string> records(const char *file)
    {
        std::vector<std::string> out;
        read_records(run_path(file), out);
        return out;
    }
};

TEST_F(CredsModels, ServeTheirFiles)
{
    model *creds = find_model(CREDS_READ_FILE);
    model *credp = find_model(CREDP_POLICY_FILE);
    ASSERT_NE(creds, nullptr);
    ASSERT_NE(credp, nullptr);
    EXPECT_STREQ(creds->name(), "creds");
    EXPECT_STREQ(credp->name(), "credp");
    EXPECT_EQ(find_model("/sys/kernel/security/creds"), nullptr);
}

TEST_F(CredsModels, MalformedPolicyRecordsAreRefused)
{
    const uint32_t whole[] = {creds_header(1, 1), 5};
    const uint32_t broken[] = {creds_header(3, 4), 5};
    struct {
        const char *what;
        credp_policy_request r;
        int answer;
    } rows[] = {
        {"ok", {0x19, 1, "n", 2, whole}, 0},
        {"name length without name", {0, 3, nullptr, 0, nullptr}, -EFAULT},
        {"huge name", {0, 5000, "n", 0, nullptr}, -EINVAL},
        {"negative count", {0, 0, nullptr, -1, whole}, -EINVAL},
        {"count without list", {0, 0, nullptr, 2, nullptr}, -EFAULT},
        {"broken entries", {0, 0, nullptr, 2, broken}, -EINVAL},
    };
    for (auto &row : rows) {
        auto f = credp_policy_file();
        EXPECT_EQ(f->ioctl(CREDP_IOC_DEFINE, &row.r), row.answer) << row.what;
    }
    auto f = credp_policy_file();
    EXPECT_EQ(f->ioctl(CREDP_IOC_DEFINE, nullptr), -EFAULT);
    EXPECT_EQ(f->ioctl(0x89F4, &rows[0].r), -ENOTTY);
    auto recs = records(CREDP_REQUESTS_STATE);
    ASSERT_EQ(recs.size(), 8u);
    EXPECT_EQ(recs[0], "0x89F0 flags=0x19 name=1:n count=2 words=10001,5 = 0");
    EXPECT_EQ(recs[7], "0x89F4 = -25");
}

TEST_F(CredsModels, TaskAnswerWritesOnlyTheRoom)
{
    auto f = creds_read_file();
    std::vector<uint32_t> buf(8, 0xABABABAB);
    creds_task_request r{0, 2, buf.data()};
    int need = f->ioctl(CREDS_IOC_TASK, &r);
    ASSERT_GT(need, 2);
    EXPECT_EQ(buf[0], creds_header(1, 1));
    EXPECT_EQ(buf[1], uint32_t(geteuid()));
    EXPECT_EQ(buf[2], 0xABABABABu);
    r.room = -1;
    EXPECT_EQ(f->ioctl(CREDS_IOC_TASK, &r), -EINVAL);
    r = {0, 4, nullptr};
    EXPECT_EQ(f->ioctl(CREDS_IOC_TASK, &r), -EINVAL);
    EXPECT_EQ(f->ioctl(CREDS_IOC_TASK, nullptr), -EFAULT);
}

TEST_F(CredsModels, NamesGetValuesInOrder)
{
    auto f = creds_read_file();
    auto ask = [&](const char *text, uint32_t *value) {
        creds_text_request r{-1, uint16_t(std::strlen(text)), value, const_cast<char *>(text)};
        return f->ioctl(CREDS_IOC_FROM_TEXT, &r);
    };
    uint32_t v = 0;
    EXPECT_EQ(ask("AID::a", &v), 4);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(ask("AID::b", &v), 4);
    EXPECT_EQ(v, 2u);
    // A source is the token of its name inside "SRC", not a name of its
    // own: without that token it names nothing.
    EXPECT_EQ(ask("SRC::a", &v), -ENOENT);
    EXPECT_EQ(ask("AID::a", &v), 4);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(ask("AID::", &v), -ENOENT);
    EXPECT_EQ(ask("CAP::chown", &v), 0);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(ask("nobody-knows", &v), -ENOENT);
}

TEST(CredsModelMerge, JoinsReplacesAndAppends)
{
    std::vector<uint32_t> w = {creds_header(1, 1), 10, creds_header(3, 2), 20, 21,
                               creds_header(0, 2), 1, 0, creds_header(9, 1), 7};
    creds_merge_words(w, {creds_header(1, 1), 11, creds_header(3, 2), 21, 22,
                          creds_header(0, 2), 4, 1, creds_header(9, 1), 7,
                          creds_header(9, 1), 8, creds_header(2, 1), 30});
    EXPECT_EQ(w, (std::vector<uint32_t>{creds_header(3, 3), 20, 21, 22, creds_header(0, 2), 5, 1,
                                        creds_header(9, 1), 7, creds_header(1, 1), 11,
                                        creds_header(9, 1), 8, creds_header(2, 1), 30}));
    EXPECT_TRUE(creds_whole_entries(w.data(), w.size()));
    EXPECT_FALSE(creds_whole_entries(w.data(), w.size() - 1));
}

}  // namespace
}  // namespace ks_sim
