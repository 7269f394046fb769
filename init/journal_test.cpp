// The dpkg wrapper journal on the simulated device (runs in the sandbox):
// its key blob sealed and opened under a token by the crypto services and
// the simulated secure side, its tag checked against OpenSSL's HMAC.
#include "init/journal.h"

#include "crypto/tarvo_crypto.h"
#include "sim/model.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace {

const char DIR_PATH[] = "/tmp/journal";
const char PATH[] = "/tmp/journal/dpkg-journal";
const char BAD_PATH[] = "/tmp/journal/dpkg-journal.bad";

std::string le32(uint32_t v)
{
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

std::string read_file(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const char *path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// What the crypto services make of a key block under a token.
std::string seal(const std::string &block, const char *token = "tcb")
{
    unsigned char *out = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(tarvo_crypto_encrypt(reinterpret_cast<const unsigned char *>(block.data()),
                                   block.size(), token, &out, &n),
              0);
    std::string blob(reinterpret_cast<char *>(out), n);
    tarvo_crypto_release(out);
    return blob;
}

std::string unseal(const std::string &blob)
{
    unsigned char *out = nullptr;
    uint32_t n = 0;
    EXPECT_EQ(tarvo_crypto_decrypt(reinterpret_cast<const unsigned char *>(blob.data()),
                                   blob.size(), "tcb", &out, &n),
              0);
    std::string block(reinterpret_cast<char *>(out), n);
    tarvo_crypto_release(out);
    return block;
}

// The first 24 bytes of HMAC-SHA-256 keyed with the 32 random bytes alone:
// the journal keys its HMAC with the zero-padded 64-byte block, which is
// the same key.
std::string tag_of(const std::string &key32, const std::string &bytes)
{
    unsigned char mac[32];
    unsigned int n = 0;
    HMAC(EVP_sha256(), key32.data(), int(key32.size()),
         reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), mac, &n);
    return std::string(reinterpret_cast<char *>(mac), 24);
}

// A journal file made independently of the class.
std::string journal_file(const std::string &key32, const std::string &records,
                         const char *token = "tcb")
{
    std::string blob = seal(key32 + std::string(32, '\0'), token);
    std::string body = le32(uint32_t(blob.size())) + blob + records;
    return body + tag_of(key32, body);
}

const std::string KEY(32, '\x5a');

// A journal whose key block has a non-zero byte at offset at (32 to 63),
// authenticated with the key it would have if that byte counted.
std::string not_zero_padded(size_t at)
{
    std::string block = KEY + std::string(32, '\0');
    block[at] = '\x01';
    std::string blob = seal(block);
    std::string body = le32(uint32_t(blob.size())) + blob + "records";
    return body + tag_of(KEY, body);
}

// A journal sealed with a key block of the given length.
std::string journal_with_key_of(size_t length)
{
    std::string blob = seal(std::string(length, 'k'));
    std::string body = le32(uint32_t(blob.size())) + blob;
    return body + std::string(24, 't');
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir("/var", 0755);
        mkdir("/var/lib", 0755);
        mkdir(DIR_PATH, 0755);
        unlink(PATH);
        unlink(BAD_PATH);
        ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
    }
    void TearDown() override { ks_sim::write_state("faults", ""); }

    // Opens the journal in a new object: the records (or "<null>") and the
    // warning without the program's name.
    static std::string open_records(std::string *warning = nullptr, uint32_t *length = nullptr)
    {
        std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
        uint32_t n = 12345;
        testing::internal::CaptureStderr();
        const unsigned char *records = j->open(&n);
        std::string w = testing::internal::GetCapturedStderr();
        if (warning) {
            size_t colon = w.find(": ");
            *warning = colon == std::string::npos ? w : w.substr(colon + 2);
        }
        if (length)
            *length = n;
        if (!records) {
            EXPECT_EQ(n, 0u);
            return "<null>";
        }
        return std::string(reinterpret_cast<const char *>(records), n);
    }
};

