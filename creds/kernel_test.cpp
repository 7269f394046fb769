// The kernel requests against the simulated credentials and object-policy
// modules, and the fallbacks when they are absent. Runs in the sandbox;
// cases that change the process's own credentials run in a forked child.
#include "creds/creds.h"

#include "sim/model.h"
#include "sim/models/creds.h"
#include "support/test_process.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<std::string> records(const char *file)
{
    std::vector<std::string> out;
    ks_sim::read_records(ks_sim::run_path(file), out);
    return out;
}

std::vector<uint32_t> words(const creds_set *h)
{
    int n = 0;
    const uint32_t *l = creds_raw_list(h, &n);
    return std::vector<uint32_t>(l, l + n);
}

class CredsKernel : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(access(CREDS_READ_PATH, F_OK), 0) << "not in the sandbox";
        for (const char *f : {ks_sim::CREDS_TASKS_STATE, ks_sim::CREDS_NAMES_STATE,
                              ks_sim::CREDS_REQUESTS_STATE, ks_sim::CREDP_REQUESTS_STATE,
                              "restok.tokens", "restok.manager"})
            unlink(ks_sim::run_path(f).c_str());
        faults("");
    }
    void TearDown() override { faults(""); }
    static void faults(const std::string &f) { ks_sim::write_state("faults", f); }

    // Runs fn in a child process; its failures count as this test's.
    static void in_child(const std::function<void()> &fn)
    {
        std::fflush(nullptr);
        // _Fork: under qemu-arm a child made by fork() crashes before it runs.
        pid_t pid = _Fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            fn();
            _exit(testing::Test::HasFailure() ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child failed";
    }
};

// The module and the status file give the same set for the process.
TEST_F(CredsKernel, ModuleAndStatusFallbackAgree)
{
    creds_handle kernel = creds_for_task(0);
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(records(ks_sim::CREDS_REQUESTS_STATE).size(), 1u);
    faults("creds.open=2");
    creds_handle status = creds_for_task(0);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(records(ks_sim::CREDS_REQUESTS_STATE).size(), 1u);  // not asked
    EXPECT_EQ(words(kernel), words(status));
    EXPECT_EQ(creds_has(kernel, 1, int(geteuid())), 1);
    creds_release(kernel);
    creds_release(status);

    // A kernel without the module: the file is not there at all.
    faults("");
    std::string moved = std::string(CREDS_READ_PATH) + ".away";
    ASSERT_EQ(rename(CREDS_READ_PATH, moved.c_str()), 0);
    creds_handle absent = creds_for_task(getpid());
    long v = 0;
    int type = kernel_text_to_creds("AID::x", &v);
    ASSERT_EQ(rename(moved.c_str(), CREDS_READ_PATH), 0);
    ASSERT_NE(absent, nullptr);
    EXPECT_EQ(creds_has(absent, 2, int(getegid())), 1);
    EXPECT_EQ(type, -1);
    creds_release(absent);
}

TEST_F(CredsKernel, QueryAsksAgainWithTheRoomNeeded)
{
    faults("creds.pad=100");
    creds_handle h = creds_for_task(0);
    ASSERT_NE(h, nullptr);
    auto reqs = records(ks_sim::CREDS_REQUESTS_STATE);
    ASSERT_EQ(reqs.size(), 2u);
    unsigned need = h->actual;
    EXPECT_GT(need, 100u);
    EXPECT_EQ(h->allocated, need);
    EXPECT_EQ(reqs[0], "0x89F0 0 40 = " + std::to_string(need));
    EXPECT_EQ(reqs[1], "0x89F0 0 " + std::to_string(need) + " = " + std::to_string(need));
    // The kernel-defined entry is kept but never counted as a credential.
    int value, n = 0;
    for (int t; (t = creds_entry(h, n, &value)) >= 0; n++)
        EXPECT_LE(t, 3);
    creds_release(h);
}

TEST_F(CredsKernel, QueryGivesUpAfterFourAsks)
{
    faults("creds.unfit");
    errno = 0;
    EXPECT_EQ(creds_for_task(0), nullptr);
    EXPECT_EQ(errno, EAGAIN);
    auto reqs = records(ks_sim::CREDS_REQUESTS_STATE);
    EXPECT_EQ(reqs, (std::vector<std::string>{"0x89F0 0 40 = 41", "0x89F0 0 41 = 42",
                                              "0x89F0 0 42 = 43", "0x89F0 0 43 = 44"}));
}

