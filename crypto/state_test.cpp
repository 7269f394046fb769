// Per-process set-up of the crypto services against the simulated secure
// side (runs in the sandbox): one set-up per process, the data directory,
// the mode without hardware, a forked child's own set-up, the hardware
// mode and the last error text.
#include "crypto/crypto_fixture.h"

#include "creds/creds.h"
#include "support/test_process.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

using CryptoState = CryptoTest;

TEST_F(CryptoState, FirstPublicCallSetsUpOnce)
{
    ASSERT_EQ(crypto.pid, -1);
    EXPECT_EQ(tarvo_crypto_hw_mode(), 1);
    EXPECT_EQ(crypto.pid, int(getpid()));
    EXPECT_TRUE(crypto.hw_usable);
    ASSERT_NE(crypto.application_id, nullptr);
    const char *id = crypto.application_id;
    // A later call keeps the set-up (the same id block, no new open).
    EXPECT_EQ(tarvo_crypto_hw_mode(), 1);
    EXPECT_EQ(crypto.application_id, id);
    EXPECT_EQ(tarvo_crypto_init(), 1);
    EXPECT_EQ(crypto.application_id, id);
    EXPECT_TRUE(reports().empty());
}

TEST_F(CryptoState, DataDirectoryIsMadeOrTheSetUpWaits)
{
    rmdir("/var/lib/tarvo");
    mode_t old = umask(0);
    EXPECT_EQ(tarvo_crypto_init(), 1);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat("/var/lib/tarvo", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // Without its parent the directory cannot be made: nothing is set up,
    // and the next call tries again.
    reset();
    ASSERT_EQ(rmdir("/var/lib/tarvo"), 0);
    ASSERT_EQ(rename("/var/lib", "/var/lib.away"), 0);
    EXPECT_EQ(tarvo_crypto_init(), 0);
    EXPECT_EQ(crypto.pid, -1);
    EXPECT_EQ(crypto.application_id, nullptr);
    EXPECT_EQ(tarvo_crypto_hw_mode(), 0);  // the hardware was never opened
    EXPECT_EQ(crypto.pid, -1);
    ASSERT_EQ(rename("/var/lib.away", "/var/lib"), 0);
    EXPECT_EQ(tarvo_crypto_hw_mode(), 1);
    EXPECT_EQ(crypto.pid, int(getpid()));
}

TEST_F(CryptoState, WithoutHardwarePathsAreTakenAsTheyAre)
{
    without_hardware();
    EXPECT_EQ(crypto.application_id, nullptr);
    EXPECT_EQ(resolve_absolute_paths, 0);
    EXPECT_TRUE(has(reports(), "tarvo_crypto_init: KZ4 ERROR lib=-1 rom=-1 pa=-1"));
    EXPECT_EQ(tarvo_crypto_hw_mode(), 3);
    // Every set-up call sets the switch again.
    resolve_absolute_paths = 1;
    EXPECT_EQ(tarvo_crypto_init(), 1);
    EXPECT_EQ(resolve_absolute_paths, 0);
    EXPECT_TRUE(reports().empty());
}

TEST_F(CryptoState, HardwareModeIsOneOrZero)
{
    const struct {
        const char *mode;
        int expected;
    } cases[] = {{"1", 1}, {"2", 0}, {"0", 0}, {"7", 0}};
    for (const auto &c : cases) {
        configure(std::string("mode=") + c.mode + "\n");
        EXPECT_EQ(tarvo_crypto_hw_mode(), c.expected) << c.mode;
    }
}

TEST_F(CryptoState, LastErrorText)
{
    tarvo_crypto_init();
    errno = 0;
    EXPECT_STREQ(tarvo_crypto_last_error_text(), "");
    errno = ENOENT;
    EXPECT_STREQ(tarvo_crypto_last_error_text(), strerror(ENOENT));
    // The first call of a process sets the services up; errno survives it.
    reset();
    errno = EACCES;
    EXPECT_STREQ(tarvo_crypto_last_error_text(), strerror(EACCES));
    EXPECT_EQ(crypto.pid, int(getpid()));
    // The debug logger's last level-0 message comes first.
    char *saved = dlog_level0_text;
    std::string kept = "last level-0 message";
    dlog_level0_text = &kept[0];
    EXPECT_STREQ(tarvo_crypto_last_error_text(), "last level-0 message");
    dlog_level0_text = saved;
}

// A forked child's first call drops the parent's set-up, opens the
// hardware itself and takes its own application id; the parent keeps its
// own.
TEST_F(CryptoState, ForkedChildSetsItselfUp)
{
    ASSERT_EQ(tarvo_crypto_hw_mode(), 1);
    const int parent = crypto.pid;
    const std::string parent_id = crypto.application_id;
    fflush(nullptr);
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        if (crypto.pid != parent)
            failures |= 1;
        long aid = 0;
        if (creds_from_text("AID::com/example/child", &aid) != 4)
            _exit(64);
        const uint32_t add[] = {uint32_t(4 | 1 << 16), uint32_t(aid)};
        creds_handle extra = creds_from_list(add, 2);
        if (creds_apply_with_flags(extra, 2) != 0)
            _exit(65);
        creds_release(extra);
        if (tarvo_crypto_hw_mode() != 1)
            failures |= 2;
        if (crypto.pid != int(getpid()))
            failures |= 4;
        if (!crypto.application_id ||
            strcmp(crypto.application_id, "AID::com.example.child") != 0)
            failures |= 8;
        // The child's own descriptor serves its requests.
        unsigned char buffer[16];
        if (tarvo_crypto_random(buffer, 16) != 16)
            failures |= 16;
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(crypto.pid, parent);
    EXPECT_EQ(parent_id, crypto.application_id);
    unsigned char buffer[16];
    EXPECT_EQ(tarvo_crypto_random(buffer, 16), 16);
}

}  // namespace
