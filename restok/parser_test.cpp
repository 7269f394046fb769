// The policy text syntax and the parser's memory: records and lines, the
// bounds of every scan, tokens, the arena and the overflow chunks.
#include "restok/policy.h"
#include "restok/policy_testing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using policy_testing::parsed;
using policy_testing::w;

// Tags of every field of every record, "|" between records.
std::string shape(const parsed &p)
{
    std::string out;
    for (RESTOK::record *r = p.cfg->header.records; r; r = r->next) {
        if (!out.empty())
            out += "|";
        for (RESTOK::field *f = r->fields; f; f = f->next)
            out += std::string("[") + f->t->name + "]";
    }
    return out;
}

TEST(PolicySyntax, RecordsAndLines)
{
    struct {
        const char *name;
        std::string text;
        int rc_sign;  // 1: success (room left), else the code
        std::string messages;
        std::string shape;
    } cases[] = {
        {"records between empty lines", "\n\nPackage: a\n\n\n\nPackage: b\n\n\n", 1, "",
         "[Package]|[Package]"},
        {"NUL ends the text", std::string("Package: a\n\0Package: b\n", 23), 1, "",
         "[Package]"},
        {"NUL as a line start ends the record",
         std::string("Package: a\nX: 1\n\0Y: 2\n", 22), 1, "", "[Package][X]"},
        {"continued value", "Package: a\nNote: one\n\ttwo\n more\nX: 1\n", 1, "",
         "[Package][Note][X]"},
        {"lower-case tag is unknown", "package: a\n", 1, "", "[package]"},
        {"last line without newline", "Package: a", -2,
         w("Cannot find newline in ' a'"), ""},
        {"value without newline after continuation", "Note: a\n\tb", -2,
         w("Cannot find newline in ' a\n\tb'"), ""},
        {"no colon at all", "Package: a\nabc\n", -2, w("Missing ':' in 'abc\n'"),
         "[Package]"},
        {"one-line value continued", "Package: a\n\tb\n", -2,
         w("The Package tag ' a\n\tb' has bad syntax"), ""},
        {"empty one-line value", "Package:\n", -2, w("The Package tag '' has bad syntax"),
         ""},
        {"object value continued", "Package: a\nObject: o\n p\n", -2,
         w("The object tag ' o\n p' has bad syntax"), "[Package]"},
        {"source value with two words", "Package: a\nSource: x\n\ty\n", -2,
         w("The source tag ' x\n\ty' has bad syntax"), "[Package]"},
        {"value's surrounding blanks dropped", "Package: \t a b \t\n", 1, "", "[Package]"},
    };
    for (auto &c : cases) {
        parsed p(c.text);
        if (c.rc_sign == 1)
            EXPECT_GE(p.rc, 0) << c.name;
        else
            EXPECT_EQ(p.rc, c.rc_sign) << c.name;
        EXPECT_EQ(p.messages, c.messages) << c.name;
        EXPECT_EQ(shape(p), c.shape) << c.name;
    }
}