// Every request opens its file for itself and closes it again, on success
// and on failure.
TEST_F(CredsKernel, NoDescriptorOutlivesARequest)
{
    int before = open_descriptors();
    for (int i = 0; i < 3; i++) {
        creds_release(creds_for_task(0));
        creds_release(creds_for_task(0x7FFFFFF0));
        long v;
        creds_from_text("AID::a", &v);
        creds_from_text("nothing", &v);
        char buf[16];
        creds_to_text(4, 1, buf, sizeof buf);
        creds_define_policy(0x19, "x", nullptr);
        faults("credp.no_89f5");
        creds_policy_request("x", 1, nullptr);
        faults("");
    }
    EXPECT_EQ(open_descriptors(), before);
}

TEST_F(CredsKernel, PeerOfASocket)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    creds_handle peer = creds_for_peer(sv[0]);
    creds_handle own = creds_for_task(0);
    ASSERT_NE(peer, nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(words(peer), words(own));
    EXPECT_EQ(records(ks_sim::CREDS_REQUESTS_STATE).front().compare(0, 7, "0x89F3 "), 0);
    creds_release(peer);
    creds_release(own);
    close(sv[0]);
    close(sv[1]);
}

TEST_F(CredsKernel, AnswerOfBrokenEntriesIsRefused)
{
    faults("creds.broken");
    errno = 0;
    EXPECT_EQ(creds_for_task(0), nullptr);
    EXPECT_EQ(errno, EPROTO);
}

TEST_F(CredsKernel, UnknownProcessFailsWithKernelErrno)
{
    errno = 0;
    EXPECT_EQ(creds_for_task(0x7FFFFFF0), nullptr);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(CredsKernel, TranslationsAskTheKernelFirst)
{
    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "1 0 ", 4);
    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "2 1 tcb", 7);
    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "3 2 inner", 9);
    // A source is the token of its name defined inside "SRC".
    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "4 1 SRC", 7);
    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "5 4 org.example", 15);
    struct {
        const char *text;
        int type;
        long value;
    } rows[] = {
        {"AID::com.example.app", 4, 1}, {"SRC::org.example", 3, 5},
        {"AID::org.other", 4, 2},       {"AID::com.example.app", 4, 1},
        {"tcb", 3, 2},                  {"GRP::tcb", 3, 2},
        {"tcb::inner", 3, 3},           {"CAP::sys_admin", 0, 21},
        {"GRP::", 3, -1},               {"UID::17", 1, 17},
        {"7::42", 7, 42},               {"nothing", -1, -1},
    };
    for (auto &r : rows) {
        long v = 99;
        EXPECT_EQ(creds_from_text(r.text, &v), r.type) << r.text;
        EXPECT_EQ(v, r.value) << r.text;
    }
    auto reqs = records(ks_sim::CREDS_REQUESTS_STATE);
    ASSERT_EQ(reqs.size(), sizeof rows / sizeof rows[0]);
    EXPECT_EQ(reqs[0], "0x89F2 -1 20 AID::com.example.app = 4 1");
    EXPECT_EQ(reqs[4], "0x89F2 -1 3 tcb = 3 2");

    struct {
        int type;
        long value;
        std::string text;
    } back[] = {
        {4, 1, "AID::com.example.app"}, {5, 1, "5::1"}, {0, 5, "CAP::kill"},
        {4, 77, "4::77"}, {1, 17, "UID::17"}, {0, 40, "CAP::40"},
    };
    for (auto &b : back) {
        char buf[64];
        std::memset(buf, 'z', sizeof buf);
        EXPECT_EQ(creds_to_text(b.type, b.value, buf, sizeof buf), int(b.text.size()));
        EXPECT_EQ(buf, b.text);
    }
    // The kernel copies no terminator; the text still ends in the buffer.
    char small[8];
    std::memset(small, 'z', sizeof small);
    EXPECT_EQ(creds_to_text(4, 1, small, sizeof small), 20);
    EXPECT_STREQ(small, "AID::co");
    EXPECT_EQ(records(ks_sim::CREDS_REQUESTS_STATE).back(), "0x89F1 4 8 1 = 20");
}

