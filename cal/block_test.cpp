// Block format, CRC, versions, the report hooks, and the walk of one area,
// on a plain file standing in for the flash.
#include "cal/cal.h"
#include "cal/test_blocks.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using cal_test::block_bytes;

std::vector<std::string> errors;
std::vector<std::pair<int, std::string>> debugs;
void collect_error(const char *m) { errors.push_back(m); }
void collect_debug(int level, const char *m) { debugs.push_back({level, m}); }

bool has_error(const std::string &text)
{
    return std::find(errors.begin(), errors.end(), text) != errors.end();
}

uint32_t crc_of(const std::string &s)
{
    return cal_crc32(reinterpret_cast<const unsigned char *>(s.data()), uint32_t(s.size()));
}

TEST(CalCrc, CheckValues)
{
    EXPECT_EQ(crc_of("123456789"), 0x2DFD2D88u);
    EXPECT_EQ(crc_of("abc"), 0xCA6598D0u);
    EXPECT_EQ(crc_of(""), 0u);
    EXPECT_EQ(cal_crc32(nullptr, 0), 0u);
    // Not the zip CRC of the same polynomial.
    EXPECT_NE(crc_of("123456789"), 0xCBF43926u);
}

TEST(CalVersion, NewerAcrossTheWrap)
{
    struct row {
        int b, a;
        bool newer;
    } rows[] = {
        {0, 255, true},   {64, 255, false}, {255, 64, true}, {191, 0, false},
        {5, 4, true},     {4, 4, false},    {63, 191, true}, {190, 63, true},
        {191, 63, false}, {200, 100, true}, {100, 200, false},
        // 190 is the last version that does not count as wrapped.
        {0, 190, false},  {63, 190, false}, {0, 191, true},
    };
    for (const auto &r : rows)
        EXPECT_EQ(cal_version_newer(uint8_t(r.b), uint8_t(r.a)) != 0, r.newer)
            << r.b << " newer than " << r.a;
}

TEST(CalHeader, LittleEndianLayoutAndSixteenCharacterNames)
{
    std::string b = block_bytes("0123456789abcdef", "xyz", 7, CAL_HDR_FLAG_WRITE_ONCE);
    ASSERT_EQ(b.size(), 39u);
    EXPECT_EQ(b.substr(0, 4), "ConF");
    EXPECT_EQ(uint8_t(b[4]), 2);
    EXPECT_EQ(uint8_t(b[5]), 7);
    EXPECT_EQ(uint8_t(b[6]), 4);
    EXPECT_EQ(uint8_t(b[7]), 0);
    EXPECT_EQ(b.substr(8, 16), "0123456789abcdef");  // no terminating zero
    EXPECT_EQ(b.substr(24, 4), std::string("\x03\0\0\0", 4));
    uint32_t dcrc = crc_of("xyz");
    EXPECT_EQ(uint8_t(b[28]), dcrc & 0xff);
    EXPECT_EQ(uint8_t(b[31]), dcrc >> 24);
    EXPECT_EQ(uint32_t(uint8_t(b[32])) | uint32_t(uint8_t(b[33])) << 8 |
                  uint32_t(uint8_t(b[34])) << 16 | uint32_t(uint8_t(b[35])) << 24,
              crc_of(b.substr(0, 32)));
    cal_block_header h;
    cal_header_decode(reinterpret_cast<const unsigned char *>(b.data()), &h);
    char name[17];
    cal_name_text(h.name, name);
    EXPECT_STREQ(name, "0123456789abcdef");
    EXPECT_EQ(cal_name_cmp(h.name, "0123456789abcdefXX"), 0);  // 16 bytes compared
    EXPECT_NE(cal_name_cmp(h.name, "0123456789abcde"), 0);
    // A block without data has data CRC 0.
    EXPECT_EQ(block_bytes("e", "", 0).substr(28, 4), std::string(4, '\0'));
}

TEST(CalHooks, MessagesAreCutAndDroppedWithoutHook)
{
    cal_error_hook = collect_error;
    cal_debug_hook = collect_debug;
    errors.clear();
    debugs.clear();
    std::string longtext(2000, 'x');
    cal_error("%s", longtext.c_str());
    cal_debug(3, "d%d", 42);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::string(1023, 'x'));
    ASSERT_EQ(debugs.size(), 1u);
    EXPECT_EQ(debugs[0], (std::pair<int, std::string>{3, "d42"}));
    cal_error_hook = nullptr;
    cal_debug_hook = nullptr;
    cal_error("dropped");
    cal_debug(0, "dropped");
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_EQ(debugs.size(), 1u);
    cal_error_hook = cal_default_error_handler;
}

