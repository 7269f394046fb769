// The vdata file on the device's path (runs in the sandbox): reading,
// writing, recording and checking hashes without usable hardware, and
// against a software-certificate digest.
#include "crypto/crypto_fixture.h"
#include "crypto/vdata.h"

#include <openssl/sha.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <fstream>
#include <sstream>

namespace {

using strings = std::vector<std::string>;


class CryptoVdata : public CryptoTest {
protected:
    void SetUp() override
    {
        CryptoTest::SetUp();
        unlink(TARVO_VDATA_PATH);
        write_file("/etc/a", "first file\n");
        write_file("/etc/b", "second file\n");
    }
    void TearDown() override
    {
        unlink(TARVO_VDATA_PATH);
        CryptoTest::TearDown();
    }
    // The software certificate's digest as a set-up that read it holds it.
    static void certificate_digest_of(const std::string &content)
    {
        ASSERT_EQ(tarvo_crypto_init(), 1);
        SHA1(reinterpret_cast<const unsigned char *>(content.data()), content.size(),
             crypto.vdata_digest);
        crypto.vdata_digest_cached = true;
    }
    static tarvo_vdata read_list(int expected = 0)
    {
        tarvo_vdata *list = nullptr;
        EXPECT_EQ(read_tarvo_vdata(&list), expected);
        tarvo_vdata copy;
        if (list)
            copy = *list;
        delete list;
        return copy;
    }
};

TEST_F(CryptoVdata, WrittenListReadsBack)
{
    without_hardware();
    const std::string a(40, 'a'), b(40, 'b');
    const tarvo_vdata list = {{"/z", a}, {"/etc/x", b}, {"/etc", a}, {"/etc/x y", b}};
    ASSERT_EQ(save_tarvo_vdata(list), 1);
    EXPECT_EQ(read_file(TARVO_VDATA_PATH),
              a + "  /etc\n" + b + "  /etc/x\n" + b + "  /etc/x y\n" + a + "  /z\n");
    EXPECT_EQ(read_list(), list);

    // Two lines for one path: the later hash wins, and is written once.
    write_file(TARVO_VDATA_PATH, a + "  /etc/x\n" + b + " */etc/x\n");
    tarvo_vdata twice = read_list();
    EXPECT_EQ(twice, (tarvo_vdata{{"/etc/x", b}}));
    ASSERT_EQ(save_tarvo_vdata(twice), 1);
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), b + "  /etc/x\n");

    // Larger than any list: refused before it takes the memory.
    write_file(TARVO_VDATA_PATH, a + "  /etc/x\n");
    ASSERT_EQ(truncate(TARVO_VDATA_PATH, off_t(1) << 30), 0);
    tarvo_vdata *none = nullptr;
    reports();
    EXPECT_EQ(read_tarvo_vdata(&none), 1);
    EXPECT_EQ(none, nullptr);
    reports();

    // Missing or empty: an empty, trusted list.
    unlink(TARVO_VDATA_PATH);
    EXPECT_TRUE(read_list().empty());
    write_file(TARVO_VDATA_PATH, "");
    reports();
    EXPECT_TRUE(read_list().empty());
    EXPECT_EQ(reports(), strings{"'/etc/tarvo_vdata' is empty"});
}

// New lists left by writers that died before their rename never stop a
// save: the caller's own names are made anew, and those of processes that
// are gone are removed; a live process's stays.
TEST_F(CryptoVdata, NewListsOfDeadWritersAreCleared)
{
    without_hardware();
    const std::string base = std::string(TARVO_VDATA_PATH) + ".new.";
    std::vector<std::string> own;
    for (int n = 0; n < 120; n++)
        own.push_back(base + std::to_string(getpid()) + "." + std::to_string(n));
    own.push_back(base + std::to_string(getpid()) + "." + std::to_string(long(syscall(SYS_gettid))));
    pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string of_dead = base + std::to_string(dead) + ".7";
    const std::string of_live = base + "1.7";  // the sandbox's first process
    for (const std::string &path : own)
        write_file(path.c_str(), "left\n");
    write_file(of_dead.c_str(), "left\n");
    write_file(of_live.c_str(), "left\n");
    const tarvo_vdata list = {{"/etc/x", std::string(40, 'a')}};
    EXPECT_EQ(save_tarvo_vdata(list), 1);
    EXPECT_EQ(read_list(), list);
    struct stat st;
    EXPECT_NE(stat(of_dead.c_str(), &st), 0);
    EXPECT_EQ(stat(of_live.c_str(), &st), 0);
    for (const std::string &path : own)
        unlink(path.c_str());
    unlink(of_live.c_str());
}