// Sizes beyond what the request's 16-bit length field can carry: a buffer
// of 64 KiB or more is offered to the kernel as 65535 bytes, never as the
// size's low 16 bits (which would cut the text or leave the buffer
// unwritten), and a text too long for the field is not asked for at all
// (its low 16 bits would ask for a different, shorter text).
TEST_F(CredsKernel, SizesBeyondTheLengthFieldAreNotCut)
{
    long aid = 0;
    ASSERT_EQ(creds_from_text("AID::com.example.app", &aid), 4);
    ASSERT_EQ(aid, 1);
    for (size_t size : {size_t(65535), size_t(65536), size_t(65536 + 8), size_t(70000)}) {
        std::vector<char> buf(size, 'z');
        EXPECT_EQ(creds_to_text(4, aid, buf.data(), size), 20) << size;
        EXPECT_STREQ(buf.data(), "AID::com.example.app") << size;
        EXPECT_EQ(records(ks_sim::CREDS_REQUESTS_STATE).back(), "0x89F1 4 65535 1 = 20") << size;
    }

    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "1 0 ", 4);
    ks_sim::append_record(ks_sim::run_path("restok.tokens"), "2 1 tcb", 7);
    size_t asked = records(ks_sim::CREDS_REQUESTS_STATE).size();
    std::string text = "tcb" + std::string(65536, 'x');  // low 16 bits: "tcb"
    long value = 99;
    EXPECT_EQ(creds_from_text(text.c_str(), &value), -1);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(records(ks_sim::CREDS_REQUESTS_STATE).size(), asked);  // not asked
}