// The lists by name: one node per name, the newest; a rewritten block goes
// to the head when it is named like the head (not a user block), else to
// the end. A long mixed run of adds and removals against a plain model of
// those rules, so that the index and the list never drift apart.
TEST(CalLists, IndexedListsFollowTheListRules)
{
    cal_context ctx;
    memset(&ctx, 0, sizeof ctx);
    cal_error_hook = nullptr;
    struct entry {
        std::string name;
        int version;
    };
    std::vector<entry> model[3];  // config, user, write-once
    const uint16_t kinds[3] = {0, CAL_HDR_FLAG_USER, CAL_HDR_FLAG_WRITE_ONCE};
    cal_block_node **lists[3] = {&ctx.config_list, &ctx.user_list, &ctx.wp_list};
    std::vector<std::string> pool;
    for (int i = 0; i < 12; i++)
        pool.push_back("n" + std::to_string(i));
    pool.push_back("0123456789abcdef");  // 16 characters, no zero
    std::mt19937 random(23);
    int version = 0;
    for (int step = 0; step < 3000; step++) {
        const int k = int(random() % 3);
        const std::string name = pool[random() % pool.size()];
        std::vector<entry> &m = model[k];
        auto at = std::find_if(m.begin(), m.end(), [&](const entry &e) { return e.name == name; });
        if (random() % 4 == 0) {
            cal_block_node *n = cal_find_listed(&ctx, lists[k], name.c_str());
            ASSERT_EQ(n != nullptr, at != m.end()) << name;
            if (n) {
                ASSERT_EQ(cal_unlink_node(&ctx, n), 1);
                EXPECT_EQ(cal_unlink_node(&ctx, n), 0);
                cal_free_node(n);
                m.erase(at);
            }
        } else {
            cal_block_node *n = static_cast<cal_block_node *>(calloc(1, sizeof *n));
            ASSERT_NE(n, nullptr);
            n->header.flags = kinds[k];
            n->header.version = uint8_t(++version % 60);
            memcpy(n->header.name, name.data(), name.size());
            const bool to_head = k != 1 && !m.empty() && m.front().name == name;
            if (at != m.end())
                m.erase(at);
            if (to_head)
                m.insert(m.begin(), {name, version});
            else
                m.push_back({name, version});
            add_block(&ctx, n);
        }
        for (int i = 0; i < 3; i++) {
            std::vector<std::string> want, got;
            for (const entry &e : model[i])
                want.push_back(e.name);
            for (cal_block_node *n = *lists[i]; n; n = n->next) {
                char t[17];
                cal_name_text(n->header.name, t);
                got.push_back(t);
            }
            ASSERT_EQ(got, want) << "step " << step << ", list " << i;
            for (const entry &e : model[i]) {
                cal_block_node *n = cal_find_listed(&ctx, lists[i], e.name.c_str());
                ASSERT_NE(n, nullptr);
                EXPECT_EQ(n->header.version, e.version % 60);
            }
        }
    }
    // Names compare over 16 bytes; a name that is not listed is not found.
    cal_block_node *sixteen = static_cast<cal_block_node *>(calloc(1, sizeof *sixteen));
    ASSERT_NE(sixteen, nullptr);
    memcpy(sixteen->header.name, "0123456789abcdef", CAL_NAME_SIZE);
    sixteen->header.version = 61;
    add_block(&ctx, sixteen);
    EXPECT_EQ(cal_find_listed(&ctx, &ctx.config_list, "0123456789abcdefXX"), sixteen);
    EXPECT_EQ(cal_find_listed(&ctx, &ctx.config_list, "0123456789abcde"), nullptr);
    EXPECT_EQ(cal_find_listed(&ctx, &ctx.config_list, "n99"), nullptr);
    EXPECT_EQ(cal_find_listed(&ctx, &ctx.config_list, "n1"),
              find_block_in_list(ctx.config_list, "n1"));
    free_block_lists(&ctx);
    EXPECT_EQ(ctx.names, nullptr);
    EXPECT_EQ(ctx.config_list, nullptr);
    cal_error_hook = cal_default_error_handler;
}

