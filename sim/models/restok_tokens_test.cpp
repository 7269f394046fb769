// The resource-token module model, driven directly (no sandbox).
#include "sim/models/restok_tokens.h"
#include "sim/testing/state_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct request {
    int32_t word0;
    int32_t word1;
    uintptr_t word2;
};

class RestokTokensModel : public ks_sim::testing::StateDirTest {
protected:
    void arm(const std::string &faults) { std::ofstream(dir + "/faults") << faults; }
    int send(unsigned long cmd, int32_t w0, const char *name)
    {
        auto f = model.open(ks_sim::RESTOK_TOKENS_FILE, O_RDONLY, 0);
        EXPECT_NE(f, nullptr);
        if (!f)
            return -9999;
        request r{w0, int32_t(std::strlen(name)), reinterpret_cast<uintptr_t>(name)};
        return f->ioctl(cmd, &r);
    }
    int send_words(unsigned long cmd, int32_t w0, int32_t w1, uint32_t w2)
    {
        auto f = model.open(ks_sim::RESTOK_TOKENS_FILE, O_RDONLY, 0);
        request r{w0, w1, w2};
        return f ? f->ioctl(cmd, &r) : -9999;
    }
    std::vector<std::string> requests()
    {
        std::vector<std::string> out;
        ks_sim::read_records(ks_sim::run_path(ks_sim::RESTOK_REQUESTS_STATE), out);
        return out;
    }
    ks_sim::restok_tokens_model model;
};

TEST_F(RestokTokensModel, ServesOnlyTheTokensFile)
{
    EXPECT_TRUE(model.serves("/sys/kernel/security/restok/tokens"));
    EXPECT_FALSE(model.serves("/sys/kernel/security/restok"));
    EXPECT_FALSE(model.serves("/sys/kernel/security/creds/read"));
}

TEST_F(RestokTokensModel, TreeOfIdsAndRedefinitions)
{
    EXPECT_EQ(send(0x89F1, 0, ""), 1);
    EXPECT_EQ(send(0x89F1, 1, "tcb"), 2);
    EXPECT_EQ(send(0x89F1, 0, "SRC"), 3);
    EXPECT_EQ(send(0x89F1, 3, "tcb"), 4);       // same name, other owner: a new token
    EXPECT_EQ(send(0x89F1, 1, "tcb"), 2);       // existing name under one owner: its id
    EXPECT_EQ(send(0x89F1, 0, ""), 1);
    EXPECT_EQ(send(0x89F1, 99, "x"), -ENOENT);  // no such owner
    EXPECT_EQ(send(0x89F0, 0, "tcb"), 2);       // lookup: the first of that name
    EXPECT_EQ(send(0x89F0, 0, ""), 1);
    EXPECT_EQ(send(0x89F0, 0, "nothing"), -ENOENT);
    auto tree = ks_sim::restok_tokens();
    ASSERT_EQ(tree.size(), 4u);
    EXPECT_EQ(tree[3].id, 4);
    EXPECT_EQ(tree[3].owner, 3);
    EXPECT_EQ(tree[3].name, "tcb");
    EXPECT_EQ(ks_sim::restok_token_id("SRC"), 3);
    EXPECT_EQ(ks_sim::restok_token_id("none"), -1);
}

TEST_F(RestokTokensModel, ManagerRegistration)
{
    EXPECT_EQ(ks_sim::restok_manager_value(getpid()), -1);
    EXPECT_EQ(send_words(0x89F3, 2, 0, 0), -EPERM);  // no "tcb" yet
    send(0x89F1, 0, "");
    send(0x89F1, 1, "tcb");
    EXPECT_EQ(send_words(0x89F3, 1, 0, 0), -EPERM);  // the root is not "tcb"
    EXPECT_EQ(send_words(0x89F3, 2, 0, 0), 0);
    EXPECT_EQ(ks_sim::restok_manager_value(getpid()), 2);
    EXPECT_EQ(ks_sim::restok_manager_value(getpid() + 1), -1);
}

TEST_F(RestokTokensModel, RequestsAreRecordedWithTheirWords)
{
    send(0x89F1, 0, "");
    send(0x89F1, 1, "tcb");
    send(0x89F0, 0, "none");
    send_words(0x89F2, 5, 7, 6);
    send_words(0x89F3, 2, 0, 0);
    send_words(0x1234, 0, 0, 0);
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              "0x89F1 0 0  = 1",
                              "0x89F1 1 3 tcb = 2",
                              "0x89F0 0 4 none = -2 (No such file or directory)",
                              "0x89F2 5 7 6 = 0",
                              "0x89F3 2 0 0 = 0",
                              "0x1234 ? = -25 (Inappropriate ioctl for device)",
                          }));
}

TEST_F(RestokTokensModel, BadRecords)
{
    auto f = model.open(ks_sim::RESTOK_TOKENS_FILE, O_RDONLY, 0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->ioctl(0x89F1, nullptr), -EFAULT);
    request r{0, 5, 0};
    EXPECT_EQ(f->ioctl(0x89F1, &r), -EFAULT);
    r = {0, -1, 0};
    EXPECT_EQ(f->ioctl(0x89F0, &r), -EINVAL);
    r = {0, 1 << 20, 0};
    EXPECT_EQ(f->ioctl(0x89F0, &r), -EINVAL);
}

TEST_F(RestokTokensModel, Faults)
{
    arm("restok.open=13\n");
    errno = 0;
    EXPECT_EQ(model.open(ks_sim::RESTOK_TOKENS_FILE, O_RDONLY, 0), nullptr);
    EXPECT_EQ(errno, 13);
    arm("restok.open\n");
    EXPECT_EQ(model.open(ks_sim::RESTOK_TOKENS_FILE, O_RDONLY, 0), nullptr);
    EXPECT_EQ(errno, ENOENT);

    arm("restok.root_zero\n");
    EXPECT_EQ(send(0x89F1, 0, ""), 0);
    arm("restok.root_fails\n");
    EXPECT_EQ(send(0x89F1, 0, ""), -EPERM);
    arm("");
    EXPECT_EQ(send(0x89F1, 0, ""), 1);
    arm("restok.tcb_fails\n");
    EXPECT_EQ(send(0x89F1, 1, "tcb"), -EPERM);
    arm("");
    EXPECT_EQ(send(0x89F1, 1, "tcb"), 2);
    arm("restok.manager_refuses\n");
    EXPECT_EQ(send_words(0x89F3, 2, 0, 0), -EPERM);
}

}  // namespace
