#include "support/tarvo_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// Every kind of file at the path: only a regular file opens, and nothing
// waits (the alarm ends a test that does).
TEST(TarvoOpenRegularFile, OnlyARegularFileOpensAndNothingWaits)
{
    char tmpl[] = "/tmp/tarvo-file-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string file = dir + "/file", fifo = dir + "/fifo", link = dir + "/link";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    struct row {
        std::string path;
        int flags;
        int error;  // 0: opens
    } rows[] = {
        {file, 0, 0},
        {link, 0, 0},
        {link, O_NOFOLLOW, ELOOP},
        {fifo, 0, EINVAL},
        {dir, 0, EISDIR},
        {"/dev/null", 0, EINVAL},
        {dir + "/missing", 0, ENOENT},
    };
    alarm(10);
    for (const row &r : rows) {
        SCOPED_TRACE(r.path);
        errno = 0;
        int got = tarvo_open_regular_file(r.path.c_str(), r.flags);
        if (r.error == 0) {
            EXPECT_GE(got, 0);
            EXPECT_EQ(fcntl(got, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
            close(got);
        } else {
            EXPECT_EQ(got, -1);
            EXPECT_EQ(errno, r.error);
        }
    }
    alarm(0);
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