// An area of three erase blocks of 4 pages of 256 bytes, on a file.
class FileArea : public ::testing::Test {
protected:
    static constexpr uint32_t page = 256, erase = 1024, count = 3;
    void SetUp() override
    {
        char tmpl[] = "/tmp/cal-area-XXXXXX";
        fd_ = mkstemp(tmpl);
        ASSERT_GE(fd_, 0);
        unlink(tmpl);
        std::string erased(erase * count, '\xff');
        ASSERT_EQ(pwrite(fd_, erased.data(), erased.size(), 0), ssize_t(erased.size()));
        memset(&ctx_, 0, sizeof ctx_);
        ctx_.fd = fd_;
        ctx_.page_size = page;
        ctx_.erase_size = erase;
        for (uint32_t k = 0; k < count; k++)
            map_[k] = {k * erase, k * erase};
        memset(&area_, 0, sizeof area_);
        area_.name = "config1";
        area_.blocks = map_;
        area_.block_count = count;
        errors.clear();
        debugs.clear();
        cal_error_hook = collect_error;
        cal_debug_hook = collect_debug;
    }
    void TearDown() override
    {
        free_block_lists(&ctx_);
        cal_area_forget(&area_);
        close(fd_);
        cal_error_hook = cal_default_error_handler;
        cal_debug_hook = nullptr;
    }
    // A fresh, erased area for the next row of a table.
    void reset()
    {
        free_block_lists(&ctx_);
        cal_area_forget(&area_);
        close(fd_);
        SetUp();
    }
    void put(uint32_t at, const std::string &bytes)
    {
        ASSERT_EQ(pwrite(fd_, bytes.data(), bytes.size(), at), ssize_t(bytes.size()));
    }
    std::vector<std::string> names(cal_block_node *n)
    {
        std::vector<std::string> out;
        for (; n; n = n->next) {
            char t[17];
            cal_name_text(n->header.name, t);
            out.push_back(t);
        }
        return out;
    }
    uint32_t size() const { return erase * count; }

    int fd_ = -1;
    cal_context ctx_;
    cal_block_map map_[count];
    cal_area area_;
};

