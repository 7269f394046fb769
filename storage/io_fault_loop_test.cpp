// The I/O-fault loop: every operation on the stores, the signed files, the
// vdata list and the journal runs with its first, second, ... file-system
// call failing (ENOSPC, then EIO) until a run meets no fault. After each
// run a fresh process reads everything: a reported success shows the new
// state, a reported failure the old one, and nothing else changed.
#include "storage/loop_support.h"

#include <sys/uio.h>

namespace {

using loops::operation;

// The fault reaches the calls a library makes, one by one, and only the
// n-th; a refused close still closes.
TEST(CallFault, FailsTheNthCallOfTheProcess)
{
    ASSERT_TRUE(ks_sim::testing::call_fault::available());
    using ks_sim::testing::call_fault;
    call_fault::arm(2, ENOSPC);
    int fd = ::open("/tmp/call-fault", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    errno = 0;
    EXPECT_EQ(::write(fd, "ab", 2), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(::write(fd, "ab", 2), 2);
    bool struck = false;
    EXPECT_EQ(call_fault::count(&struck), 3);
    EXPECT_TRUE(struck);

    call_fault::arm(3, EIO);
    struct iovec v = {const_cast<char *>("cd"), 2};
    EXPECT_EQ(::writev(fd, &v, 1), 2);
    EXPECT_EQ(::fsync(fd), 0);
    EXPECT_EQ(::rename("/tmp/call-fault", "/tmp/call-fault2"), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::posix_fallocate(fd, 0, 100), 0);
    call_fault::arm(1, EIO);
    EXPECT_EQ(::close(fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed all the same
    // Sticky: every call from the n-th on.
    call_fault::arm(1, ENOSPC, true);
    EXPECT_EQ(::unlink("/tmp/call-fault"), -1);
    EXPECT_EQ(::unlink("/tmp/call-fault"), -1);
    call_fault::disarm();
    EXPECT_EQ(::unlink("/tmp/call-fault"), 0);
    EXPECT_EQ(call_fault::count(&struck), 0);
    EXPECT_FALSE(struck);

    // Killed at the n-th call.
    loops::child_result r = loops::in_child([](std::string &) {
        call_fault::arm(2, 0);
        ::access("/", F_OK);  // not counted
        ::unlink("/tmp/none");
        ::unlink("/tmp/none");
        return 0;
    });
    EXPECT_TRUE(r.killed());
}

class IoFaultLoop : public loops::LoopTest,
                    public ::testing::WithParamInterface<std::tuple<size_t, int>> {};

TEST_P(IoFaultLoop, SuccessShowsTheNewStateAndFailureTheOld)
{
    const operation op = loops::operations().at(std::get<0>(GetParam()));
    const int err = std::get<1>(GetParam());
    SCOPED_TRACE(op.name);
    loops::loop_result r = loops::fault_loop(op, err);
    std::printf("%s, %s: %d runs, %d wrong\n", op.name, err ? strerror(err) : "killed", r.runs,
                r.wrong);
    for (const std::string &f : r.failures)
        ADD_FAILURE() << f;
    EXPECT_EQ(r.wrong, 0) << "of " << r.runs << " runs";
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<size_t, int>> &info)
{
    std::string n = loops::operations().at(std::get<0>(info.param)).name;
    for (char &c : n)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = '_';
    const int err = std::get<1>(info.param);
    return n + (err == ENOSPC ? "_ENOSPC" : err == EIO ? "_EIO" : "_KILL");
}

INSTANTIATE_TEST_SUITE_P(Operations, IoFaultLoop,
                         ::testing::Combine(::testing::Range(size_t(0), loops::operations().size()),
                                            ::testing::Values(ENOSPC, EIO, 0)),
                         case_name);

}  // namespace