TEST_F(JournalTest, CreateNeedsPathAndToken)
{
    EXPECT_EQ(create_journal(nullptr, "tcb"), nullptr);
    EXPECT_EQ(create_journal(PATH, nullptr), nullptr);
    std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(j->state(), Journal::STATE_NO_KEY);
    EXPECT_EQ(j->unmap(), 0);
}

TEST_F(JournalTest, MissingFileIsCreatedEmpty)
{
    std::string warning;
    EXPECT_EQ(open_records(&warning), "<null>");
    EXPECT_EQ(warning, "");
    struct stat st;
    ASSERT_EQ(stat(PATH, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(JournalTest, AppendedRecordsOpenAgain)
{
    {
        std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
        EXPECT_EQ(j->append("first;", 6), 0);
        EXPECT_EQ(j->state(), Journal::STATE_READY);
        EXPECT_EQ(j->append("second record;", 14), 0);
    }
    // The file byte by byte: B, the blob, the records, the tag.
    std::string file = read_file(PATH);
    ASSERT_GT(file.size(), 4u);
    uint32_t b = uint32_t(uint8_t(file[0])) | uint32_t(uint8_t(file[1])) << 8 |
                 uint32_t(uint8_t(file[2])) << 16 | uint32_t(uint8_t(file[3])) << 24;
    ASSERT_EQ(file.size(), 4 + b + 20 + 24);
    std::string block = unseal(file.substr(4, b));
    ASSERT_EQ(block.size(), 64u);
    EXPECT_EQ(block.substr(32), std::string(32, '\0'));
    EXPECT_NE(block.substr(0, 32), std::string(32, '\0'));
    EXPECT_EQ(file.substr(4 + b, 20), "first;second record;");
    EXPECT_EQ(file.substr(4 + b + 20), tag_of(block.substr(0, 32), file.substr(0, 4 + b + 20)));

    EXPECT_EQ(open_records(), "first;second record;");

    // An authenticated journal takes further records behind the old ones.
    {
        std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
        uint32_t n = 0;
        ASSERT_NE(j->open(&n), nullptr);
        EXPECT_EQ(j->state(), Journal::STATE_READY);
        EXPECT_EQ(j->append("third", 5), 0);
        EXPECT_EQ(j->unmap(), 0);
    }
    EXPECT_EQ(open_records(), "first;second record;third");
    // A new journal has a new key.
    unlink(PATH);
    {
        std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
        EXPECT_EQ(j->append("x", 1), 0);
    }
    std::string again = read_file(PATH);
    EXPECT_NE(unseal(again.substr(4, b)), block);
}

// The records an open returns are the journal's own copy: a file
// shortened by another process afterwards neither faults their reader nor
// changes them.
TEST_F(JournalTest, OpenedRecordsOutliveChangesToTheFile)
{
    {
        std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
        ASSERT_EQ(j->append(std::string(9000, 'r').c_str(), 9000), 0);
    }
    std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
    uint32_t n = 0;
    const unsigned char *records = j->open(&n);
    ASSERT_NE(records, nullptr);
    ASSERT_EQ(n, 9000u);
    ASSERT_EQ(truncate(PATH, 0), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(records), n), std::string(9000, 'r'));
}

// An append that does not fit keeps every record acknowledged before it:
// on a full file system (the reservation fails) and when the write itself
// falls short (a file-size limit), the journal opens again with the old
// records and goes on taking records that fit.
TEST_F(JournalTest, AppendThatDoesNotFitKeepsTheJournal)
{
    const std::string record(700, 'r');
    enum { FULL_DISK, SHORT_WRITE };
    for (int how : {FULL_DISK, SHORT_WRITE}) {
        SCOPED_TRACE(how == FULL_DISK ? "full disk" : "short write");
        if (how == FULL_DISK) {
            ASSERT_EQ(mount("tmpfs", DIR_PATH, "tmpfs", 0, "size=12k"), 0) << strerror(errno);
        }
        unlink(PATH);
        unlink(BAD_PATH);
        struct rlimit old_limit {};
        getrlimit(RLIMIT_FSIZE, &old_limit);
        void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
        std::string acknowledged;
        int refused = 0;
        {
            std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
            ASSERT_EQ(j->append("start;", 6), 0);
            acknowledged = "start;";
            if (how == SHORT_WRITE) {
                struct rlimit limit = old_limit;
                limit.rlim_cur = rlim_t(read_file(PATH).size() + 3 * record.size() + 100);
                ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
            }
            for (int i = 0; i < 40 && refused == 0; i++) {
                if (j->append(record.data(), uint32_t(record.size())) == 0)
                    acknowledged += record;
                else
                    refused++;
            }
            // A record that fits is still taken after the refusal.
            EXPECT_EQ(j->state(), Journal::STATE_READY);
            if (j->append("end", 3) == 0)
                acknowledged += "end";
        }
        setrlimit(RLIMIT_FSIZE, &old_limit);
        signal(SIGXFSZ, old_handler);
        EXPECT_EQ(refused, 1);
        EXPECT_GT(acknowledged.size(), record.size());
        EXPECT_EQ(open_records(), acknowledged);
        EXPECT_FALSE(exists(BAD_PATH));
        if (how == FULL_DISK) {
            ASSERT_EQ(umount(DIR_PATH), 0);
        }
    }
}

TEST_F(JournalTest, IndependentlyMadeJournalsOpen)
{
    write_file(PATH, journal_file(KEY, "hash lines\n"));
    EXPECT_EQ(open_records(), "hash lines\n");
    // No records: a journal all the same.
    write_file(PATH, journal_file(KEY, ""));
    uint32_t length = 99;
    std::string warning;
    EXPECT_EQ(open_records(&warning, &length), "");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(warning, "");
}

TEST_F(JournalTest, BrokenJournalsYieldNoRecords)
{
    const std::string good = journal_file(KEY, "records");
    const size_t b = good.size() - 28 - 7;
    auto flipped = [&](size_t at) {
        std::string s = good;
        s[at] ^= 0x01;
        return s;
    };
    struct {
        const char *what;
        std::string bytes;
        std::string warning;
        bool moved_aside;
    } cases[] = {
        {"empty", "", "", false},
        {"27 bytes", std::string(27, 'j'), "Journal file length 27 bytes is short\n", false},
        {"30 bytes with B 5", le32(5) + std::string(26, 'j'),
         "Journal file 2 bytes is short for required crypto info 5\n", false},
        {"B beyond the file", le32(0xFFFFFFFFu) + good.substr(4),
         ("Journal file " + std::to_string(good.size() - 28) +
          " bytes is short for required crypto info 4294967295\n"),
         false},
        {"a bit of the blob", flipped(10), "Journal key decryption failed (1)\n", false},
        {"sealed under another token", journal_file(KEY, "records", "other"),
         "Journal key decryption failed (1)\n", false},
        {"a bit of the records", flipped(4 + b + 3), "Journal HMAC authentication failed\n", true},
        {"a bit of the tag", flipped(good.size() - 1), "Journal HMAC authentication failed\n",
         true},
        {"a byte less", good.substr(0, good.size() - 1), "Journal HMAC authentication failed\n",
         true},
        {"a byte more", good + "x", "Journal HMAC authentication failed\n", true},
        {"a key whose byte 63 is set", not_zero_padded(63),
         "Journal key decryption failed -- not zeropadded\n", false},
        {"a key whose byte 32 is set", not_zero_padded(32),
         "Journal key decryption failed -- not zeropadded\n", false},
        {"a key of 48 bytes", journal_with_key_of(48),
         "Journal key decryption returned wrong length 48 != 64\n", false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(BAD_PATH);
        write_file(PATH, c.bytes);
        std::string warning;
        EXPECT_EQ(open_records(&warning), "<null>");
        EXPECT_EQ(warning, c.warning);
        EXPECT_EQ(exists(BAD_PATH), c.moved_aside);
        if (c.moved_aside) {
            EXPECT_EQ(read_file(BAD_PATH), c.bytes);
            // The next open finds a new empty journal.
            EXPECT_EQ(open_records(&warning), "<null>");
            EXPECT_EQ(read_file(PATH), "");
        } else {
            EXPECT_EQ(read_file(PATH), c.bytes);
        }
    }
}

TEST_F(JournalTest, RejectedJournalStartsAgainOnAppend)
{
    std::string bad = journal_file(KEY, "old");
    bad.back() ^= 0x40;
    write_file(PATH, bad);
    std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
    uint32_t n = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(j->open(&n), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(j->state(), Journal::STATE_NO_KEY);
    EXPECT_EQ(j->append("new", 3), 0);
    j.reset();
    EXPECT_EQ(open_records(), "new");
    EXPECT_EQ(read_file(BAD_PATH), bad);
}

// A journal whose key cannot be had is not the wrapper's to overwrite: the
// append that starts a new journal keeps the old one aside first, and says
// so.
TEST_F(JournalTest, UnreadableKeyKeepsTheJournalAsideOnAppend)
{
    std::string good = journal_file(KEY, "old records");
    std::string undecryptable = good;
    undecryptable[10] ^= 0x01;
    struct {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"key blob that does not decrypt", undecryptable},
        {"sealed under another token", journal_file(KEY, "old records", "other")},
        {"key of the wrong length", journal_with_key_of(48)},
        {"key not zero-padded", not_zero_padded(40)},
        {"file too short for its key", le32(5) + std::string(26, 'j')},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(BAD_PATH);
        write_file(PATH, c.bytes);
        std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
        uint32_t n = 1;
        testing::internal::CaptureStderr();
        EXPECT_EQ(j->open(&n), nullptr);
        // Opening alone moves nothing.
        EXPECT_FALSE(exists(BAD_PATH));
        EXPECT_EQ(j->append("new", 3), 0);
        std::string warning = testing::internal::GetCapturedStderr();
        j.reset();
        EXPECT_EQ(read_file(BAD_PATH), c.bytes);
        EXPECT_NE(warning.find("kept as " + std::string(BAD_PATH)), std::string::npos)
            << warning;
        EXPECT_EQ(open_records(), "new");
    }

    // A journal that cannot be kept aside is not overwritten either.
    write_file(PATH, undecryptable);
    unlink(BAD_PATH);
    ASSERT_EQ(mkdir(BAD_PATH, 0755), 0);
    std::unique_ptr<Journal> j(create_journal(PATH, "tcb"));
    uint32_t n = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(j->open(&n), nullptr);
    EXPECT_EQ(j->append("new", 3), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_file(PATH), undecryptable);
    rmdir(BAD_PATH);
}

TEST_F(JournalTest, FailedJournalTakesNothing)
{
    // The file cannot be opened: the journal has failed for good.
    std::unique_ptr<Journal> j(create_journal("/tmp/journal/missing/dpkg-journal", "tcb"));
    uint32_t n = 1;
    EXPECT_EQ(j->open(&n), nullptr);
    EXPECT_EQ(j->state(), Journal::STATE_FAILED);
    mkdir("/tmp/journal/missing", 0755);
    EXPECT_EQ(j->append("r", 1), -1);
    EXPECT_FALSE(exists("/tmp/journal/missing/dpkg-journal"));

    // No random bytes for a new key: nothing is written, now or later.
    write_file(PATH, "");
    std::unique_ptr<Journal> k(create_journal(PATH, "tcb"));
    ASSERT_EQ(ks_sim::write_state("faults", "omap_sec.rom=3\nomap_sec.service=80\n"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(k->append("r", 1), -1);
    std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find("Journal random bit generation returend 4294967295 bytes != 32\n"),
              std::string::npos)
        << warning;
    EXPECT_EQ(k->state(), Journal::STATE_FAILED);
    ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
    EXPECT_EQ(k->append("r", 1), -1);
    EXPECT_EQ(read_file(PATH), "");

    // The key cannot be sealed.
    std::unique_ptr<Journal> m(create_journal(PATH, "tcb"));
    ASSERT_EQ(ks_sim::write_state("faults", "omap_sec.pa=2\nomap_sec.service=896\n"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(m->append("r", 1), -1);
    warning = testing::internal::GetCapturedStderr();
    EXPECT_NE(warning.find("Journal key encryption failed (1) returned bytes 0\n"),
              std::string::npos)
        << warning;
    EXPECT_EQ(read_file(PATH), "");
}

}  // namespace