TEST_F(FileArea, HeaderValidityRules)
{
    struct row {
        const char *what;
        uint32_t at;
        std::string bytes;
        int result;
        std::string error;  // empty: none
    } rows[] = {
        {"erased", 0, "", -2, ""},
        {"almost erased", 0, std::string("\xfe\xff\xff\xff", 4), -1,
         "invalid header magic at addr 0x00000000: fffffffe"},
        {"valid", 0, block_bytes("a", "1234", 0), 0, ""},
        {"header version", 256,
         [] {
             std::string b = block_bytes("a", "", 0);
             b[4] = 3;
             return b;
         }(),
         -1, "invalid header version at addr 00000100: 3"},
        {"header crc", 512,
         [] {
             std::string b = block_bytes("a", "", 0);
             b[10] ^= 1;
             return b;
         }(),
         -1, ""},
        {"ends at the area's end", size() - 100, block_bytes("a", std::string(64, 'd'), 0), 0,
         ""},
        {"one byte over", size() - 100, block_bytes("a", std::string(65, 'd'), 0), -1,
         "block at addr 00000b9c runs over device size"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        put(r.at, r.bytes);
        cal_block_header h;
        EXPECT_EQ(read_block_header(&ctx_, &area_, r.at, &h), r.result);
        if (!r.error.empty()) {
            EXPECT_TRUE(has_error(r.error)) << (errors.empty() ? "" : errors[0]);
        }
        if (r.result == -2) {
            EXPECT_TRUE(errors.empty());
        }
        reset();
    }
}

TEST_F(FileArea, HeaderCrcMismatchNamesBothValues)
{
    std::string b = block_bytes("a", "", 0);
    b[10] ^= 1;
    put(0, b);
    cal_block_header h;
    EXPECT_EQ(read_block_header(&ctx_, &area_, 0, &h), -1);
    char want[96];
    snprintf(want, sizeof want, "header CRC mismatch at addr 00000000: calc %08x vs. %08x",
             crc_of(b.substr(0, 32)), h.hdr_crc);
    EXPECT_TRUE(has_error(want));
}

TEST_F(FileArea, LengthNearFourGigabytesDoesNotWrapRound)
{
    std::string b = block_bytes("a", "", 0);
    b[24] = '\xf0';
    b[25] = b[26] = b[27] = '\xff';
    cal_block_header h;
    cal_header_decode(reinterpret_cast<const unsigned char *>(b.data()), &h);
    cal_header_seal(&h);
    unsigned char enc[36];
    cal_header_encode(&h, enc);
    put(0, std::string(reinterpret_cast<char *>(enc), 36));
    EXPECT_EQ(read_block_header(&ctx_, &area_, 0, &h), -1);
    EXPECT_TRUE(has_error("block at addr 00000000 runs over device size"));
}

TEST_F(FileArea, InvalidHeaderIsStillInvalidWithoutHook)
{
    cal_error_hook = nullptr;
    put(0, std::string("\xfe\xff\xff\xff", 4));
    cal_block_header h;
    EXPECT_EQ(read_block_header(&ctx_, &area_, 0, &h), -1);
}

TEST_F(FileArea, WalkFollowsRunsAndPages)
{
    // A compacted run of a (10 bytes) and b, then an appended c at a page
    // boundary, then a second version of a, then the end.
    put(0, block_bytes("a", std::string(10, 'A'), 1) + "\xff\xff" + block_bytes("b", "BBB", 0));
    put(page, block_bytes("c", "C", 0));
    put(2 * page, block_bytes("a", "A2", 2));
    ASSERT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
    EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(ctx_.config_list->address, 2 * page);
    EXPECT_EQ(ctx_.config_list->next->address, 48u);  // 36 + 10 rounded up to 4
    EXPECT_EQ(area_.empty_start, 3 * page);
    EXPECT_TRUE(errors.empty()) << errors[0];
    // Data were checked once and are kept.
    ASSERT_NE(ctx_.config_list->data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(ctx_.config_list->data), 2), "A2");
}

TEST_F(FileArea, RewrittenBlockReplacesAndOrdersTheList)
{
    struct row {
        const char *what;
        uint8_t second_version;
        bool inconsistent;
    } rows[] = {{"one higher", 4, false}, {"same version", 3, true}, {"older", 2, true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        reset();
        put(0, block_bytes("a", "1", 3));
        put(page, block_bytes("b", "2", 0));
        put(2 * page, block_bytes("c", "3", 0));
        put(3 * page, block_bytes("a", "4", r.second_version));
        ASSERT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
        EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(ctx_.config_list->address, 3 * page);
        EXPECT_EQ(has_error("Severe inconsistency in block versioning"), r.inconsistent);
    }
}

TEST_F(FileArea, UserBlocksKeepTheirOrderAndRewrittenOnesMoveToTheEnd)
{
    put(0, block_bytes("u", "1", 0, CAL_HDR_FLAG_USER));
    put(page, block_bytes("v", "2", 0, CAL_HDR_FLAG_USER));
    put(2 * page, block_bytes("u", "3", 1, CAL_HDR_FLAG_USER));
    ASSERT_EQ(scan_block_headers(&ctx_, &area_, 1), 0);
    EXPECT_EQ(names(ctx_.user_list), (std::vector<std::string>{"v", "u"}));
}

TEST_F(FileArea, KindsOfBlockPerArea)
{
    struct row {
        uint16_t flags;
        int mode;
        int otp;
        const char *error;  // null: accepted
    } rows[] = {
        {CAL_HDR_FLAG_USER, 0, 0, "user block 'x' found in non-user area"},
        {0, 1, 0, "non-user block 'x' found in user area"},
        {CAL_HDR_FLAG_USER | CAL_HDR_FLAG_WRITE_ONCE, 1, 0,
         "write-once block 'x' found in user area"},
        {0, 2, 1, "non-write-once block 'x' found in WP area"},
        {CAL_HDR_FLAG_WRITE_ONCE, 0, 1, "write-once block 'x' found in non-WP area"},
        {CAL_HDR_FLAG_WRITE_ONCE, 0, 0, nullptr},
        {CAL_HDR_FLAG_WRITE_ONCE, 2, 1, nullptr},
        {CAL_HDR_FLAG_USER, 1, 0, nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.flags) + " in mode " + std::to_string(r.mode));
        reset();
        ctx_.otp = r.otp;
        put(0, block_bytes("x", "data", 0, r.flags));
        int result = scan_block_headers(&ctx_, &area_, r.mode);
        if (r.error) {
            EXPECT_EQ(result, -1);
            EXPECT_TRUE(has_error(r.error));
        } else {
            EXPECT_EQ(result, 0);
            cal_block_node *list = r.flags & CAL_HDR_FLAG_USER         ? ctx_.user_list
                                   : r.flags & CAL_HDR_FLAG_WRITE_ONCE ? ctx_.wp_list
                                                                       : ctx_.config_list;
            EXPECT_EQ(names(list), std::vector<std::string>{"x"});
        }
    }
}