// User and group names come from the device's account files (the test
// image), read by the library itself: long group lines (8 KB, and beyond
// 16 KB) are found as any other, the first of two names of an id is its
// name, and an id without a name is written as a number.
// An account file that is not a regular file is no account file: nothing
// waits on a FIFO in its place, and ids are written as numbers.
TEST_F(CredsKernel, AFifoForAnAccountFileNeverWaits)
{
    ASSERT_EQ(rename("/etc/group", "/etc/group.kept"), 0);
    ASSERT_EQ(mkfifo("/etc/group", 0644), 0);
    alarm(10);
    char buf[64];
    EXPECT_EQ(creds_to_text(3, 3000, buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "GRP::3000");
    long v = 99;
    EXPECT_EQ(creds_from_text("GRP::wide", &v), -1);
    alarm(0);
    unlink("/etc/group");
    ASSERT_EQ(rename("/etc/group.kept", "/etc/group"), 0);
}

TEST_F(CredsKernel, NamesFromTheDeviceDatabases)
{
    struct {
        const char *text;
        int type;
        long value;
    } from[] = {
        {"UID::alice", 1, 1500}, {"UID::twin2", 1, 1502}, {"GID::alice", 2, 1500},
        {"GRP::wide", 3, 3000},  {"GID::wide", 2, 3000},  {"GRP::huge", 3, 3001},
        {"UID::nobody", -1, -1}, {"1::bob", 1, 1501},     {"GRP::dup2", 3, 3002},
    };
    for (auto &r : from) {
        long v = 99;
        EXPECT_EQ(creds_from_text(r.text, &v), r.type) << r.text;
        EXPECT_EQ(v, r.value) << r.text;
    }
    struct {
        int type;
        long value;
        const char *text;
    } to[] = {
        {1, 1500, "UID::alice"}, {1, 1502, "UID::twin"}, {2, 3000, "GID::wide"},
        {3, 3001, "GRP::huge"},  {3, 3002, "GRP::dup"},  {1, 4242, "UID::4242"},
        {2, 0, "GID::root"},
    };
    for (auto &r : to) {
        char buf[64];
        EXPECT_EQ(creds_to_text(r.type, r.value, buf, sizeof buf), int(std::strlen(r.text)));
        EXPECT_STREQ(buf, r.text);
    }
    // Every id written as text reads back as itself.
    for (int type = 1; type <= 3; type++)
        for (long id : {0L, 1500L, 1501L, 3000L, 3001L, 4242L}) {
            char buf[64];
            creds_to_text(type, id, buf, sizeof buf);
            long back = -7;
            EXPECT_EQ(creds_from_text(buf, &back), type) << buf;
            EXPECT_EQ(back, id) << buf;
        }
}

// Applying sets: "add" extends the caller's credentials, "set" replaces
// them; the application id is found by matching, and matching makes no
// texts for the fixed types that cannot match.
TEST_F(CredsKernel, ApplyAndMatchApplicationId)
{
    in_child([] {
        long aid = 0;
        int aid_type = creds_from_text("AID::com/example/app", &aid);
        ASSERT_EQ(aid_type, 4);
        const uint32_t add[] = {creds_header(4, 1), uint32_t(aid)};
        creds_handle extra = creds_from_list(add, 2);
        EXPECT_EQ(creds_apply_with_flags(extra, 2), 0);
        creds_release(extra);

        creds_handle own = creds_for_task(0);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(creds_has(own, 1, int(geteuid())), 1);
        unlink(ks_sim::run_path(ks_sim::CREDS_REQUESTS_STATE).c_str());
        char buf[512];
        EXPECT_EQ(creds_match(own, "AID::*", buf, sizeof buf), 20);
        EXPECT_STREQ(buf, "AID::com/example/app");
        for (auto &r : records(ks_sim::CREDS_REQUESTS_STATE))
            EXPECT_TRUE(r.compare(0, 9, "0x89F1 3 ") == 0 || r.compare(0, 9, "0x89F1 4 ") == 0)
                << r;
        creds_release(own);

        creds_handle only = nullptr;
        ASSERT_EQ(creds_add(&only, 1, 4321), 0);
        EXPECT_EQ(creds_apply(only), 0);
        creds_handle now = creds_for_task(0);
        ASSERT_NE(now, nullptr);
        EXPECT_EQ(words(now), words(only));
        creds_release(now);
        creds_release(only);
    });
    // The parent's credentials did not change.
    creds_handle mine = creds_for_task(0);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(creds_has(mine, 1, int(geteuid())), 1);
    creds_release(mine);
}

TEST_F(CredsKernel, TokenManagerHoldsTcb)
{
    in_child([] {
        std::string rec = std::to_string(getpid()) + " 2";
        ks_sim::append_record(ks_sim::run_path("restok.manager"), rec.data(), rec.size());
        creds_handle own = creds_for_task(0);
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(creds_has(own, 3, 2), 1);
        creds_release(own);
    });
}

TEST_F(CredsKernel, PolicyRequestsCarryTheirWords)
{
    creds_handle h = nullptr;
    ASSERT_EQ(creds_add(&h, 1, 1000), 0);
    ASSERT_EQ(creds_add(&h, 3, 20), 0);
    EXPECT_EQ(creds_define_policy(0x19, "/usr/bin/abc", h), 0);
    EXPECT_EQ(creds_policy_request("obj", 0x1A, h), 0);
    EXPECT_EQ(creds_policy_request_default("obj"), 0);
    EXPECT_EQ(credp_name_request_89f1("n1"), 0);
    EXPECT_EQ(credp_name_request_89f2("n2"), 0);
    creds_reset(h);
    EXPECT_EQ(creds_define_policy(0x19, "empty", h), 0);
    EXPECT_EQ(records(ks_sim::CREDP_REQUESTS_STATE),
              (std::vector<std::string>{
                  "0x89F0 flags=0x19 name=12:/usr/bin/abc count=4 words=10001,3e8,10003,14 = 0",
                  "0x89F5 flags=0x1a name=3:obj count=4 words=10001,3e8,10003,14 = 0",
                  "0x89F5 flags=0x1 name=3:obj count=0 words=(null) = 0",
                  "0x89F1 flags=0x0 name=2:n1 count=0 words=(null) = 0",
                  "0x89F2 flags=0x0 name=2:n2 count=0 words=(null) = 0",
                  "0x89F0 flags=0x19 name=5:empty count=0 words=(null) = 0",
              }));
    creds_release(h);

    in_child([] {
        EXPECT_EQ(creds_apply(nullptr), 0);
        EXPECT_EQ(records(ks_sim::CREDP_REQUESTS_STATE).back(),
                  "0x89F3 flags=0x9 name=0:(null) count=0 words=(null) = 0");
    });
}

TEST_F(CredsKernel, PolicyRequestFallsBackOnlyForUnknownRequest)
{
    faults("credp.no_89f5");
    EXPECT_EQ(creds_policy_request("obj", 1, nullptr), 0);
    auto reqs = records(ks_sim::CREDP_REQUESTS_STATE);
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0], "0x89F5 = -25");
    EXPECT_EQ(reqs[1], "0x89F2 flags=0x0 name=3:obj count=0 words=(null) = 0");

    for (int err : {EPERM, EINVAL}) {
        unlink(ks_sim::run_path(ks_sim::CREDP_REQUESTS_STATE).c_str());
        faults("credp.fail=" + std::to_string(err));
        errno = 0;
        EXPECT_EQ(creds_policy_request("obj", 1, nullptr), -1);
        EXPECT_EQ(errno, err);
        EXPECT_EQ(records(ks_sim::CREDP_REQUESTS_STATE).size(), 1u);
    }

    faults("credp.open=13");
    EXPECT_EQ(creds_define_policy(0x19, "x", nullptr), -EACCES);
    EXPECT_EQ(creds_apply(nullptr), -EACCES);
}

}  // namespace
