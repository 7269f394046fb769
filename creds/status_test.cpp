// The status-file reader on fixture texts, and the queries on this machine
// (which has no credentials module, so they read the status files).
#include "creds/creds.h"
#include "creds/internal.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// A descriptor reading the text (a memory file, so any length fits).
int fixture(const std::string &text)
{
    int fd = memfd_create("status", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

constexpr uint32_t CANARY = 0xC0DEC0DE;

struct reading {
    int answer;
    int err;
    std::vector<uint32_t> words;  // the room's words, canaries included
};

reading read_status(const std::string &text, int room, size_t extra = 4)
{
    std::vector<uint32_t> buf(size_t(room) + extra, CANARY);
    errno = 0;
    int answer = proc_status_read(fixture(text), buf.data(), room);
    return {answer, errno, buf};
}

std::vector<uint32_t> head(const reading &r, size_t n)
{
    return std::vector<uint32_t>(r.words.begin(), r.words.begin() + long(n));
}

const char typical[] =
    "Name:\tsh\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t42\nNgid:\t0\nPid:\t42\n"
    "Uid:\t1000\t1001\t1001\t1001\nGid:\t100\t101\t101\t101\nFDSize:\t64\n"
    "Groups:\t20 30 \nNStgid:\t42\nCapInh:\t0000000000000000\n"
    "CapPrm:\t000001ffffffffff\nCapEff:\t0000000000003000\nCapBnd:\t000001ffffffffff\n";

TEST(CredsStatus, TypicalFileGivesEntriesInLineOrder)
{
    reading r = read_status(typical, 40);
    ASSERT_EQ(r.answer, 10);
    EXPECT_EQ(head(r, 11), (std::vector<uint32_t>{0x00010001, 1001, 0x00010002, 101,
                                                   creds_header(3, 2), 20, 30,
                                                   0x00020000, 0x3000, 0, CANARY}));
}

TEST(CredsStatus, CapabilityDigits)
{
    struct {
        const char *line;
        uint32_t low, high;
    } rows[] = {
        {"CapEff:\t0000000000003000\n", 0x3000, 0},
        {"CapEff:\t0000001fffffffff\n", 0xFFFFFFFF, 0x1F},
        {"CapEff:  abcdef0123456789\n", 0x23456789, 0xABCDEF01},
        {"CapEff:\t0000001FFFFFFFFF", 0xFFFFFFFF, 0x1F},  // no newline, capitals
        {"CapEff:\t12345678000000001fffffffff\n", 0xFFFFFFFF, 0x1F},  // last 16 digits
        {"CapEff:\t0000 0001 ffff ffff\n", 0xFFFFFFFF, 1},  // blanks inside the run
        {"CapEff:\t5x7\n", 5, 0},
    };
    for (auto &row : rows) {
        reading r = read_status(row.line, 3);
        EXPECT_EQ(r.answer, 3) << row.line;
        EXPECT_EQ(head(r, 4), (std::vector<uint32_t>{0x00020000, row.low, row.high, CANARY}))
            << row.line;
    }
}

TEST(CredsStatus, CapabilityLineWithoutDigitsEndsWithEinval)
{
    for (const char *text : {"Uid:\t1 2 3 4\nCapEff:\t\nGid:\t5 6\n", "Uid:\t1 2\nCapEff:\txyz\n",
                             "Uid:\t1 2\nCapEff:"}) {
        reading r = read_status(text, 40);
        EXPECT_EQ(r.answer, 0) << text;
        EXPECT_EQ(r.err, EINVAL) << text;
    }
}

// Lines longer than the reader's buffer, keys only at line start, and the
// room: words are written only while they fit, the count goes on.
TEST(CredsStatus, SixtyGroupsNeedASecondAsk)
{
    std::string text = "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nGroups:";
    std::vector<uint32_t> groups;
    for (uint32_t g = 0; g < 60; g++) {
        groups.push_back(100000 + g);
        text += " " + std::to_string(100000 + g);
    }
    text += "\nXUid:\t5 5\nSigQ: Uid: 7\nCapEff:\t0000000000000001\n";

    reading first = read_status(text, 40);
    ASSERT_EQ(first.answer, 68);
    std::vector<uint32_t> want = {0x00010001, 0, 0x00010002, 0, creds_header(3, 35)};
    want.insert(want.end(), groups.begin(), groups.begin() + 35);
    want.insert(want.end(), 4, CANARY);
    EXPECT_EQ(first.words, want);
    EXPECT_TRUE(creds_words_whole(first.words.data(), 40));

    reading second = read_status(text, 68);
    ASSERT_EQ(second.answer, 68);
    want = {0x00010001, 0, 0x00010002, 0, creds_header(3, 60)};
    want.insert(want.end(), groups.begin(), groups.end());
    want.insert(want.end(), {0x00020000, 1, 0, CANARY});
    EXPECT_EQ(head(second, 69), want);
}

TEST(CredsStatus, OddLines)
{
    struct {
        const char *text;
        int answer;
        std::vector<uint32_t> words;
    } rows[] = {
        {"", 0, {}},
        {"Groups:\t\n", 1, {creds_header(3, 0)}},  // an empty line still gives its header
        {"Uid:\n", 0, {}},                          // no ids, no entry
        {"Uid:\t7\n", 0, {}},
        {"Uid: 1 2\r\nGid:\t3\t4", 4, {0x00010001, 2, 0x00010002, 4}},
        {"Groups: 1 x 2\n", 2, {creds_header(3, 1), 1}},
        {"Uid:\t99999999999 1\n", 0, {}},
        {"CapPrm:\tffff\nCapInh:\tffff\n", 0, {}},
        {"uid:\t1 1\nGid:\t2 2\n", 2, {0x00010002, 2}},
    };
    for (auto &row : rows) {
        reading r = read_status(row.text, 8);
        EXPECT_EQ(r.answer, row.answer) << row.text;
        EXPECT_EQ(head(r, row.words.size()), row.words) << row.text;
        EXPECT_EQ(r.words[row.words.size()], CANARY) << row.text;
    }
}

TEST(CredsStatus, GroupCountBeyondAnEntryIsRefused)
{
    std::string text = "Groups:";
    for (int g = 0; g < 0x10000; g++)
        text += " 1";
    text += "\n";
    EXPECT_EQ(read_status(text, 0).answer, -EOVERFLOW);
}

TEST(CredsStatus, ZeroRoomCountsOnly)
{
    reading r = read_status(typical, 0);
    EXPECT_EQ(r.answer, 10);
    EXPECT_EQ(r.words, std::vector<uint32_t>(4, CANARY));
}

class CredsQuery : public testing::Test {
protected:
    void SetUp() override
    {
        if (access(CREDS_READ_PATH, F_OK) == 0)
            GTEST_SKIP() << "the credentials module is present";
    }
};

TEST_F(CredsQuery, OwnCredentialsThroughStatusFile)
{
    creds_handle h = creds_for_task(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(creds_has(h, 1, int(geteuid())), 1);
    EXPECT_EQ(creds_has(h, 2, int(getegid())), 1);
    EXPECT_EQ(creds_has(h, 3, int(getegid())), 1);
    creds_handle other = creds_for_task(getpid());
    ASSERT_NE(other, nullptr);
    int n1, n2;
    const uint32_t *w1 = creds_raw_list(h, &n1), *w2 = creds_raw_list(other, &n2);
    EXPECT_EQ(std::vector<uint32_t>(w1, w1 + n1), std::vector<uint32_t>(w2, w2 + n2));
    if (geteuid() == 0) {
        EXPECT_EQ(creds_has(h, 0, 21), 1);  // sys_admin
    }
    creds_release(other);
    creds_release(h);
}

TEST_F(CredsQuery, MissingProcessGivesEnoent)
{
    // Process ids above the kernel's limit never exist.
    errno = 0;
    EXPECT_EQ(creds_for_task(0x7FFFFFF0), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(proc_status_creds(0x7FFFFFF0, nullptr, 0), -ENOENT);
}

TEST_F(CredsQuery, PeerThroughItsProcess)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    creds_handle h = creds_for_peer(sv[0]);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(creds_has(h, 1, int(geteuid())), 1);
    creds_release(h);
    close(sv[0]);
    close(sv[1]);
    errno = 0;
    EXPECT_EQ(creds_for_peer(-1), nullptr);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