TEST_F(FileArea, ErasedPositionInsidePageMovesToNextPage)
{
    put(0, block_bytes("a", std::string(10, 'a'), 0));
    put(page, block_bytes("b", "b", 0));
    ASSERT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
    EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(std::any_of(debugs.begin(), debugs.end(), [](const auto &d) {
        return d.second == "reading config1 block header at 0x00000030";
    }));
}

// A write cut short by a power loss leaves a damaged block as the last
// thing in the area: the block's earlier version stays the one found and
// the next write goes behind the damage.
TEST_F(FileArea, DamagedLastWriteIsLeftOut)
{
    struct row {
        const char *what;
        std::string tail;  // at 2 * page
    } rows[] = {
        {"header torn", block_bytes("a", "new", 1).substr(0, 20)},
        {"data torn", block_bytes("a", std::string(300, 'n'), 1).substr(0, 100)},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        reset();
        put(0, block_bytes("a", "old", 0));
        put(page, block_bytes("b", "b", 0));
        put(2 * page, r.tail);
        ASSERT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
        EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(ctx_.config_list->address, 0u);
        EXPECT_TRUE(has_error("incomplete block at config1 addr 0x00000200 ignored"));
        EXPECT_EQ(area_.empty_start, size());  // the next write compacts
    }
}

TEST_F(FileArea, DamagedBlocksBeforeMoreData)
{
    // Bad data: listed all the same (its reading fails later).
    std::string bad = block_bytes("a", "xx", 1);
    bad[37] ^= 1;
    put(0, block_bytes("a", "old", 0));
    put(page, bad);
    put(2 * page, block_bytes("b", "b", 0));
    ASSERT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
    EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ctx_.config_list->address, page);
    EXPECT_EQ(ctx_.config_list->data, nullptr);
    EXPECT_EQ(area_.first_page_damaged, 0);
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string &e) {
        return e.rfind("data CRC mismatch on conf block at addr 0x00000100, name 'a'", 0) == 0;
    }));
    // Bad data inside a packed run with more of the run behind it in the
    // same page: no torn write, the blocks behind it are listed.
    reset();
    std::string mid = block_bytes("b", "xx", 0);
    mid[37] ^= 1;
    put(0, block_bytes("a", "aaaa", 0) + mid + "\xff\xff" + block_bytes("c", "cccc", 0));
    ASSERT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
    EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(area_.first_page_damaged, 1);
    EXPECT_FALSE(has_error("incomplete block at config1 addr 0x00000028 ignored"));
    // A header with one damaged byte is repaired; one with more damage
    // costs its block only: the walk resumes at the next valid header.
    reset();
    std::string badh = block_bytes("c", "xx", 0);
    badh[33] ^= 1;
    put(0, block_bytes("a", "old", 0));
    put(page, badh);
    put(2 * page, block_bytes("b", "b", 0));
    EXPECT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
    EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "c", "b"}));
    char repaired[64];
    snprintf(repaired, sizeof repaired, "header at config1 addr 0x%08x repaired", page);
    EXPECT_TRUE(has_error(repaired));
    reset();
    badh[9] ^= 0x40;
    put(0, block_bytes("a", "old", 0));
    put(page, badh);
    put(2 * page, block_bytes("b", "b", 0));
    EXPECT_EQ(scan_block_headers(&ctx_, &area_, 0), 0);
    EXPECT_EQ(names(ctx_.config_list), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(area_.damaged_headers, 1);
}

}  // namespace
