// The simulator's calls allocate nothing for what no model serves: every
// call a program makes passes through them, and libFuzzer counts the
// allocations of each input (more allocations than frees in an input, again
// and again, and it stops checking the inputs for leaks). Allocations are
// counted through the program's operator new, which the simulator's
// strings and tables use.
#include "sim/core/dispatch.h"
#include "sim/model.h"
#include "sim/testing/state_dir.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void *allocate(size_t n)
{
    if (counting)
        allocations++;
    if (void *p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

}  // namespace

void *operator new(size_t n) { return allocate(n); }
void *operator new[](size_t n) { return allocate(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept
{
    if (counting)
        allocations++;
    return std::malloc(n ? n : 1);
}
void *operator new[](size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

namespace {

namespace d = ks_sim::dispatch;

// The allocations one call makes.
long allocations_of(const std::function<void()> &call)
{
    allocations = 0;
    counting = true;
    call();
    counting = false;
    return allocations;
}

class NoAllocation : public ks_sim::testing::StateDirTest {};

TEST_F(NoAllocation, CallsOnWhatNoModelServes)
{
    // Paths no model serves, longer than a string keeps without
    // allocating: normal, with parts to remove, relative, relative to a
    // directory descriptor, and one whose normal form cannot fit.
    std::string plain = dir + "/a-file-with-a-long-name";
    std::string dotted = dir + "//sub/./../a-file-with-a-long-name";
    std::string too_long = "/" + std::string(PATH_MAX + 10, 'x');
    int dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd, 0);
    int fd = open(plain.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    char buf[16] = {};
    int r;
    int64_t n;
    FILE *f;
    bool served = false;
    const struct {
        const char *what;
        std::function<void()> call;
    } cases[] = {
        {"open of a normal path", [&] { served |= d::open(AT_FDCWD, plain.c_str(), O_RDONLY, 0, &r); }},
        {"open of a path with . and ..", [&] { served |= d::open(AT_FDCWD, dotted.c_str(), O_RDONLY, 0, &r); }},
        {"open of a relative path", [&] { served |= d::open(AT_FDCWD, "sub/../a-file-with-a-long-name", O_RDONLY, 0, &r); }},
        {"open relative to a descriptor", [&] { served |= d::open(dirfd, "./a-file-with-a-long-name", O_RDONLY, 0, &r); }},
        {"open of a path too long", [&] { served |= d::open(AT_FDCWD, too_long.c_str(), O_RDONLY, 0, &r); }},
        {"fopen", [&] { served |= d::fopen(dotted.c_str(), "re", &f); }},
        {"fopen with a bad mode", [&] { served |= d::fopen(dotted.c_str(), "z", &f); }},
        {"simulated_path", [&] { served |= d::simulated_path(dotted.c_str()); }},
        {"read", [&] { served |= d::read(fd, buf, sizeof buf, &n); }},
        {"write", [&] { served |= d::write(fd, "x", 1, &n); }},
        {"pread", [&] { served |= d::pread(fd, buf, sizeof buf, 0, &n); }},
        {"pwrite", [&] { served |= d::pwrite(fd, "x", 1, 0, &n); }},
        {"lseek", [&] { served |= d::lseek(fd, 0, SEEK_SET, &n); }},
        {"ioctl", [&] { served |= d::ioctl(fd, 0, nullptr, &r); }},
        {"fstat's look-up", [&] {
             int backing;
             std::string placeholder;
             served |= d::stat_target(fd, &backing, &placeholder);
         }},
        {"dup's note", [&] { d::duplicated(fd, fd + 100); }},
        {"getxattr", [&] { served |= d::getxattr(dotted.c_str(), -1, "user.a-long-attribute-name", buf, sizeof buf, &n); }},
        {"fgetxattr", [&] { served |= d::getxattr(nullptr, fd, "user.a-long-attribute-name", buf, sizeof buf, &n); }},
        {"setxattr", [&] { served |= d::setxattr(dotted.c_str(), -1, "user.a-long-attribute-name", "v", 1, 0, &r); }},
        {"close", [&] { served |= d::close(fd, &r); }},
    };
    for (const auto &c : cases)
        EXPECT_EQ(allocations_of(c.call), 0) << c.what;
    EXPECT_FALSE(served);
    close(fd);
    close(dirfd);
    ASSERT_EQ(chdir("/"), 0);
}

// A thread's sleep is recorded as it happens (libFuzzer's watchdog thread
// sleeps while the inputs run): after the first record, which opens the
// record file for the process, recording allocates nothing.
TEST_F(NoAllocation, RecordedSleeps)
{
    setenv("KS_SIM_SLEEP_SCALE", "0", 1);
    int64_t wait = -1;
    ASSERT_TRUE(d::sleep_request("sleep", 1000000000, &wait));
    EXPECT_EQ(wait, 0);
    EXPECT_EQ(allocations_of([&] { d::sleep_request("sleep", 1000000000, &wait); }), 0);
    EXPECT_EQ(allocations_of([&] { d::sleep_request("nanosleep", 5, &wait); }), 0);
    std::vector<std::string> recs;
    ASSERT_EQ(ks_sim::read_records(ks_sim::run_path("sleeps"), recs), 0);
    EXPECT_EQ(recs, (std::vector<std::string>{"sleep 1.000000000", "sleep 1.000000000",
                                              "nanosleep 0.000000005"}));
}

TEST_F(NoAllocation, RecordsToAnAbsoluteFile)
{
    std::string file = ks_sim::run_path("records");
    ASSERT_EQ(ks_sim::append_record(file, "first", 5), 0);
    std::string big(4096, 'b');
    EXPECT_EQ(allocations_of([&] { ks_sim::append_record(file, big.data(), big.size()); }), 0);
    std::vector<std::string> recs;
    ASSERT_EQ(ks_sim::read_records(file, recs), 0);
    EXPECT_EQ(recs, (std::vector<std::string>{"first", big}));
}

}  // namespace