TEST(PolicySyntax, ValuesAsWritten)
{
    parsed p("Package: \t a b \t\nNote: one\n\ttwo\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    // Inner blanks are part of a one-line name.
    EXPECT_NE(p.package("a b"), nullptr);
    RESTOK::field *note = p.cfg->header.records->fields->next;
    EXPECT_STREQ(static_cast<const char *>(note->value), " one\n\ttwo");
}

TEST(PolicySyntax, LineWithoutColonRunsIntoNextTag)
{
    parsed p("Package: a\njunk\nObject: x\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    EXPECT_EQ(shape(p), "[Package][junk\nObject]");
    EXPECT_EQ(p.package("a")->objects, nullptr);
    ASSERT_NE(p.cfg->header.unknown, nullptr);
    EXPECT_STREQ(p.cfg->header.unknown->t->name, "junk\nObject");
}

TEST(PolicySyntax, UnknownTagsAreMadeOnce)
{
    parsed p("Note: 1\n\nNote: 2\nOther: 3\n");
    ASSERT_GE(p.rc, 0);
    int n = 0;
    for (RESTOK::unknown_tag *u = p.cfg->header.unknown; u; u = u->next)
        n++;
    EXPECT_EQ(n, 2);
    EXPECT_EQ(p.cfg->header.records->fields->t, p.cfg->header.records->next->fields->t);
}

TEST(PolicySyntax, TokensOfRequestAndProvide)
{
    // White space only: one empty token; nothing at all: no token.
    parsed blank("Package: a\nRequest: \nProvide:  \t\nObject: o\nRequest:\n");
    EXPECT_GE(blank.rc, 0);
    EXPECT_EQ(blank.messages, w("Request for empty credential string ignored in a") +
                                  w("Provide for empty credential string ignored in a"));

    parsed split("Package: a\nProvide: x\ty\n\tz  w\n");
    EXPECT_GE(split.rc, 0);
    EXPECT_EQ(split.resources("a"), "x y z w");
}

TEST(PolicySyntax, NextToken)
{
    struct {
        const char *text;
        char delimiter;
        int length, skip, found, start;
    } cases[] = {
        {"  abc def", 0, 3, 1, 1, 2},
        {"abc", 0, 3, 0, 0, 0},
        {"   ", 0, 0, 0, 0, 3},
        {" name with  spaces  \nrest", '\n', 17, 3, 1, 1},
        {"name  ", '\n', 4, 2, 0, 0},
        {"a:b", ':', 1, 1, 1, 0},
        {"", 0, 0, 0, 0, 0},
    };
    for (auto &c : cases) {
        std::vector<char> buf(c.text, c.text + std::strlen(c.text));
        buf.push_back('\x7f');  // a byte past the end that must not be read as text
        RESTOK::db_header header{};
        RESTOK::DB db(&header, buf.data(), buf.data(), buf.data() + buf.size() - 1, nullptr,
                      nullptr);
        int length = -1, skip = -1;
        int found = db.next_token(db.end, c.delimiter, &length, &skip);
        EXPECT_EQ(found, c.found) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
        EXPECT_EQ(skip, c.skip) << c.text;
        EXPECT_EQ(db.cursor - buf.data(), c.start) << c.text;
    }
}

TEST(PolicySyntax, SystemQualifierIsNotTranslated)
{
    parsed p("Package: _system_\nProvide: x\n\nPackage: a\nObject: o\nRequest: _system_::x\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    EXPECT_EQ(p.package(""), p.cfg->system_package);
    EXPECT_EQ(p.cfg->system_package->provider, p.cfg->system_package);
    RESTOK::package *literal = p.package("_system_");
    ASSERT_NE(literal, nullptr);
    EXPECT_NE(literal, p.cfg->system_package);
    EXPECT_EQ(policy_testing::requests(p.package("a")->objects->requests), "_system_::x");
}

TEST(PolicySyntax, RoomLeftAndDump)
{
    std::string text = "Package: a\nProvide: x y\nObject: o\nRequest: x b::z\nPolicy: set\n"
                       "Key: k1\nNote: free text\n";
    parsed p(text);
    ASSERT_GE(p.rc, 0) << p.messages;
    // The room left is what lies between the arena position and the end.
    EXPECT_LE(p.rc, RESTOK::ARENA_SIZE + int(text.size()));
    EXPECT_GT(p.rc, 0);

    testing::internal::CaptureStdout();
    EXPECT_EQ(restok_dump(p.cfg), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Package: a\n"
              "Provide:\n\tx\n\ty\n\to\n"
              "Object: o\n"
              "Request:\n\ta::x\n\tb::z\n"
              "Policy: set\n"
              "Key:  k1\n"
              "Note: free text\n"
              "\n");
    EXPECT_EQ(restok_dump(nullptr), 0);
}

int empty_lines_seen = 0;

int stop_at_second_empty_line(RESTOK::DB &)
{
    return ++empty_lines_seen == 2 ? -5 : 0;
}

TEST(PolicySyntax, RecordCallbackAtEmptyLines)
{
    // A parse of its own over a 64-byte arena, into the fixture's model.
    std::string text = "Package: a\n\nPackage: b\n\n\nPackage: c\n";
    parsed p("");
    std::vector<char> buffer(sizeof(RESTOK::db_header) + 64 + text.size());
    std::memcpy(buffer.data() + sizeof(RESTOK::db_header) + 64, text.data(), text.size());
    auto *header = reinterpret_cast<RESTOK::db_header *>(buffer.data());
    testing::internal::CaptureStderr();
    int rc = RESTOK::restok_parse(header, int(text.size()), 64, RESTOK::restok_tags, p.cfg,
                                  stop_at_second_empty_line, p.allocator);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -5);
    EXPECT_EQ(empty_lines_seen, 2);
    EXPECT_NE(p.package("b"), nullptr);
    EXPECT_EQ(p.package("c"), nullptr);
}

// ---- Memory -----------------------------------------------------------

// A parser over a buffer of its own: header, arena, text.
struct raw_db {
    std::vector<char> buffer;
    RESTOK::db_header *header;
    RESTOK::DB db;
    raw_db(size_t arena_offset, size_t arena, const std::string &text)
        : buffer(sizeof(RESTOK::db_header) + 16 + arena + text.size() + 1, 'T'),
          header(reinterpret_cast<RESTOK::db_header *>(buffer.data())),
          db(header, buffer.data() + sizeof(RESTOK::db_header) + arena_offset,
             buffer.data() + sizeof(RESTOK::db_header) + arena_offset + arena,
             buffer.data() + sizeof(RESTOK::db_header) + arena_offset + arena + text.size(),
             nullptr, nullptr)
    {
        std::memcpy(db.cursor, text.data(), text.size());
    }
};

TEST(PolicyMemory, ArenaIsPaddedBeforeStructures)
{
    raw_db r(1, 64, "");
    char *start = r.db.arena_pos;
    ASSERT_NE(reinterpret_cast<uintptr_t>(start) & RESTOK::PARSER_MASK, 0u);
    void *p = r.db.alloc_aligned(8);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) & RESTOK::PARSER_MASK, 0u);
    size_t pad = size_t(static_cast<char *>(p) - start);
    EXPECT_EQ(pad, RESTOK::PARSER_ALIGN - 1);
    EXPECT_EQ(std::string(start, pad), std::string(pad, '-'));
    EXPECT_EQ(std::string(static_cast<char *>(p), 8), std::string(8, '\0'));
}