TEST_F(CryptoVdata, RecordAndCheckWithoutHardware)
{
    without_hardware();
    reports();
    // The first recording creates the file, mode 0644 whatever the umask.
    mode_t old = umask(0);
    EXPECT_EQ(save_global_signature("/etc/a", nullptr), 1);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(TARVO_VDATA_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    const std::string ha = sha1_hex("first file\n"), hb = sha1_hex("second file\n");
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), ha + "  /etc/a\n");
    EXPECT_EQ(verify_global_signature("/etc/a", nullptr), 0);

    // A given digest is recorded as given.
    unsigned char digest[20];
    memset(digest, 0x5A, 20);
    EXPECT_EQ(save_global_signature("/etc/c", digest), 1);
    EXPECT_EQ(verify_global_signature("/etc/c", digest), 0);
    // Each reading of the list notes that the list itself is taken unchecked.
    for (const std::string &r : reports())
        EXPECT_EQ(r, "verify_global_signature: cannot verify '/etc/tarvo_vdata', KZ4 not usable");

    const struct {
        const char *path;
        std::string content;  // written before the check, "" keeps it
        int expected;
        std::string report;
    } cases[] = {
        {"/etc/b", "", 2, "verify_global_signature: no signature for '/etc/b' (" + hb + ")"},
        {"/etc/a", "changed\n", 3,
         "verify_global_signature: wrong signature (" + ha + ") for '/etc/a' (" +
             sha1_hex("changed\n") + ")"},
        // Another spelling of the list's path is not the list itself.
        {"//etc/tarvo_vdata", "", 2,
         "verify_global_signature: no signature for '//etc/tarvo_vdata' (" +
             sha1_hex(read_file(TARVO_VDATA_PATH)) + ")"},
        // A file whose digest cannot be had matches nothing.
        {"/etc/missing", "", 2, "verify_global_signature: no signature for '/etc/missing' ()"},
        // The list itself cannot be checked without the hardware.
        {TARVO_VDATA_PATH, "", 0,
         "verify_global_signature: cannot verify '/etc/tarvo_vdata', KZ4 not usable"},
    };
    for (const auto &c : cases) {
        if (!c.content.empty())
            write_file(c.path, c.content);
        EXPECT_EQ(verify_global_signature(c.path, nullptr), c.expected) << c.path;
        strings r = reports();
        ASSERT_FALSE(r.empty()) << c.path;
        EXPECT_EQ(r.back(), c.report) << c.path;
    }
}

// Paths that would not read back as written are never recorded.
TEST_F(CryptoVdata, PathsThatCannotBeListedAreRefused)
{
    without_hardware();
    ASSERT_EQ(save_global_signature("/etc/a", nullptr), 1);
    const std::string before = read_file(TARVO_VDATA_PATH);
    unsigned char digest[20] = {};
    for (const char *path :
         {"/etc/x\n0000000000000000000000000000000000000000  /etc/b", " /etc/a", "*x", "\t/a", ""}) {
        errno = 0;
        EXPECT_EQ(save_global_signature(path, digest), 0) << path;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), before);
}

TEST_F(CryptoVdata, ListMatchingTheCertificate)
{
    const std::string list = sha1_hex("first file\n") + "  /etc/a\n";
    write_file(TARVO_VDATA_PATH, list);
    certificate_digest_of(list);
    EXPECT_EQ(read_list(), (tarvo_vdata{{"/etc/a", sha1_hex("first file\n")}}));
    EXPECT_EQ(verify_global_signature("/etc/a", nullptr), 0);
    // The list itself; a process without "tcb" only gets 0.
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 0);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(save_global_signature("/etc/b", nullptr), 1);
}

