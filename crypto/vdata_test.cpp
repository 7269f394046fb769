// The vdata text and the software certificate's named digests, on plain
// buffers.
#include "crypto/vdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using entries = std::vector<std::pair<std::string, std::string>>;

entries parsed(const std::string &text)
{
    tarvo_vdata list;
    parse_tarvo_vdata(text.data(), text.size(), list);
    return entries(list.begin(), list.end());
}

TEST(VdataText, ParseTable)
{
    const std::string a(40, 'a'), b(40, 'b');
    const struct {
        const char *what;
        std::string text;
        entries expected;
    } cases[] = {
        {"written form", a + "  /etc/x\n" + b + "  /bin/y\n", {{"/bin/y", b}, {"/etc/x", a}}},
        {"one space and a star", a + " */etc/x\n", {{"/etc/x", a}}},
        {"run of spaces and stars", a + " * **  /etc/x\n", {{"/etc/x", a}}},
        {"later line wins", a + "  /etc/x\n" + b + "  /etc/x\n", {{"/etc/x", b}}},
        {"hash taken as it is", "ABC  /etc/x\n", {{"/etc/x", "ABC"}}},
        {"tab after the space ends the parse",
         a + "  /etc/x\n" + b + " \t/etc/y\n" + a + "  /etc/z\n",
         {{"/etc/x", a}}},
        {"line break after the space ends the parse", a + " \n" + b + "  /etc/y\n", {}},
        {"no blank at all", a + "\n", {}},
        {"a line without a blank runs into the next", "junk\n" + a + "  /etc/x\n",
         {{"/etc/x", "junk\n" + a}}},
        {"last line without a line break", a + "  /etc/x\n" + b + "  /etc/last",
         {{"/etc/last", b}, {"/etc/x", a}}},
        {"ends after the separator", a + "  ", {}},
        {"empty", "", {}},
        {"blank path name", a + "   \n", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parsed(c.text), c.expected) << c.what;
}

// A certificate of `length` bytes with the named digests; the count field
// may claim more entries than are there.
std::vector<uint8_t> certificate(const std::vector<std::pair<std::string, uint8_t>> &named,
                                 uint32_t count, size_t length)
{
    std::vector<uint8_t> c(std::max(length, 1116 + 32 * named.size()), 0xEE);
    for (int i = 0; i < 4; i++)
        c[1112 + i] = uint8_t(count >> (8 * i));
    for (size_t i = 0; i < named.size(); i++) {
        uint8_t *entry = &c[1116 + 32 * i];
        memset(entry, 0, 12);
        memcpy(entry, named[i].first.data(), std::min<size_t>(12, named[i].first.size()));
        memset(entry + 12, named[i].second, 20);
    }
    c.resize(length);
    return c;
}

TEST(VdataCertificate, NamedDigestTable)
{
    const struct {
        const char *what;
        std::vector<uint8_t> cert;
        int expected;  // fill byte of the digest found, -1 none
    } cases[] = {
        {"one entry", certificate({{"kernel", 1}, {"vdata", 2}}, 2, 1116 + 64), 2},
        {"the last of two wins", certificate({{"vdata", 3}, {"vdata", 4}}, 2, 1116 + 64), 4},
        {"entries past the count are not read", certificate({{"x", 1}, {"vdata", 5}}, 1, 1116 + 64),
         -1},
        {"a count past the end reads what is there",
         certificate({{"vdata", 6}}, 0x7FFFFFFF, 1116 + 32 + 31), 6},
        {"an entry cut by the end is not read", certificate({{"x", 1}, {"vdata", 7}}, 2, 1116 + 63),
         -1},
        {"a name is the field up to its zero", certificate({{"vdatax", 8}}, 1, 1116 + 32), -1},
        {"a name of 12 characters", certificate({{"vdata0123456", 9}}, 1, 1116 + 32), -1},
        {"too short for the count", std::vector<uint8_t>(1115, 0), -1},
        {"no entries", certificate({}, 0, 1116), -1},
    };
    for (const auto &c : cases) {
        unsigned char digest[20];
        memset(digest, 0xAB, 20);
        bool found = certificate_vdata_digest(c.cert.data(), uint32_t(c.cert.size()), digest);
        EXPECT_EQ(found, c.expected >= 0) << c.what;
        if (c.expected >= 0) {
            EXPECT_EQ(std::vector<uint8_t>(digest, digest + 20),
                      std::vector<uint8_t>(20, uint8_t(c.expected)))
                << c.what;
        }
    }
    EXPECT_FALSE(certificate_vdata_digest(nullptr, 2000, nullptr));
}

}  // namespace