TEST(PolicyMemory, CopyMayOverlapItsOwnCharacters)
{
    // One byte of arena: "abc" and its terminator end where "abc" stood.
    raw_db r(0, 1, "abcdef");
    char *arena = r.db.arena_pos;
    char *text = r.db.cursor;
    auto *copy = static_cast<char *>(r.db.copy(0, 3));
    ASSERT_EQ(copy, arena);
    EXPECT_STREQ(copy, "abc");
    EXPECT_EQ(r.db.cursor, text + 3);
    EXPECT_EQ(std::string(r.db.cursor, 3), "def");
    // No arena left and no overflow: nothing fits.
    EXPECT_EQ(r.db.copy(0, 3), nullptr);
    EXPECT_EQ(r.db.alloc(1), nullptr);
}

TEST(PolicyMemory, OverflowChunks)
{
    parsed p("");
    RESTOK::configuration *cfg = p.cfg;
    // 5000 bytes aligned to 4 need a chunk of 5004 bytes: 4 stay free.
    void *big = cfg->alloc(5000, 3);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(big) & 3u, 0u);
    ASSERT_NE(cfg->chunks, nullptr);
    EXPECT_EQ(cfg->chunks->free, 4u);
    // 100 bytes get a chunk of the smallest size, taken from its top.
    void *small = cfg->alloc(100, 0);
    EXPECT_EQ(cfg->chunks->free, RESTOK::CHUNK_MIN_SIZE - 100);
    EXPECT_EQ(static_cast<unsigned char *>(small), cfg->chunks->data + cfg->chunks->free);
    // The newest chunk serves first, then a fresh one is made.
    EXPECT_NE(cfg->alloc(RESTOK::CHUNK_MIN_SIZE - 100, 0), nullptr);
    EXPECT_EQ(cfg->chunks->free, 0u);
    RESTOK::chunk *full = cfg->chunks;
    EXPECT_NE(cfg->alloc(4, 0), nullptr);  // from the first chunk's 4 bytes
    EXPECT_EQ(cfg->chunks, full);
    EXPECT_NE(cfg->alloc(1, 0), nullptr);
    EXPECT_NE(cfg->chunks, full);
    // A size no chunk could ever hold.
    EXPECT_EQ(cfg->alloc(SIZE_MAX - 8, 3), nullptr);
}

TEST(PolicyMemory, ParsesBeyondTheArena)
{
    // Many long names: the arena and the consumed text do not suffice, the
    // overflow serves the rest and every name stays readable.
    std::string text = "Package: p\nProvide:";
    std::vector<std::string> names;
    for (int i = 0; i < 300; i++) {
        names.push_back("resource-with-a-long-name-" + std::to_string(i));
        text += " " + names.back();
    }
    text += "\n";
    parsed p(text);
    ASSERT_GE(p.rc, 0) << p.messages;
    std::string expected;
    for (auto &n : names)
        expected += (expected.empty() ? "" : " ") + n;
    EXPECT_EQ(p.resources("p"), expected);
}

TEST(PolicyMemory, TypesOfAccountPackagesAndLongNames)
{
    parsed p("Package: CAP\n\nPackage: " + std::string(256, 'n') + "\n");
    EXPECT_EQ(p.rc, -1);
    RESTOK::package *cap = p.package("CAP");
    ASSERT_NE(cap, nullptr);
    long value;
    EXPECT_EQ(cap->type, creds_from_text("CAP::", &value));
    EXPECT_EQ(cap->id, -1);
    EXPECT_EQ(p.package("SRC")->type, -1);
    EXPECT_EQ(p.messages, w("Package name '" + std::string(256, 'n') + "' is too long"));

    std::string long_resource(65536, 'r');
    parsed q("Package: a\nProvide: ok " + long_resource + "\n");
    EXPECT_EQ(q.rc, -1);
    EXPECT_EQ(q.resources("a"), "ok");
    EXPECT_EQ(q.messages, w("Resource name 'a::" + long_resource + "' is too long"));
}

TEST(PolicyMemory, UntrustedBit)
{
    EXPECT_EQ(restok_is_untrusted(nullptr), 0);
    restok_set_untrusted(nullptr);
    parsed p("");
    EXPECT_EQ(restok_is_untrusted(p.cfg), 0);
    restok_set_untrusted(p.cfg);
    EXPECT_EQ(restok_is_untrusted(p.cfg), 1);
    EXPECT_EQ(p.cfg->flags, RESTOK::CONFIG_UNTRUSTED);
}

}  // namespace