TEST_F(CryptoVdata, ListNotMatchingTheCertificate)
{
    const std::string list = sha1_hex("first file\n") + "  /etc/a\n";
    write_file(TARVO_VDATA_PATH, list);
    certificate_digest_of("another list\n");
    const std::string computed = sha1_hex(list), certified = sha1_hex("another list\n");
    reports();

    // Recording fails and leaves the file as it was.
    EXPECT_EQ(save_global_signature("/etc/b", nullptr), 0);
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), list);
    strings r = reports();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0], "read_tarvo_vdata: hash of '/etc/tarvo_vdata' (" + computed +
                        ") does not match hash in swcert (" + certified + ")");

    // Every other path fails with the store check's result.
    int result = verify_global_signature("/etc/a", nullptr);
    EXPECT_NE(result, 0);
    r = reports();
    EXPECT_TRUE(has(r, "verify_global_signature: failed to load '/etc/tarvo_vdata'"));

    // The list itself: 3, with the certificate's line and an empty listed hash.
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 3);
    EXPECT_EQ(reports(),
              (strings{"verify_global_signature: hash of '/etc/tarvo_vdata' (" + computed +
                           ") does not match hash in swcert (" + certified + ")",
                       "verify_global_signature: wrong signature () for '/etc/tarvo_vdata' (" +
                           computed + ")"}));
}

// With usable hardware a certificate that cannot be read vouches for
// nothing: the list fails, nothing is recorded in it, and the reading is
// tried again at the next use.
TEST_F(CryptoVdata, CertificateThatCannotBeRead)
{
    const std::string list = sha1_hex("first file\n") + "  /etc/a\n";
    write_file(TARVO_VDATA_PATH, list);
    ASSERT_EQ(tarvo_crypto_init(), 1);
    ASSERT_TRUE(crypto.hw_usable);
    reports();
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 3);
    auto failed_read = [](const strings &r) {
        return std::count_if(r.begin(), r.end(), [](const std::string &l) {
            return l.rfind("get_vdata_digest: failed to read the SW cert (", 0) == 0;
        });
    };
    strings r = reports();
    EXPECT_EQ(failed_read(r), 1) << ::testing::PrintToString(r);
    EXPECT_TRUE(has(r, "verify_global_signature: cannot verify '/etc/tarvo_vdata', cannot read "
                       "SW cert"));
    EXPECT_FALSE(crypto.vdata_digest_cached);
    // No store lists the list, so it does not count; the certificate is
    // asked for again.
    EXPECT_EQ(verify_global_signature("/etc/a", nullptr), 3);
    r = reports();
    EXPECT_GE(failed_read(r), 1);
    EXPECT_TRUE(has(r, "verify_global_signature: failed to load '/etc/tarvo_vdata'"));
    EXPECT_EQ(save_global_signature("/etc/b", nullptr), 0);
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), list);
}

