#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/tarvo_common.h"
#include "support/test_syslog.h"

namespace {

using strings = std::vector<std::string>;

std::string encode(const std::string &bytes)
{
    char *t = base64_encode(bytes.data(), int(bytes.size()));
    std::string s = t != nullptr ? t : "(null)";
    free(t);
    return s;
}

// Decoded bytes, or "(fail)" for 0 with a null block; checks the pointer
// rules on the way.
std::string decode(const char *text)
{
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    int n = base64_decode(text, &out);
    if (out == nullptr) {
        EXPECT_EQ(n, 0);
        return "(fail)";
    }
    std::string s(reinterpret_cast<char *>(out), size_t(n));
    free(out);
    return s;
}

TEST(Base64, Rfc4648Vectors)
{
    const std::pair<const char *, const char *> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto &v : vectors) {
        SCOPED_TRACE(v.first);
        EXPECT_EQ(encode(v.first), v.second);
        EXPECT_EQ(decode(v.second), v.first);
    }
    char *t = base64_encode("x", -5);
    EXPECT_STREQ(t, "");
    free(t);
    EXPECT_EQ(encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(base64_encode(nullptr, 3), nullptr);
}

struct decode_case {
    const char *text;
    const char *expect;  // bytes, or "(fail)"
    const char *report;  // null: none
};

TEST(Base64, DecodeTable)
{
    const decode_case cases[] = {
        {" Zm9v\r\n Ym Fy\t\v\f", "foobar", nullptr},
        {"Zm9v\nYg==\n", "foob", nullptr},
        {" \n\t ", "", nullptr},  // empty, but a block to free
        {"", "", nullptr},
        {"Zm9vY", "(fail)", "Invalid base64 string (15 !% 4)"},
        {"Zm9", "(fail)", "Invalid base64 string (9 !% 4)"},
        {"Zm-v", "(fail)", "Invalid base64 string"},
        {"Zm_v", "(fail)", "Invalid base64 string"},
        {"=m9v", "(fail)", "Invalid base64 string"},
        {"Z=9v", "(fail)", "Invalid base64 string"},
        {"Zm9\x80", "(fail)", "Invalid base64 string"},
        {"\xff\xff\xff\xff", "(fail)", "Invalid base64 string"},
        {"QQ=x", "A", nullptr},  // the fourth character is not examined
        {"QR==", "A", nullptr},  // non-zero trailing bits are accepted
        {"QUI=", "AB", nullptr},
        // Text after a padded group is refused, not counted as bytes.
        {"QQ==QUFB", "(fail)", "Invalid base64 string"},
        {"QUI= QUFB", "(fail)", "Invalid base64 string"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        syslog_capture log;
        EXPECT_EQ(decode(c.text), c.expect);
        EXPECT_EQ(log.reports(), c.report ? strings{c.report} : strings{});
    }
    unsigned char *out = reinterpret_cast<unsigned char *>(1);
    EXPECT_EQ(base64_decode(nullptr, &out), 0);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(base64_decode("QQ==", nullptr), 0);
}

TEST(Base64, RandomRoundTripWithWhiteSpace)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 300; round++) {
        std::string bytes(rng() % 4097, '\0');
        for (char &c : bytes)
            c = char(rng());
        std::string text = encode(bytes);
        ASSERT_EQ(text.size(), (bytes.size() + 2) / 3 * 4);
        std::string spaced;
        for (char c : text) {
            if (rng() % 16 == 0)
                spaced += " \t\n\v\f\r"[rng() % 6];
            spaced += c;
        }
        ASSERT_EQ(decode(spaced.c_str()), bytes);
    }
}

TEST(Hex, RingAndAppend)
{
    const unsigned char bytes[] = {0x00, 0xAB};
    const char *first = hex_string(bytes, 2);
    EXPECT_STREQ(first, "00ab");
    EXPECT_STREQ(hex_string(bytes, 0), "");
    // Eight further calls in all leave the first string intact.
    std::vector<const char *> later;
    for (unsigned i = 0; i < 7; i++) {
        unsigned char b = static_cast<unsigned char>(0xF0 + i);
        later.push_back(hex_string(&b, 1));
    }
    EXPECT_STREQ(first, "00ab");
    for (unsigned i = 0; i < 7; i++)
        EXPECT_EQ(later[i], "f" + std::to_string(i));

    std::vector<unsigned char> block(200);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = static_cast<unsigned char>(i * 37);
    std::string s = "x";
    append_hex(s, block.data(), unsigned(block.size()));
    append_hex(s, block.data(), 0);
    EXPECT_EQ(s, "x" + std::string(hex_string(block.data(), unsigned(block.size()))));
    EXPECT_EQ(s.size(), 401u);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(HexDeathTest, NinthCallFreesTheString)
{
    EXPECT_DEATH(
        {
            const unsigned char b = 1;
            const char *first = hex_string(&b, 1);
            for (int i = 0; i < 9; i++)
                hex_string(&b, 1);
            fprintf(stderr, "%c", first[0]);
        },
        "heap-use-after-free");
}
#endif

}  // namespace
