#include "init/digest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string hex(const uint8_t *d)
{
    char t[41];
    print_hash_hex(d, t);
    return t;
}

std::string ours(const std::vector<uint8_t> &data, const std::vector<size_t> &pieces)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    size_t off = 0, k = 0;
    while (off < data.size()) {
        size_t n = pieces.empty() ? data.size() : pieces[k++ % pieces.size()];
        n = std::min(n, data.size() - off);
        sha1_update(&ctx, data.data() + off, uint32_t(n));
        off += n;
    }
    uint8_t d[20];
    sha1_final(d, &ctx);
    return hex(d);
}

std::string oracle(const std::vector<uint8_t> &data)
{
    uint8_t d[20];
    SHA1(data.data(), data.size(), d);
    return hex(d);
}

std::vector<uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }

TEST(Sha1, StandardVectors)
{
    struct { std::string msg; const char *digest; } cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (auto &c : cases)
        EXPECT_EQ(ours(bytes(c.msg), {}), c.digest) << c.msg.size() << " bytes";
}

TEST(Sha1, PiecesGiveTheSameDigestAsOneCall)
{
    std::mt19937 rng(1234);
    std::vector<size_t> lengths = {0, 1, 55, 56, 63, 64, 65, 119, 120, 128, 300, 4097};
    for (size_t len = 0; len <= 300; len += 7)
        lengths.push_back(len);
    const std::vector<std::vector<size_t>> chunkings = {{1}, {63}, {64}, {65}, {3, 61, 64, 1}};
    for (size_t len : lengths) {
        std::vector<uint8_t> data(len);
        for (auto &b : data)
            b = uint8_t(rng());
        const std::string want = oracle(data);
        EXPECT_EQ(ours(data, {}), want) << len;
        for (auto &ch : chunkings)
            EXPECT_EQ(ours(data, ch), want) << len << " in pieces of " << ch[0];
        std::vector<size_t> random_pieces;
        for (int i = 0; i < 16; i++)
            random_pieces.push_back(1 + rng() % 150);
        EXPECT_EQ(ours(data, random_pieces), want) << len << " random pieces";
    }
}

TEST(Sha1, MillionRandomBytesAgainstOpenSsl)
{
    std::mt19937 rng(99);
    std::vector<uint8_t> data(1000000);
    for (auto &b : data)
        b = uint8_t(rng());
    EXPECT_EQ(ours(data, {}), oracle(data));
    EXPECT_EQ(ours(data, {4096}), oracle(data));
}

TEST(Sha1, ContextIsZeroAfterFinal)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, "some data that stays in the buffer", 34);
    uint8_t d[20];
    sha1_final(d, &ctx);
    sha1_ctx zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST(Sha1, BitCountCarriesIntoHighWord)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    ctx.count[0] = 0xFFFFFFF8u;  // one byte short of wrapping
    uint8_t b[2] = {1, 2};
    sha1_update(&ctx, b, 2);
    EXPECT_EQ(ctx.count[0], 8u);
    EXPECT_EQ(ctx.count[1], 1u);
}

class HashCalculate : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ks-digest-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string write(const std::string &name, const std::string &content)
    {
        std::string p = dir + "/" + name;
        FILE *f = std::fopen(p.c_str(), "w");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return p;
    }
    // Runs hash_calculate and returns what it wrote on standard error.
    int run(const std::string &path, uint8_t *d, std::string &err)
    {
        testing::internal::CaptureStderr();
        int rc = hash_calculate(path.c_str(), d);
        err = testing::internal::GetCapturedStderr();
        return rc;
    }
    std::string dir;
};

TEST_F(HashCalculate, ResultsAndMessages)
{
    std::string big(10000, 'x');
    struct { std::string path; int rc; std::string err; std::string digest; } cases[] = {
        {write("abc", "abc"), 0, "", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {write("empty", ""), 0, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {write("big", big), 0, "", oracle(bytes(big))},
        {dir + "/missing", -1, "Cannot open " + dir + "/missing\n", ""},
        // Only a regular file is read.
        {dir, -1, "Cannot open " + dir + "\n", ""},
    };
    for (auto &c : cases) {
        uint8_t d[20] = {};
        std::string err;
        EXPECT_EQ(run(c.path, d, err), c.rc) << c.path;
        EXPECT_EQ(err, c.err) << c.path;
        if (c.rc == 0) {
            EXPECT_EQ(hex(d), c.digest) << c.path;
        }
    }
}

// A pipe is no file to digest: refused at the open, without waiting for
// its writer.
TEST_F(HashCalculate, PipeIsNotOpened)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string path = "/proc/self/fd/" + std::to_string(fds[0]);
    uint8_t d[20];
    std::string err;
    EXPECT_EQ(run(path, d, err), -1);
    EXPECT_EQ(err, "Cannot open " + path + "\n");
    close(fds[0]);
    close(fds[1]);
}

TEST(HashHex, ParseTable)
{
    const uint8_t untouched = 0xAB;
    struct { std::string text; int rc; } cases[] = {
        {"a9993e364706816aba3e25717850c26c9cd0d89d", 0},
        {"A9993E364706816ABA3E25717850C26C9CD0D89D", 0},
        {"a9993e364706816aba3e25717850c26c9cd0d89", -34},
        {"a9993e364706816aba3e25717850c26c9cd0d89d0", -34},
        {"", -34},
        {"g9993e364706816aba3e25717850c26c9cd0d89d", -22},
        {"a9993e364706816aba3e25717850c26c9cd0d89 ", -22},
    };
    for (auto &c : cases) {
        uint8_t h[20];
        std::memset(h, untouched, sizeof h);
        EXPECT_EQ(parse_hash_hex(c.text.c_str(), h), c.rc) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ(hex(h), "a9993e364706816aba3e25717850c26c9cd0d89d");
        } else {
            for (uint8_t b : h)
                EXPECT_EQ(b, untouched) << c.text;
        }
    }
}

TEST(HashHex, RoundTrip)
{
    uint8_t h[20], back[20];
    for (int i = 0; i < 20; i++)
        h[i] = uint8_t(i * 13 + 7);
    char t[41];
    EXPECT_EQ(print_hash_hex(h, t), 0);
    EXPECT_EQ(std::strlen(t), 40u);
    ASSERT_EQ(parse_hash_hex(t, back), 0);
    EXPECT_EQ(std::memcmp(h, back, 20), 0);
}

}  // namespace