// A list that cannot be read whole is a failure, never an empty trusted
// list, and is not rewritten by the next recording.
TEST_F(CryptoVdata, ListThatCannotBeRead)
{
    without_hardware();
    const struct {
        const char *what;
        std::function<void()> make;  // puts the unreadable list in place
        bool no_descriptors;         // the child has no descriptor left
    } cases[] = {
        {"a directory", [] { ASSERT_EQ(mkdir(TARVO_VDATA_PATH, 0755), 0); }, false},
        {"a FIFO", [] { ASSERT_EQ(mkfifo(TARVO_VDATA_PATH, 0644), 0); }, false},
        {"too large to map",
         [] {
             write_file(TARVO_VDATA_PATH, sha1_hex("x") + "  /etc/a\n");
             ASSERT_EQ(truncate(TARVO_VDATA_PATH, off_t(1) << 32 | 1), 0);
         },
         false},
        {"no descriptor left", [] { write_file(TARVO_VDATA_PATH, sha1_hex("x") + "  /etc/a\n"); },
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.make();
        struct stat before;
        ASSERT_EQ(lstat(TARVO_VDATA_PATH, &before), 0);
        const bool no_descriptors = c.no_descriptors;
        std::vector<int> status = run_children(1, 60, [no_descriptors](int) {
            if (no_descriptors)
                while (dup(0) >= 0) {
                }
            tarvo_vdata *list = nullptr;
            int bad = read_tarvo_vdata(&list) != 1 || list != nullptr;
            bad |= (verify_global_signature("/etc/a", nullptr) == 0) << 1;
            bad |= (save_global_signature("/etc/b", nullptr) != 0) << 2;
            delete list;
            return bad;
        });
        ASSERT_EQ(status.size(), 1u);
        EXPECT_TRUE(exited_cleanly(status[0])) << status[0];
        struct stat after;
        ASSERT_EQ(lstat(TARVO_VDATA_PATH, &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_size, before.st_size);
        if (S_ISDIR(after.st_mode))
            rmdir(TARVO_VDATA_PATH);
        else
            unlink(TARVO_VDATA_PATH);
    }
}

// Processes recording at once take turns: every recording that succeeded
// is in the list afterwards, and no reader meets a list cut short.
TEST_F(CryptoVdata, ConcurrentRecordingsLoseNothing)
{
    without_hardware();
    constexpr int CHILDREN = 4, FILES = 25;
    auto path_of = [](int child, int file) {
        return "/etc/v-" + std::to_string(child) + "-" + std::to_string(file);
    };
    for (int i = 0; i < CHILDREN; i++)
        for (int j = 0; j < FILES; j++)
            write_file(path_of(i, j).c_str(), path_of(i, j) + "\n");
    std::vector<int> status = run_children(CHILDREN, 300, [&](int i) {
        int failed = 0;
        for (int j = 0; j < FILES; j++)
            if (tarvo_crypto_sign_file(path_of(i, j).c_str(), nullptr, 0, "tcb") != 0)
                failed++;
        return failed;
    });
    for (int s : status)
        EXPECT_TRUE(exited_cleanly(s)) << (s != -1 && WIFSIGNALED(s) ? WTERMSIG(s) : -1);
    tarvo_vdata list = read_list();
    EXPECT_EQ(list.size(), size_t(CHILDREN * FILES));
    for (int i = 0; i < CHILDREN; i++)
        for (int j = 0; j < FILES; j++) {
            const std::string p = path_of(i, j);
            EXPECT_EQ(list[p], sha1_hex(p + "\n")) << p;
            unlink(p.c_str());
        }
    // No new list was left behind.
    EXPECT_EQ(etc_names("tarvo_vdata.new"), strings{});
}

// A lock file that is not the recorder's own private file is replaced, not
// waited on: here one of mode 0644 held locked by a process of user 65534.
TEST_F(CryptoVdata, LockFileOfAnotherUserIsReplacedNotWaitedOn)
{
    without_hardware();
    const char *lock_path = TARVO_VDATA_PATH ".lock";
    struct setup {
        uid_t owner;
        mode_t mode;
    } setups[] = {{65534, 0644}, {0, 0644}, {65534, 0600}};
    for (const setup &c : setups) {
        SCOPED_TRACE(std::to_string(c.owner) + " " + std::to_string(c.mode));
        unlink(lock_path);
        int fd = open(lock_path, O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fchown(fd, c.owner, c.owner), 0);
        ASSERT_EQ(fchmod(fd, c.mode), 0);
        close(fd);
        // The holder opens the file, locks it and becomes user 65534.
        pid_t holder = test_fork();
        if (holder == 0) {
            alarm(30);
            int h = open(lock_path, O_RDONLY);
            if (h < 0 || flock(h, LOCK_EX) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0)
                _exit(1);
            pause();
            _exit(0);
        }
        ASSERT_GT(holder, 0);
        for (int i = 0; i < 500; i++) {
            int probe = open(lock_path, O_RDONLY);
            bool held = probe >= 0 && flock(probe, LOCK_EX | LOCK_NB) != 0;
            if (probe >= 0)
                close(probe);
            if (held)
                break;
            struct timespec t = {0, 10000000L};
            syscall(SYS_nanosleep, &t, nullptr);
        }
        pid_t recorder = test_fork();
        if (recorder == 0) {
            alarm(5);
            _exit(save_global_signature("/etc/a", nullptr) == 1 ? 0 : 1);
        }
        ASSERT_GT(recorder, 0);
        int status = -1;
        ASSERT_EQ(waitpid(recorder, &status, 0), recorder);
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        struct stat st;
        ASSERT_EQ(lstat(lock_path, &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(read_file(TARVO_VDATA_PATH), sha1_hex("first file\n") + "  /etc/a\n");
        unlink(TARVO_VDATA_PATH);
    }
    EXPECT_EQ(etc_names("tarvo_vdata.lock.new"), strings{});
}

}  // namespace
