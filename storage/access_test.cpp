// Caller credentials and the permission test of member metadata.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "storage/tarvo_storage.h"
#include "storage/test_caps.h"
#include "storage/test_crypto.h"
#include "support/test_process.h"

namespace {

struct stat record(mode_t mode, uid_t uid, gid_t gid)
{
    struct stat st = {};
    st.st_mode = S_IFREG | mode;
    st.st_uid = uid;
    st.st_gid = gid;
    return st;
}

}  // namespace

TEST(caller_has_token, table)
{
    fake_crypto::reset();
    struct {
        const char *token;
        int hw_mode;
        int result;
        bool credential;
    } cases[] = {
        {nullptr, 1, 0, false},
        {"", 1, 0, false},
        {"unknown.unknown.", 1, 1, false},
        {"UID::0", 1, 1, true},
        {"UID::4242", 1, 0, true},
        {"UID::4242", 3, 0, true},
        {"org.other.app", 1, 0, false},
        {"org.other.app", 0, 0, false},
        {"org.other.app", 3, 1, false},
    };
    ASSERT_EQ(geteuid(), 0u) << "the table assumes a root caller";
    for (const auto &c : cases) {
        fake_crypto::hw_mode = c.hw_mode;
        bool credential = !c.credential;
        EXPECT_EQ(caller_has_token(c.token, &credential), c.result)
            << (c.token ? c.token : "null") << " mode " << c.hw_mode;
        EXPECT_EQ(credential, c.credential) << (c.token ? c.token : "null");
    }
    fake_crypto::reset();
}

TEST(check_permission, classes_and_bits_without_override)
{
    const uid_t me = geteuid();
    const gid_t my_group = getegid();
    const uid_t other = 4242;
    const gid_t other_group = 4343;
    struct {
        const char *what;
        struct stat rec;
        int access;
        int result;
    } cases[] = {
        {"group may read 0640", record(0640, other, my_group), reading, 1},
        {"group may not write 0640", record(0640, other, my_group), writing, 0},
        {"owner bit clear 0004", record(0004, me, other_group), reading, 0},
        {"owner class only 0077", record(0077, me, my_group), writing, 0},
        {"owner executes 0100", record(0100, me, other_group), executing, 1},
        {"owner owns", record(0000, me, other_group), owning, 1},
        {"group never owns", record(0777, other, my_group), owning, 0},
        {"others read 0004", record(0004, other, other_group), reading, 1},
        {"others write 0770", record(0770, other, other_group), writing, 0},
    };
    without_override drop;
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(check_permission(&c.rec, c.access, getpid(), me, my_group), c.result)
            << c.what;
        if (c.result == 0) {
            EXPECT_EQ(errno, EACCES) << c.what;
        }
    }
    struct stat r = record(0777, me, my_group);
    errno = 0;
    EXPECT_EQ(check_permission(&r, 4, getpid(), me, my_group), 0);
    EXPECT_NE(errno, EACCES);
}

TEST(check_permission, override_grants_everything)
{
    struct stat r = record(0000, 4242, 4343);
    for (int access : {reading, writing, executing, owning})
        EXPECT_EQ(check_permission(&r, access, getpid(), geteuid(), getegid()), 1) << access;
    EXPECT_EQ(check_permission(&r, 4, getpid(), geteuid(), getegid()), 0);
}

TEST(check_permission, supplementary_group_counts_as_the_group_class)
{
    // In a child, so that the test process keeps its own groups.
    const gid_t extra = 4545;
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(10);
        if (setgroups(1, &extra) != 0)
            _exit(2);
        without_override drop;
        struct stat r = record(0640, 4242, extra);
        int read_ok = check_permission(&r, reading, getpid(), geteuid(), getegid());
        errno = 0;
        int write_ok = check_permission(&r, writing, getpid(), geteuid(), getegid());
        _exit(read_ok == 1 && write_ok == 0 && errno == EACCES ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
