// File signatures through the stores, end to end (runs in the sandbox):
// the real crypto services and protected storage against the simulated
// secure side, with this process holding the "tcb" credential as the
// token manager and forked children that do not.
#include "crypto/crypto_fixture.h"
#include "crypto/vdata.h"

#include "restok/restok.h"
#include "storage/tarvo_storage.h"
#include "support/test_process.h"

#include <openssl/sha.h>

#include <dirent.h>
#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

using strings = std::vector<std::string>;

const char INDEX[] = "/var/lib/tarvo/ps/Gs/files.tcb";

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}
// Runs the body in a forked child, which does not hold "tcb"; the body's
// result is the child's exit status.
int in_child(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t child = test_fork();
    if (child == 0)
        _exit(body());
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class FileStores : public CryptoTest {
protected:
    void SetUp() override
    {
        CryptoTest::SetUp();
        nftw("/var/lib/tarvo/ps", remove_entry, 16, FTW_DEPTH | FTW_PHYS);
        for (const char *name : {"files.tcb", "files.other", "files.local"})
            shm_unlink((std::string("/tarvo-ps:") + name + ":0:0").c_str());
        unlink(TARVO_VDATA_PATH);
        write_file("/etc/a", "first file\n");
        ASSERT_EQ(restok_be_manager(), 0);
        bool credential = false;
        ASSERT_EQ(caller_has_token("tcb", &credential), 1);
        ASSERT_TRUE(credential);
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
        SHA1(bytes_of(content), content.size(), crypto.vdata_digest);
        crypto.vdata_digest_cached = true;
    }
    static int verify(const char *path, const char *token = "tcb")
    {
        return tarvo_crypto_verify_file(path, nullptr, 0, token);
    }
    static int verify(const char *path, const std::string &data, const char *token = "tcb")
    {
        return tarvo_crypto_verify_file(path, bytes_of(data), data.size(), token);
    }
    // Replaces the first occurrence of a text in the store's index.
    static void edit_index(const std::string &from, const std::string &to)
    {
        std::string index = read_file(INDEX);
        size_t at = index.find(from);
        ASSERT_NE(at, std::string::npos) << index;
        write_file(INDEX, index.replace(at, from.size(), to));
    }
};

TEST_F(FileStores, SignedUnderTcbAndChecked)
{
    ASSERT_EQ(tarvo_crypto_sign_file("/etc/a", nullptr, 0, "tcb"), 0);
    // The index names its owner, the member and its digest, signed under the token.
    std::string index = read_file(INDEX);
    EXPECT_NE(index.find("owner=\"tcb\""), std::string::npos) << index;
    EXPECT_NE(index.find("name=\"/etc/a\""), std::string::npos) << index;
    EXPECT_NE(index.find("-tcb</signature>"), std::string::npos) << index;
    // The vdata file is not involved.
    EXPECT_EQ(access(TARVO_VDATA_PATH, F_OK), -1);

    EXPECT_EQ(verify("/etc/a"), 0);
    EXPECT_EQ(verify("/etc/a", std::string("first file\n")), 0);
    EXPECT_EQ(verify("/etc/a", std::string("other content\n")), 3);
    // Checking needs no credential.
    EXPECT_EQ(in_child([] { return verify("/etc/a"); }), 0);
    EXPECT_TRUE(reports().empty());

    // The file changed on disk after signing.
    write_file("/etc/a", "tampered\n");
    EXPECT_EQ(verify("/etc/a"), 3);
    EXPECT_EQ(in_child([] { return verify("/etc/a"); }), 3);

    // Signing with data replaces the content through a temporary file,
    // which is not left behind, and the store records the new content.
    const std::string next = "next content\n";
    ASSERT_EQ(tarvo_crypto_sign_file("/etc/a", bytes_of(next), next.size(), "tcb"), 0);
    EXPECT_EQ(read_file("/etc/a"), next);
    EXPECT_EQ(etc_names("a."), strings{});
    EXPECT_EQ(verify("/etc/a"), 0);
    EXPECT_EQ(verify("/etc/a", next), 0);
    index = read_file(INDEX);
    EXPECT_EQ(index.find("/etc/a."), std::string::npos) << index;
    // A new file signed with its content.
    ASSERT_EQ(tarvo_crypto_sign_file("/etc/new", bytes_of(next), 0, "tcb"), 0);
    EXPECT_EQ(read_file("/etc/new"), "");
    EXPECT_EQ(verify("/etc/new"), 0);
    EXPECT_TRUE(reports().empty());

    // A file that cannot be read is not signed, and the store keeps its members.
    const std::string before = read_file(INDEX);
    errno = 0;
    EXPECT_EQ(tarvo_crypto_sign_file("/etc/missing", nullptr, 0, "tcb"), 1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(has(reports(), "tarvo_crypto_sign_file: failed to add '/etc/missing' (" +
                                   std::string(strerror(ENOENT)) + ")"));
    EXPECT_EQ(verify("/etc/new"), 0);
    EXPECT_EQ(read_file(INDEX), before);

    // A file the store does not list falls to the vdata file, which has no entry.
    write_file("/etc/b", "second\n");
    EXPECT_EQ(verify("/etc/b"), 2);
    EXPECT_TRUE(has(reports(), "verify_global_signature: no signature for '/etc/b' (" +
                                   sha1_hex("second\n") + ")"));
}

// Without random bytes the temporary name is the path and ".temp": a link
// planted there does not send the new content elsewhere.
TEST_F(FileStores, PredictableTemporaryNameIsNotFollowed)
{
    ASSERT_EQ(tarvo_crypto_init(), 1);
    arm("omap_sec.service=80\nomap_sec.rom=1\n");
    unsigned char byte;
    ASSERT_EQ(tarvo_crypto_random(&byte, 1), -1);
    write_file("/etc/victim", "victim\n");
    ASSERT_EQ(symlink("/etc/victim", "/etc/a.temp"), 0);
    const std::string next = "next content\n";
    EXPECT_EQ(tarvo_crypto_sign_file("/etc/a", bytes_of(next), next.size(), "tcb"), 0);
    EXPECT_EQ(read_file("/etc/victim"), "victim\n");
    EXPECT_EQ(read_file("/etc/a"), next);
    EXPECT_EQ(etc_names("a."), strings{});
    EXPECT_EQ(verify("/etc/a"), 0);
}

// An index changed outside the store no longer counts: its members are
// dropped and the files fall to the vdata file.
TEST_F(FileStores, TamperedIndex)
{
    const struct {
        const char *what;
        std::function<void()> edit;
    } cases[] = {
        {"member digest",
         [] {
             std::string index = read_file(INDEX);
             size_t at = index.find("hash=\"");
             ASSERT_NE(at, std::string::npos);
             index[at + 6] = index[at + 6] == 'A' ? 'B' : 'A';
             write_file(INDEX, index);
         }},
        {"signature taken from the vdata file",
         [] {
             std::string index = read_file(INDEX);
             size_t from = index.find("<signature>"), to = index.find("</signature>");
             ASSERT_TRUE(from != std::string::npos && to != std::string::npos);
             write_file(INDEX, index.substr(0, from + 11) + "external" + index.substr(to));
         }},
        {"owner", [] { edit_index("owner=\"tcb\"", "owner=\"tcb.x\""); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(INDEX);
        shm_unlink("/tarvo-ps:files.tcb:0:0");
        ASSERT_EQ(tarvo_crypto_sign_file("/etc/a", nullptr, 0, "tcb"), 0);
        ASSERT_EQ(verify("/etc/a"), 0);
        c.edit();
        EXPECT_EQ(verify("/etc/a"), 2);
        EXPECT_EQ(in_child([] { return verify("/etc/a"); }), 2);
        reports();
    }
}

TEST_F(FileStores, StoreOfAnotherToken)
{
    // A token the caller does not hold.
    errno = 0;
    EXPECT_EQ(tarvo_crypto_sign_file("/etc/a", nullptr, 0, "other"), 1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(reports(), strings{"access denied, no 'other'"});
    // A process without "tcb" cannot sign under it, with or without data,
    // and the file keeps its content.
    EXPECT_EQ(in_child([] {
                  errno = 0;
                  const std::string data = "replaced\n";
                  int r = tarvo_crypto_sign_file("/etc/a", bytes_of(data), data.size(), "tcb");
                  return r == 1 && errno == EACCES ? 0 : 1;
              }),
              0);
    EXPECT_EQ(read_file("/etc/a"), "first file\n");
    EXPECT_EQ(access(INDEX, F_OK), -1);

    // The store of "other" owned by "tcb": listed, but not signed by "other".
    {
        tarvo::storage store("files.other", "tcb", 0, 0);
        ASSERT_STREQ(store.owner_token(), "tcb");
        store.add_file("/etc/a");
        ASSERT_TRUE(store.commit());
    }
    reports();
    EXPECT_EQ(verify("/etc/a", "other"), 2);
    EXPECT_EQ(reports(), strings{"'files.other' not signed by 'other' but 'tcb'"});
    EXPECT_EQ(verify("/etc/a", std::string("first file\n"), "other"), 2);
}

// Without usable hardware (mode 3) files are signed in the vdata file, and
// a store whose owner is no credential commits an index that the vdata
// file vouches for ("external").
TEST_F(FileStores, HardwareMode3RecordsInTheVdataFile)
{
    without_hardware();
    ASSERT_EQ(tarvo_crypto_hw_mode(), 3);
    ASSERT_EQ(tarvo_crypto_sign_file("/etc/a", nullptr, 0, "tcb"), 0);
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), sha1_hex("first file\n") + "  /etc/a\n");
    EXPECT_EQ(access(INDEX, F_OK), -1);
    EXPECT_EQ(verify("/etc/a"), 0);

    write_file("/etc/b", "second\n");
    {
        tarvo::storage store("files.local", "local", 0, 0);
        ASSERT_STREQ(store.owner_token(), "local");
        store.add_file("/etc/b");
        ASSERT_TRUE(store.commit());
    }
    const std::string index = read_file("/var/lib/tarvo/ps/Gs/files.local");
    EXPECT_NE(index.find("<signature>external</signature>"), std::string::npos) << index;
    EXPECT_NE(read_file(TARVO_VDATA_PATH).find(sha1_hex(index) + "  /var/lib/tarvo/ps/Gs/files.local\n"),
              std::string::npos);
    EXPECT_EQ(verify("/etc/b", "local"), 0);
    write_file("/etc/b", "changed\n");
    EXPECT_EQ(verify("/etc/b", "local"), 3);
}

// The vdata file matching the certificate is signed into the store of
// "tcb" by a process holding "tcb" whenever it is checked; the store then
// vouches for it when the certificate no longer matches.
TEST_F(FileStores, LocalResigningOfTheVdataFile)
{
    const std::string list = sha1_hex("first file\n") + "  /etc/a\n";
    write_file(TARVO_VDATA_PATH, list);
    certificate_digest_of(list);

    testing::internal::CaptureStdout();
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Tarvo: signed '/etc/tarvo_vdata' locally\n");
    EXPECT_NE(read_file(INDEX).find("name=\"/etc/tarvo_vdata\""), std::string::npos);

    // A process without "tcb" only gets 0 and prints nothing.
    EXPECT_EQ(in_child([] {
                  testing::internal::CaptureStdout();
                  int r = verify_global_signature(TARVO_VDATA_PATH, nullptr);
                  fflush(stdout);
                  return r == 0 && testing::internal::GetCapturedStdout().empty() ? 0 : 1;
              }),
              0);

    // Another certificate: the list still counts through its store entry.
    certificate_digest_of("another list\n");
    reports();
    EXPECT_EQ(verify("/etc/a"), 0);
    EXPECT_TRUE(has(reports(), "read_tarvo_vdata: hash of '/etc/tarvo_vdata' (" + sha1_hex(list) +
                                   ") does not match hash in swcert (" +
                                   sha1_hex("another list\n") + ")"));
    // ... but not once it changed.
    write_file(TARVO_VDATA_PATH, list + sha1_hex("second\n") + "  /etc/b\n");
    EXPECT_EQ(verify("/etc/a"), 3);

    // A store that cannot be written: the warning, and still 0.
    write_file(TARVO_VDATA_PATH, list);
    certificate_digest_of(list);
    unlink(INDEX);
    shm_unlink("/tarvo-ps:files.tcb:0:0");
    ASSERT_EQ(mkdir(INDEX, 0755), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 0);
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Tarvo: warning, failed to sign '/etc/tarvo_vdata' locally (", 0), 0u)
        << out;
    EXPECT_EQ(out.back(), '\n');
    rmdir(INDEX);
}

// A store index of "tcb" that defers to the vdata file, while the vdata
// file defers to that store: each check ends instead of recursing.
TEST_F(FileStores, IndexAndVdataFileVouchingForEachOther)
{
    ASSERT_EQ(make_path("/var/lib/tarvo/ps/Gs", 0777), 0);
    write_file(INDEX, "<pstore owner=\"tcb\" version=\"2\"><envelope/>"
                      "<signature>external</signature></pstore>");
    const std::string list = sha1_hex("first file\n") + "  /etc/a\n";
    write_file(TARVO_VDATA_PATH, list);
    certificate_digest_of("another list\n");
    reports();
    EXPECT_EQ(verify("/etc/a"), 3);
    EXPECT_TRUE(has(reports(),
                    "read_tarvo_vdata: '/etc/tarvo_vdata' cannot vouch for the store that lists it"));
}

// The new content of a signed file takes the place of the old file with
// its mode and owner; a new file gets 0644. Neither depends on the umask.
TEST_F(FileStores, ReplacementKeepsModeAndOwner)
{
    const struct {
        const char *what;
        bool exists;
        mode_t mode;
        uid_t uid;
        gid_t gid;
        mode_t expected;
    } cases[] = {
        {"a file of mode 0644", true, 0644, 0, 0, 0644},
        {"a private file of another owner", true, 0600, 1234, 5678, 0600},
        {"a file of mode 0640", true, 0640, 0, 42, 0640},
        {"a new file", false, 0, 0, 0, 0644},
    };
    const mode_t old_mask = umask(0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const char *path = "/etc/kept";
        unlink(path);
        if (c.exists) {
            write_file(path, "old\n");
            ASSERT_EQ(chown(path, c.uid, c.gid), 0);
            ASSERT_EQ(chmod(path, c.mode), 0);
        }
        const std::string next = "new content\n";
        ASSERT_EQ(tarvo_crypto_sign_file(path, bytes_of(next), next.size(), "tcb"), 0);
        struct stat st;
        ASSERT_EQ(stat(path, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected);
        EXPECT_EQ(st.st_uid, c.exists ? c.uid : geteuid());
        EXPECT_EQ(st.st_gid, c.exists ? c.gid : getegid());
        EXPECT_EQ(read_file(path), next);
        EXPECT_EQ(verify(path), 0);
        unlink(path);
    }
    umask(old_mask);
}

// Processes holding "tcb" sign at once: each signing is one transaction
// on the store, so every signing that succeeded verifies afterwards and no
// temporary name is left in the index.
TEST_F(FileStores, ConcurrentSigningLosesNothing)
{
    constexpr int CHILDREN = 4, FILES = 15;
    auto path_of = [](int child, int file) {
        return "/etc/s-" + std::to_string(child) + "-" + std::to_string(file);
    };
    auto failure_mark = [&](int child, int file) { return "/etc/failed-" + path_of(child, file).substr(5); };
    std::vector<int> status = run_children(CHILDREN, 300, [&](int i) {
        if (restok_be_manager() != 0)
            return 100;
        for (int j = 0; j < FILES; j++) {
            const std::string p = path_of(i, j), content = p + " content\n";
            errno = 0;
            if (tarvo_crypto_sign_file(p.c_str(), bytes_of(content), content.size(), "tcb") != 0)
                write_file(failure_mark(i, j).c_str(), strerror(errno));
        }
        return 0;
    });
    for (int s : status)
        EXPECT_TRUE(exited_cleanly(s)) << (s != -1 && WIFSIGNALED(s) ? WTERMSIG(s) : -1);
    const std::string index = read_file(INDEX);
    int signed_files = 0;
    for (int i = 0; i < CHILDREN; i++)
        for (int j = 0; j < FILES; j++) {
            const std::string p = path_of(i, j);
            EXPECT_EQ(index.find(p + "."), std::string::npos) << p;
            if (access(failure_mark(i, j).c_str(), F_OK) == 0) {
                ADD_FAILURE() << p << " not signed: " << read_file(failure_mark(i, j).c_str());
                unlink(failure_mark(i, j).c_str());
            } else {
                signed_files++;
                EXPECT_EQ(verify(p.c_str()), 0) << p;
                EXPECT_EQ(verify(p.c_str(), p + " content\n"), 0) << p;
            }
            unlink(p.c_str());
        }
    EXPECT_EQ(signed_files, CHILDREN * FILES);
}

// Another process changes the shared digest of the store of "tcb" while a
// signing holds its lock, so the signing reloads an index signed
// "external" and checks it against the vdata file, which the store's
// lock-holder must not check through a second object of that store: the
// signing ends instead of waiting for its own lock.
TEST_F(FileStores, ReloadDuringSigningDoesNotWaitForItself)
{
    const std::string external = "<pstore owner=\"tcb\" version=\"2\"><envelope/>"
                                 "<signature>external</signature></pstore>";
    write_file(TARVO_VDATA_PATH, sha1_hex("first file\n") + "  /etc/a\n");
    certificate_digest_of("another list\n");
    ASSERT_EQ(make_path("/var/lib/tarvo/ps/Gs", 0755), 0);
    for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(round);
        write_file(INDEX, external);
        std::vector<int> status = run_children(2, 60, [](int i) {
            if (i == 1) {
                // Scribbles a new digest into the shared object.
                int fd = -1;
                for (int tries = 0; fd < 0 && tries < 2000; tries++) {
                    fd = shm_open("/tarvo-ps:files.tcb:0:0", O_RDWR, 0);
                    if (fd < 0)
                        usleep(500);
                }
                if (fd < 0)
                    return 0;
                for (uint32_t n = 0; n < 20000; n++)
                    if (pwrite(fd, &n, sizeof n, 0) != ssize_t(sizeof n))
                        break;
                close(fd);
                return 0;
            }
            if (restok_be_manager() != 0)
                return 100;
            const std::string data = "next content\n";
            for (int j = 0; j < 20; j++)
                tarvo_crypto_sign_file("/etc/a", bytes_of(data), data.size(), "tcb");
            return 0;
        });
        for (int s : status)
            EXPECT_TRUE(exited_cleanly(s)) << (s != -1 && WIFSIGNALED(s) ? WTERMSIG(s) : -1);
        shm_unlink("/tarvo-ps:files.tcb:0:0");
    }
}

}  // namespace
