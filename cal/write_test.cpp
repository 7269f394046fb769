// Reading and writing blocks on the simulated NAND flash: names, flags,
// versions, placement, compaction, and power cuts at every flash operation
// of a write.
#include "cal/test_flash.h"

#include "sim/models/mtd.h"

#include <cstring>
#include <functional>
#include <map>

namespace cal_test {
namespace {

using Blocks = Flash;

// The block's header as the current context lists it.
bool listed(const std::string &name, int flags, cal_block_header *out, uint32_t *address = nullptr,
            int *current = nullptr)
{
    cal_context *ctx;
    if (cal_init_ro(&ctx) != 0)
        return false;
    cal_block_node *n = lookup_block(ctx, name.c_str(), flags);
    if (n) {
        *out = n->header;
        if (address)
            *address = n->address;
    }
    if (current)
        *current = ctx->current;
    cal_release(ctx);
    return n != nullptr;
}

TEST_F(Blocks, NamesUpToSixteenCharacters)
{
    EXPECT_EQ(write("0123456789abcdefg", "x"), -1);
    EXPECT_TRUE(has_error("cal_write_block: too long name"));
    std::string got;
    EXPECT_EQ(read("0123456789abcdefg", &got), -1);
    EXPECT_TRUE(has_error("cal_read_block: too long name"));
    EXPECT_EQ(write("0123456789abcdef", "sixteen"), 0);
    EXPECT_EQ(read("0123456789abcdef", &got), 0);
    EXPECT_EQ(got, "sixteen");
    EXPECT_EQ(read("missing", &got), -2);
    EXPECT_TRUE(has_debug("block 'missing' not found"));
}

TEST_F(Blocks, FlagsAndWriteOnceBlocks)
{
    EXPECT_EQ(write("x", "1", CAL_FLAG_USER | CAL_FLAG_WRITE_ONCE), -1);
    EXPECT_TRUE(has_error("write-once user blocks not supported"));
    EXPECT_EQ(write("once", "first", CAL_FLAG_WRITE_ONCE), 0);
    EXPECT_EQ(write("once", "second", CAL_FLAG_WRITE_ONCE), -1);
    EXPECT_TRUE(has_error("trying to overwrite write-once block"));
    // A configuration block of the same name gets the next version, but
    // reads keep finding the write-once block.
    EXPECT_EQ(write("once", "config"), 0);
    cal_block_header h;
    ASSERT_TRUE(listed("once", CAL_FLAG_WRITE_ONCE, &h));
    EXPECT_EQ(h.flags, CAL_HDR_FLAG_WRITE_ONCE);
    cal_context *ctx;
    ASSERT_EQ(cal_init_ro(&ctx), 0);
    cal_block_node *cfg = find_block_in_list(ctx->config_list, "once");
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(cfg->header.version, 1);
    cal_release(ctx);
    std::string got;
    EXPECT_EQ(read("once", &got), 0);
    EXPECT_EQ(got, "first");
    // User blocks live apart.
    EXPECT_EQ(write("once", "user", CAL_FLAG_USER), 0);
    EXPECT_EQ(read("once", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "user");
}

TEST_F(Blocks, WriteOnceBlocksGoToTheOtpRegion)
{
    geometry g;
    g.otp = g.erase;
    prepare(g);
    EXPECT_EQ(write("w", "written once", CAL_FLAG_WRITE_ONCE), 0);
    EXPECT_EQ(flash(0, 4, true), "ConF");
    EXPECT_EQ(flash(0, 4), "\xff\xff\xff\xff");  // not in the halves
    std::string got;
    EXPECT_EQ(read("w", &got), 0);
    EXPECT_EQ(got, "written once");
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(write("w" + std::to_string(i), "x", CAL_FLAG_WRITE_ONCE), 0);
    EXPECT_EQ(write("full", "x", CAL_FLAG_WRITE_ONCE), -1);
    EXPECT_TRUE(has_error("block doesn't fit into write-once region"));
    EXPECT_EQ(read("full", &got), -2);
}

// The OTP region is reached only in OTP mode, and never written over.
TEST_F(Blocks, OtpRegionIsNeverMistakenOrOverwritten)
{
    geometry g;
    g.otp = g.erase;
    prepare(g);
    EXPECT_EQ(write("c", "config"), 0);
    std::string before = flash(0, 6 * g.erase);
    cal_context *ctx;
    ASSERT_EQ(cal_init_rw(&ctx), 0);
    arm("mtd.otpselect.on=5");
    EXPECT_EQ(cal_write_block(ctx, "w", reinterpret_cast<const unsigned char *>("w"), 1,
                              CAL_FLAG_WRITE_ONCE),
              -1);
    EXPECT_TRUE(has_error("onen_set_otp_mode: ioctl OTPSELECT"));
    cal_release(ctx);
    disarm();
    EXPECT_EQ(flash(0, 6 * g.erase), before);  // the first half is untouched
    std::string got;
    EXPECT_EQ(read("c", &got), 0);
    // A damaged write-once area (bad header between valid blocks) is not
    // written over.
    poke(0, block_bytes("w1", "one", 0, CAL_HDR_FLAG_WRITE_ONCE), true);
    poke(g.page, "ConF garbage", true);
    poke(2 * g.page, block_bytes("w2", "two", 0, CAL_HDR_FLAG_WRITE_ONCE), true);
    std::string otp = flash(0, g.erase, true);
    EXPECT_EQ(write("w3", "three", CAL_FLAG_WRITE_ONCE), -1);
    EXPECT_TRUE(has_error("write-once area damaged; not writing over it"));
    EXPECT_EQ(flash(0, g.erase, true), otp);
}

TEST_F(Blocks, VersionsCountUpAndWrap)
{
    cal_block_header h;
    EXPECT_EQ(write("x", "a"), 0);
    ASSERT_TRUE(listed("x", 0, &h));
    EXPECT_EQ(h.version, 0);
    EXPECT_EQ(write("x", "b"), 0);
    ASSERT_TRUE(listed("x", 0, &h));
    EXPECT_EQ(h.version, 1);
    // After 255 comes 0, which counts as newer.
    prepare(geo);
    poke(0, block_bytes("x", "old", 255));
    EXPECT_EQ(write("x", "new"), 0);
    ASSERT_TRUE(listed("x", 0, &h));
    EXPECT_EQ(h.version, 0);
    std::string got;
    EXPECT_EQ(read("x", &got), 0);
    EXPECT_EQ(got, "new");
    EXPECT_FALSE(has_error("Severe inconsistency in block versioning"));
}

TEST_F(Blocks, SingleWritesTakeWholePages)
{
    EXPECT_EQ(write("first", "1"), 0);
    cal_block_header h;
    uint32_t at = 0;
    EXPECT_EQ(write("hundred", std::string(100, 'h')), 0);
    ASSERT_TRUE(listed("hundred", 0, &h, &at));
    EXPECT_EQ(at, 2048u);
    EXPECT_EQ(flash(2048 + 136, 2048 - 136), std::string(2048 - 136, '\xff'));
    EXPECT_EQ(write("big", std::string(2013, 'b')), 0);  // 2049 bytes: two pages
    ASSERT_TRUE(listed("big", 0, &h, &at));
    EXPECT_EQ(at, 4096u);
    EXPECT_EQ(write("next", "n"), 0);
    ASSERT_TRUE(listed("next", 0, &h, &at));
    EXPECT_EQ(at, 8192u);
    // An empty block: data CRC 0, read back as 0 bytes.
    EXPECT_EQ(write("empty", ""), 0);
    ASSERT_TRUE(listed("empty", 0, &h));
    EXPECT_EQ(h.data_crc, 0u);
    std::string got = "x";
    EXPECT_EQ(read("empty", &got), 0);
    EXPECT_EQ(got, "");
}

TEST_F(Blocks, BlockLargerThanItsAreaIsRefused)
{
    EXPECT_EQ(write("a", "a"), 0);
    std::string before = flash(0, 6 * geo.erase);
    EXPECT_EQ(write("huge", std::string(2 * geo.erase, 'h')), -1);
    EXPECT_TRUE(has_error("block size too big"));
    EXPECT_EQ(flash(0, 6 * geo.erase), before);
    prepare(geo);
    EXPECT_EQ(write("huge", std::string(2 * geo.erase - 36, 'h')), 0);  // exactly fits
}

// Areas are made of good erase blocks only: blocks that span an erase
// block boundary are split around the bad ones, and a bad block is never
// written or erased.
TEST_F(Blocks, BadEraseBlocksAreSkipped)
{
    geometry g;
    g.blocks = 10;
    g.bad = {1, 5};  // 8 good: config1 = 0, 2; config2 = 3, 4; user = 6, 7
    prepare(g);
    const std::string big(g.erase + 1000, 'B');
    EXPECT_EQ(write("small", "s"), 0);
    EXPECT_EQ(write("big", big), 0);  // from page 1 of block 0 into block 2
    std::string got;
    EXPECT_EQ(read("big", &got), 0);
    EXPECT_EQ(got, big);
    EXPECT_EQ(flash(2 * g.erase, 4), big.substr(g.erase - g.page - 36, 4));
    // Fill up and compact into config2 (blocks 3 and 4).
    cal_block_header h;
    int current = 0;
    for (int i = 0; i < 20 && current == 0; i++) {
        ASSERT_EQ(write("small", std::string(1000, char('a' + i))), 0);
        ASSERT_TRUE(listed("big", 0, &h, nullptr, &current));
    }
    EXPECT_EQ(current, 1);
    EXPECT_EQ(flash(3 * g.erase, 4), "ConF");
    EXPECT_EQ(read("big", &got), 0);
    EXPECT_EQ(got, big);
    EXPECT_EQ(write("u", std::string(g.erase, 'u'), CAL_FLAG_USER), 0);
    EXPECT_EQ(read("u", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, std::string(g.erase, 'u'));
    EXPECT_EQ(flash(6 * g.erase, 4), "ConF");
    EXPECT_EQ(flash(1 * g.erase, g.erase), std::string(g.erase, '\xff'));
    EXPECT_EQ(flash(5 * g.erase, g.erase), std::string(g.erase, '\xff'));
}

TEST_F(Blocks, ReadsComeFromTheCacheTheSecondTime)
{
    EXPECT_EQ(write("x", "cached"), 0);
    cal_context *ctx;
    ASSERT_EQ(cal_init_ro(&ctx), 0);
    for (int i = 0; i < 2; i++) {
        unsigned char *p = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(cal_read_block(ctx, "x", &p, &len, 0), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(p), len), "cached");
        free(p);
    }
    EXPECT_TRUE(has_debug("block 'x', len 6 found from cache"));
    cal_release(ctx);
}

TEST_F(Blocks, CompactionPacksBlocksIntoTheOtherHalf)
{
    const uint32_t half = 2 * geo.erase;
    EXPECT_EQ(write("a", std::string(10, 'a')), 0);
    EXPECT_EQ(write("b", "bbb"), 0);
    // Fill the first half with rewrites of b (one page each).
    for (uint32_t i = 2; i < half / geo.page; i++)
        ASSERT_EQ(write("b", "bb" + std::to_string(i)), 0);
    int current = -1;
    cal_block_header h;
    ASSERT_TRUE(listed("a", 0, &h, nullptr, &current));
    EXPECT_EQ(current, 0);
    EXPECT_EQ(write("b", "BBB"), 0);  // does not fit: compaction
    EXPECT_TRUE(has_debug("block doesn't fit into empty space"));
    uint32_t at = 99;
    // The run ends inside the first page: a copy of its first block
    // follows in the next page, so that the run shows itself complete.
    ASSERT_TRUE(listed("a", 0, &h, &at, &current));
    EXPECT_EQ(current, 1);
    EXPECT_EQ(at, geo.page);
    EXPECT_EQ(h.version, 2);
    EXPECT_EQ(flash(half + geo.page, 46), block_bytes("a", std::string(10, 'a'), 2));
    ASSERT_TRUE(listed("b", 0, &h, &at));
    EXPECT_EQ(at, 48u);
    EXPECT_EQ(h.version, 0);
    std::string image = flash(half, geo.page);
    EXPECT_EQ(image.substr(0, 46), block_bytes("a", std::string(10, 'a'), 1));  // the head + 1
    EXPECT_EQ(image.substr(46, 2), "\xff\xff");
    EXPECT_EQ(image.substr(48, 39), block_bytes("b", "BBB", 0));
    EXPECT_EQ(image.substr(87), std::string(geo.page - 87, '\xff'));
    std::string got;
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "BBB");
    // The next write is appended behind the packed run and its copy.
    EXPECT_EQ(write("c", "c"), 0);
    ASSERT_TRUE(listed("c", 0, &h, &at));
    EXPECT_EQ(at, 2 * geo.page);
}

// The copy behind a run that ends inside the first page shows the run
// complete: the set-up trusts the compacted half without a look at the
// other one (a block only the older half holds is not taken for a sign of
// a compaction cut short). Without the copy the other half is compared.
TEST_F(Blocks, CopyBehindAShortRunSparesTheOtherHalf)
{
    const uint32_t half = 2 * geo.erase;
    ASSERT_EQ(write("a", "a0"), 0);
    ASSERT_EQ(write("b", "b0"), 0);
    for (uint32_t i = 2; i <= half / geo.page; i++)
        ASSERT_EQ(write("c", "c" + std::to_string(i)), 0);  // the last one compacts
    int current = -1;
    cal_block_header h;
    ASSERT_TRUE(listed("a", 0, &h, nullptr, &current));
    ASSERT_EQ(current, 1);
    poke(5 * geo.page, block_bytes("zz", "z", 0) + std::string(geo.page - 37, '\xff'));
    errors.clear();
    std::string got;
    EXPECT_EQ(read("zz", &got), -2);
    EXPECT_EQ(read("c", &got), 0);
    EXPECT_EQ(got, "c" + std::to_string(half / geo.page));
    EXPECT_FALSE(has_error("config2 lacks blocks of config1"));
    // The copy wiped: the short run no longer shows itself complete.
    poke(half + geo.page, std::string(geo.page, '\xff'));
    EXPECT_EQ(read("zz", &got), 0);
    EXPECT_TRUE(has_error("config2 lacks blocks of config1"));
}

TEST_F(Blocks, CompactionWithoutOtpTakesWriteOnceBlocksOnce)
{
    EXPECT_EQ(write("cfg", "c"), 0);
    EXPECT_EQ(write("w1", "one", CAL_FLAG_WRITE_ONCE), 0);
    EXPECT_EQ(write("w2", "two", CAL_FLAG_WRITE_ONCE), 0);
    for (uint32_t i = 3; i < 2 * geo.erase / geo.page; i++)
        ASSERT_EQ(write("cfg", std::to_string(i)), 0);
    EXPECT_EQ(write("cfg", "last"), 0);
    cal_context *ctx;
    ASSERT_EQ(cal_init_ro(&ctx), 0);
    EXPECT_EQ(ctx->current, 1);
    std::vector<std::pair<uint32_t, int>> wo;
    for (cal_block_node *n = ctx->wp_list; n; n = n->next)
        wo.push_back({n->address, n->header.version});
    cal_release(ctx);
    const uint32_t after_cfg = 36 + 4;  // "last"
    EXPECT_EQ(wo, (std::vector<std::pair<uint32_t, int>>{{after_cfg, 0}, {after_cfg + 40, 0}}));
    std::string got;
    EXPECT_EQ(read("w2", &got, CAL_FLAG_WRITE_ONCE), 0);
    EXPECT_EQ(got, "two");
}

TEST_F(Blocks, CorruptDataIsReportedAndNotCompacted)
{
    EXPECT_EQ(write("a", "aaaa"), 0);
    EXPECT_EQ(write("b", "bbbb"), 0);
    poke(36, "X");  // a's data on the flash
    errors.clear();
    std::string got;
    EXPECT_EQ(read("a", &got), -1);
    char want[120];
    snprintf(want, sizeof want,
             "data CRC mismatch on conf block at addr 0x00000000, name 'a' (calc %08x vs. %08x)",
             cal_crc32(reinterpret_cast<const unsigned char *>("Xaaa"), 4),
             cal_crc32(reinterpret_cast<const unsigned char *>("aaaa"), 4));
    EXPECT_TRUE(has_error(want)) << (errors.empty() ? "" : errors.back());
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "bbbb");
    // Appends still work; a compaction cannot take the damaged block.
    const uint32_t half = 2 * geo.erase;
    for (uint32_t i = 2; i < half / geo.page; i++)
        ASSERT_EQ(write("b", std::to_string(i)), 0);
    std::string before = flash(0, 6 * geo.erase);
    EXPECT_EQ(write("b", "full"), -1);
    EXPECT_TRUE(has_error("compress_config_area: invalid block data."));
    EXPECT_EQ(flash(0, 6 * geo.erase), before);
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, std::to_string(half / geo.page - 1));
}

// The first block of a compacted half must count as newer than the first
// block of the half left behind, even when the head's version went more
// than half way round the counter since.
TEST_F(Blocks, CompactedHalfIsChosenAfterTheCounterWentRound)
{
    poke(0, block_bytes("a", "a10", 10));
    poke(geo.page, block_bytes("a", "a100", 100));
    poke(2 * geo.page, block_bytes("a", "a190", 190));
    for (uint32_t i = 3; i < 2 * geo.erase / geo.page; i++)
        poke(i * geo.page, block_bytes("b", "b" + std::to_string(i), uint8_t(i - 3)));
    EXPECT_EQ(write("b", "compacted"), 0);
    int current = -1;
    cal_block_header h;
    ASSERT_TRUE(listed("a", 0, &h, nullptr, &current));
    EXPECT_EQ(current, 1);
    EXPECT_TRUE(cal_version_newer(h.version, 10));
    std::string got;
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a190");
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "compacted");
}

// User blocks compact into the user area itself, all with version 0.
TEST_F(Blocks, UserAreaCompaction)
{
    EXPECT_EQ(write("u1", "one", CAL_FLAG_USER), 0);
    for (uint32_t i = 1; i < 2 * geo.erase / geo.page; i++)
        ASSERT_EQ(write("u2", std::to_string(i), CAL_FLAG_USER), 0);
    EXPECT_EQ(write("u2", "last", CAL_FLAG_USER), 0);
    cal_block_header h;
    uint32_t at;
    ASSERT_TRUE(listed("u1", CAL_FLAG_USER, &h, &at));
    EXPECT_EQ(at, 0u);
    EXPECT_EQ(h.version, 0);
    ASSERT_TRUE(listed("u2", CAL_FLAG_USER, &h, &at));
    EXPECT_EQ(h.version, 0);
    std::string got;
    EXPECT_EQ(read("u2", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "last");
}

// An empty block packed into the last 36 bytes of a half is a block like
// any other, also through the next compaction.
TEST_F(Blocks, EmptyBlockAtTheVeryEndOfAHalf)
{
    const uint32_t half = 2 * geo.erase;
    ASSERT_EQ(write("h", std::string(2012, 'h')), 0);         // one page
    ASSERT_EQ(write("big", std::string(30648, 'b')), 0);      // the rest of the half
    ASSERT_EQ(write("z", ""), 0);                             // compacts
    cal_block_header h;
    uint32_t at = 0;
    ASSERT_TRUE(listed("z", 0, &h, &at));
    EXPECT_EQ(at, half - 36);
    std::string got = "x";
    EXPECT_EQ(read("z", &got), 0);
    EXPECT_EQ(got, "");
    ASSERT_EQ(write("h", std::string(2012, 'H')), 0);  // compacts back
    got = "x";
    EXPECT_EQ(read("z", &got), 0);
    EXPECT_EQ(got, "");
    EXPECT_EQ(read("big", &got), 0);
    EXPECT_EQ(got, std::string(30648, 'b'));
}

// Compacts into config2 with a (5000 bytes, so that config2's second page
// holds only a's data) at its head, then appends newer a and b.
void superseded_copies(Flash &t)
{
    ASSERT_EQ(t.write("a", std::string(5000, 'a')), 0);
    ASSERT_EQ(t.write("b", "b0"), 0);
    for (int i = 0;; i++) {
        cal_context *ctx;
        ASSERT_EQ(cal_init_ro(&ctx), 0);
        int current = ctx->current;
        cal_release(ctx);
        if (current == 1)
            break;
        ASSERT_LT(i, 20);
        ASSERT_EQ(t.write("c", "c" + std::to_string(i)), 0);
    }
    ASSERT_EQ(t.write("a", "a-new"), 0);
    ASSERT_EQ(t.write("b", "b-new"), 0);
}

// Damage to a copy that a newer copy supersedes does not condemn the half:
// the newer copies stay the ones read.
TEST_F(Blocks, DamagedSupersededCopyKeepsTheHalf)
{
    const uint32_t half = 2 * geo.erase;
    struct row {
        const char *what;
        std::function<void(Flash &)> damage;
    } rows[] = {
        {"one bit of its data", [half](Flash &t) { t.poke(half + 100, "`"); }},
        {"its data page unreadable",
         [half, this](Flash &t) { t.arm("mtd.unreadable=" + std::to_string(half + geo.page + 1)); }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        prepare(geo);
        superseded_copies(*this);
        r.damage(*this);
        errors.clear();
        std::string got;
        EXPECT_EQ(read("a", &got), 0);
        EXPECT_EQ(got, "a-new");
        EXPECT_EQ(read("b", &got), 0);
        EXPECT_EQ(got, "b-new");
        EXPECT_FALSE(has_error("damaged block in the first page of config2"));
        EXPECT_FALSE(has_error("error in primary config block; trying to use spare"));
        disarm();
    }
}

// Compacts a0, b0 into config2 (a at 0, b at 0x28 in its first page),
// then appends b1 and b2 (pages 1 and 2).
void compacted_then_appended(Flash &t)
{
    const uint32_t half = 2 * t.geo.erase;
    ASSERT_EQ(t.write("a", "a0"), 0);
    ASSERT_EQ(t.write("b", "b0"), 0);
    for (uint32_t i = 2; i <= half / t.geo.page; i++)
        ASSERT_EQ(t.write("c", "c" + std::to_string(i)), 0);  // the last one compacts
    ASSERT_EQ(t.flash(half + 0x28 + 8, 1), "b");
    ASSERT_EQ(t.write("b", "b1"), 0);
    ASSERT_EQ(t.write("b", "b2"), 0);
}

// A damaged or unreadable header of a superseded copy costs nothing: the
// walk repairs it or resumes behind it, and the half is kept.
TEST_F(Blocks, DamagedSupersededHeaderKeepsTheHalf)
{
    const uint32_t half = 2 * geo.erase;
    const uint32_t page = geo.page;
    struct row {
        const char *what;
        std::function<void(Flash &)> damage;
    } rows[] = {
        {"one bit in the name of b0 in the first page",
         [half](Flash &t) { t.poke(half + 0x28 + 8, "c"); }},
        {"one byte of b1's header CRC", [half, page](Flash &t) { t.poke(half + page + 33, "\x5a"); }},
        {"two bytes of b1's name", [half, page](Flash &t) { t.poke(half + page + 8, "xy"); }},
        {"b1's page unreadable",
         [half, page](Flash &t) { t.arm("mtd.unreadable=" + std::to_string(half + page + 1)); }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        prepare(geo);
        compacted_then_appended(*this);
        r.damage(*this);
        errors.clear();
        std::string got;
        EXPECT_EQ(read("b", &got), 0);
        EXPECT_EQ(got, "b2");
        EXPECT_EQ(read("a", &got), 0);
        EXPECT_EQ(got, "a0");
        EXPECT_FALSE(has_error("error in primary config block; trying to use spare"));
        // The area goes on taking writes.
        EXPECT_EQ(write("b", "b3"), 0);
        EXPECT_EQ(read("b", &got), 0);
        EXPECT_EQ(got, "b3");
        disarm();
    }
}

// Blocks appended behind a compacted run prove that the compaction
// completed: damage to a listed block in the first page costs that block
// only, also when the spare's scan fails too.
TEST_F(Blocks, BlocksBehindACompactedRunKeepTheHalf)
{
    const uint32_t half = 2 * geo.erase;
    for (int spare_damaged : {0, 1}) {
        SCOPED_TRACE(spare_damaged ? "spare damaged too" : "spare sound");
        prepare(geo);
        ASSERT_EQ(write("a", "a0"), 0);
        ASSERT_EQ(write("b", "b0"), 0);
        for (uint32_t i = 2; i <= half / geo.page; i++)
            ASSERT_EQ(write("c", "c" + std::to_string(i)), 0);  // the last one compacts
        ASSERT_EQ(write("b", "b-latest"), 0);
        poke(half + 36, "\x01");  // one data byte of a
        if (spare_damaged)
            poke(geo.page, block_bytes("u", "x", 0, CAL_HDR_FLAG_USER));
        errors.clear();
        std::string got;
        EXPECT_EQ(read("b", &got), 0);
        EXPECT_EQ(got, "b-latest");
        EXPECT_EQ(read("c", &got), 0);
        EXPECT_EQ(got, "c" + std::to_string(half / geo.page));
        EXPECT_EQ(write("d", "d0"), 0);
        EXPECT_EQ(read("b", &got), 0);
        EXPECT_EQ(got, "b-latest");
        EXPECT_EQ(read("d", &got), 0);
    }
}

// The same in the user area, which has no spare: one damaged byte in a
// superseded user header leaves every user block at its newest value.
TEST_F(Blocks, DamagedSupersededUserHeaderKeepsTheUserArea)
{
    const uint32_t user = 4 * geo.erase;
    ASSERT_EQ(write("u1", "u1-v0", CAL_FLAG_USER), 0);
    ASSERT_EQ(write("u2", "u2-v0", CAL_FLAG_USER), 0);
    ASSERT_EQ(write("u2", "u2-v1", CAL_FLAG_USER), 0);
    ASSERT_EQ(write("u1", "u1-v1", CAL_FLAG_USER), 0);
    ASSERT_EQ(flash(user + geo.page + 8, 2), "u2");
    poke(user + geo.page + 9, "3");
    std::string got;
    EXPECT_EQ(read("u1", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "u1-v1");
    EXPECT_EQ(read("u2", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "u2-v1");
    ASSERT_EQ(write("u3", "u3-v0", CAL_FLAG_USER), 0);
    EXPECT_EQ(read("u1", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "u1-v1");
    EXPECT_EQ(read("u2", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "u2-v1");
}

// An unreadable user data page is no damaged block: the compaction that
// would erase it fails, and the block reads again once its page does.
TEST_F(Blocks, UnreadableUserDataIsNotDropped)
{
    const uint32_t user = 4 * geo.erase;
    ASSERT_EQ(write("u1", std::string(3000, '1'), CAL_FLAG_USER), 0);  // pages 0 and 1
    for (uint32_t i = 2; i < 2 * geo.erase / geo.page; i++)
        ASSERT_EQ(write("u2", "u2-" + std::to_string(i), CAL_FLAG_USER), 0);
    arm("mtd.unreadable=" + std::to_string(user + geo.page + 1));
    EXPECT_EQ(write("u2", "u2-new", CAL_FLAG_USER), -1);  // would compact
    disarm();
    std::string got;
    EXPECT_EQ(read("u1", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, std::string(3000, '1'));
    EXPECT_EQ(write("u2", "u2-new", CAL_FLAG_USER), 0);
    EXPECT_EQ(read("u1", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, std::string(3000, '1'));
    EXPECT_EQ(read("u2", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "u2-new");
}

// A listed copy damaged in the first page still condemns the half: the
// first page is the one a compaction writes last.
TEST_F(Blocks, DamagedListedCopyInTheFirstPageCondemnsTheHalf)
{
    const uint32_t half = 2 * geo.erase;
    ASSERT_EQ(write("a", "a0"), 0);
    ASSERT_EQ(write("b", "b0"), 0);
    for (uint32_t i = 2; i <= half / geo.page; i++)
        ASSERT_EQ(write("c", "c" + std::to_string(i)), 0);  // the last one compacts
    cal_block_header h;
    uint32_t at = 0;
    int current = -1;
    ASSERT_TRUE(listed("b", 0, &h, &at, &current));
    ASSERT_EQ(current, 1);
    ASSERT_LT(at, geo.page);
    poke(half + at + 36, "\x01");
    errors.clear();
    std::string got;
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b0");
    EXPECT_TRUE(has_error("damaged block in the first page of config2"));
}

// An OTP mode that cannot be switched off again fails the access and stops
// the context's flash access: nothing is written from a misread area.
TEST_F(Blocks, FailedOtpSwitchOffStopsTheContext)
{
    geometry g;
    g.otp = g.erase;
    prepare(g);
    ASSERT_EQ(write("a", "a0"), 0);
    ASSERT_EQ(write("b", "b0"), 0);
    ASSERT_EQ(write("w", "once", CAL_FLAG_WRITE_ONCE), 0);
    const std::string image = flash(0, g.blocks * g.erase);
    reboot();
    arm("mtd.otpselect.off.nth=2");  // after the probe: the write-once area's header
    EXPECT_EQ(write("c", "c0"), -1);
    EXPECT_TRUE(has_error("flash access stopped: OTP mode could not be switched off"));
    disarm();
    reboot();
    EXPECT_EQ(flash(0, g.blocks * g.erase), image);
    std::string got;
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a0");
    EXPECT_EQ(read("w", &got), 0);
    EXPECT_EQ(got, "once");
    // Reads of such a context fail too, rather than finding nothing.
    reboot();
    arm("mtd.otpselect.off.nth=2");
    EXPECT_EQ(read("a", &got), -1);
}

// A failed OTP probe is no flash without OTP region: the write-once
// write fails and nothing lands in the halves.
TEST_F(Blocks, FailedOtpProbeFailsTheWriteOnceWrite)
{
    geometry g;
    g.otp = g.erase;
    prepare(g);
    ASSERT_EQ(write("a", "a0"), 0);
    ASSERT_EQ(write("b", "b0"), 0);
    const std::string image = flash(0, g.blocks * g.erase);
    reboot();
    arm("mtd.otpselect.on.nth=1");
    EXPECT_EQ(write("w", "once", CAL_FLAG_WRITE_ONCE), -1);
    disarm();
    reboot();
    EXPECT_EQ(flash(0, g.blocks * g.erase), image);
    std::string got;
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a0");
    ASSERT_EQ(write("w", "once", CAL_FLAG_WRITE_ONCE), 0);
    EXPECT_EQ(read("w", &got), 0);
    EXPECT_EQ(got, "once");
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b0");
    // A read of a write-once block with the probe failing is no "missing".
    reboot();
    arm("mtd.otpselect.on.nth=1");
    EXPECT_EQ(read("w", &got, CAL_FLAG_WRITE_ONCE), -1);
    disarm();
}

// Bytes that are not erased where a block would be appended are never
// written over: the area is compacted instead.
TEST_F(Blocks, StaleBytesInTheFreeSpaceAreNotWrittenOver)
{
    const uint32_t half = 2 * geo.erase;
    ASSERT_EQ(write("a", "a0"), 0);
    // Stale zeros where the next block's successor header would lie, and
    // more stale bytes further on.
    poke(geo.page + 48, std::string(16, '\0'));
    poke(half - geo.page, std::string(16, '\0'));
    ASSERT_EQ(write("b", std::string(12, 'b')), 0);
    std::string got;
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a0");
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, std::string(12, 'b'));
    ASSERT_EQ(write("c", "c0"), 0);
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(read("c", &got), 0);
    EXPECT_EQ(got, "c0");
}

// Stale bytes right behind where an appended block would end (a block
// header left there) would join the area at the next set-up and condemn
// the half: the area is compacted instead.
TEST_F(Blocks, StaleHeaderBehindTheFreeSpaceIsNotJoined)
{
    ASSERT_EQ(write("a", "a0"), 0);
    poke(2 * geo.page, block_bytes("u", "stale", 0, CAL_HDR_FLAG_USER));
    ASSERT_EQ(write("b", "b0"), 0);
    std::string got;
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a0");
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b0");
    EXPECT_FALSE(has_error("user block 'u' found in non-user area"));
}

// A half that could not be read in a set-up may hold newer blocks than the
// other one: a write made then must not be discarded when it reads again.
TEST_F(Blocks, UnreadableNewerHalfDoesNotTakeWritesToTheOlderOne)
{
    const uint32_t half = 2 * geo.erase;
    superseded_copies(*this);  // config2 is current
    arm("mtd.unreadable=" + std::to_string(half + 1));
    std::string got;
    int r = write("a", "while unreadable");
    disarm();
    reboot();
    EXPECT_EQ(read("a", &got), 0);
    if (r == 0)
        EXPECT_EQ(got, "while unreadable") << "an acknowledged write was discarded";
    else
        EXPECT_EQ(got, "a-new");
    EXPECT_EQ(r, -1);
    EXPECT_TRUE(has_error("config2 could not be read; not writing to config1"));
    EXPECT_EQ(write("a", "later"), 0);
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "later");
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b-new");
}

// An unreadable first page of the older half does not stop writes to the
// current one: what the rest of that half holds shows it is the older.
TEST_F(Blocks, UnreadableOlderHalfTakesNoWritesAway)
{
    compacted_then_appended(*this);  // config2 current
    arm("mtd.unreadable=1");          // config1's first page
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(write("b", "b-" + std::to_string(i)), 0) << i;
    std::string got;
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b-7");
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a0");
    disarm();
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b-7");
}

// With both halves invalid, the write erases the current half and starts
// it anew: the block goes to its first page, whatever the scan of the
// damaged half had found its free space to start at.
TEST_F(Blocks, WriteToAHalfStartedAnewGoesToItsStart)
{
    const uint32_t half = 2 * geo.erase;
    // config2 the newer, its first block damaged (a listed copy in the
    // first page), a valid block in its second page; config1 with a
    // header that does not check in its second page, more data behind it.
    poke(half, block_bytes("a", "a-new", 7));
    poke(half + geo.page, block_bytes("b", "b-new", 0, CAL_HDR_FLAG_USER));
    std::string bad = block_bytes("b", "bad", 0, CAL_HDR_FLAG_USER);
    poke(0, block_bytes("a", "a-old", 5));
    poke(geo.page, bad);
    poke(2 * geo.page, block_bytes("c", "c", 0));
    std::string got;
    ASSERT_EQ(read("a", &got), -2);
    ASSERT_TRUE(has_error("error in secondary config block too; now this is messed up"));
    ASSERT_EQ(write("z", ""), 0);
    EXPECT_EQ(read("z", &got), 0) << "an acknowledged write does not read back";
    EXPECT_EQ(got, "");
    ASSERT_EQ(write("y", "y0"), 0);
    EXPECT_EQ(read("z", &got), 0);
    EXPECT_EQ(read("y", &got), 0);
    EXPECT_EQ(got, "y0");
}

// --- Power cuts ---------------------------------------------------------
//
// A write is cut short by a power loss at each of its flash operations in
// turn (page programs and erase-block erases), with various amounts of the
// interrupted operation done. After the next boot every block must read as
// before the write, or (the written block) as after it; nothing may be
// lost or corrupt, and the area must take further writes.

struct named {
    std::string name;
    int flags;
};

class PowerCut : public Flash {
public:
    struct scenario {
        const char *what;
        std::function<void(PowerCut &)> setup;
        named target;
        std::string data;
        std::vector<named> others;
    };

    // Fills the current half with rewrites of one small block.
    void fill_half(const std::string &name)
    {
        for (;;) {
            cal_context *ctx;
            ASSERT_EQ(cal_init_ro(&ctx), 0);
            cal_area *cur = &ctx->config[ctx->current];
            bool full = cur->empty_start + geo.page > cal_area_size(ctx, cur);
            cal_release(ctx);
            if (full)
                return;
            ASSERT_EQ(write(name, name + std::to_string(counter_++)), 0);
        }
    }

    std::map<std::string, std::string> contents(const std::vector<named> &names)
    {
        std::map<std::string, std::string> out;
        for (const auto &n : names) {
            std::string got;
            int r = read(n.name, &got, n.flags);
            EXPECT_TRUE(r == 0 || r == -2) << n.name << ": " << r;
            if (r == 0)
                out[n.name + "/" + std::to_string(n.flags)] = got;
        }
        return out;
    }

    void run(const scenario &sc)
    {
        SCOPED_TRACE(sc.what);
        std::vector<named> all = sc.others;
        all.push_back(sc.target);
        const std::string key = sc.target.name + "/" + std::to_string(sc.target.flags);

        prepare(geo);
        sc.setup(*this);
        const uint32_t size = geo.blocks * geo.erase;
        const std::string image = flash(0, size);
        const std::string otp_image = geo.otp ? flash(0, geo.otp, true) : "";
        const auto before = contents(all);
        reboot();
        ASSERT_EQ(write(sc.target.name, sc.data, sc.target.flags), 0);
        const long operations = ks_sim::mtd_operations();
        ASSERT_GT(operations, 0);
        auto after = before;
        after[key] = sc.data;
        EXPECT_EQ(contents(all), after);

        for (long n = 1; n <= operations; n++)
            for (const char *bytes : {"", "1", "20", "36", "40", "2047"})
                for (int random : {0, int(n) * 7 + 1})
                for (bool last : {false, true}) {
                SCOPED_TRACE("cut at operation " + std::to_string(n) + " after " +
                             (*bytes ? bytes : "half its") + (last ? " last" : "") + " bytes" +
                             (random ? ", random bits behind" : ""));
                prepare(geo);
                poke(0, image);
                if (geo.otp)
                    poke(0, otp_image, true);
                arm("mtd.powercut=" + std::to_string(n));
                if (last)
                    arm("mtd.powercut.last=1");
                if (*bytes)
                    arm(std::string("mtd.powercut.bytes=") + bytes);
                if (random)
                    arm("mtd.powercut.random=" + std::to_string(random));
                EXPECT_NE(write(sc.target.name, sc.data, sc.target.flags), 0);
                EXPECT_TRUE(ks_sim::mtd_power_is_off());
                disarm();
                reboot();
                auto now = contents(all);
                EXPECT_TRUE(now == before || now == after) << describe(now);
                // The area goes on working.
                EXPECT_EQ(write("post", "p"), 0);
                auto later = contents(all);
                EXPECT_TRUE(later == before || later == after) << describe(later);
                std::string got;
                EXPECT_EQ(read("post", &got), 0);
                if (HasFailure())
                    return;
            }
    }

    static std::string describe(const std::map<std::string, std::string> &m)
    {
        std::string s;
        for (const auto &kv : m)
            s += kv.first + "=" + kv.second.substr(0, 12) + " ";
        return s;
    }

    int counter_ = 0;
};

TEST_F(PowerCut, AppendedVersion)
{
    run({"new version of a block",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("a", "a0"), 0);
             ASSERT_EQ(t.write("b", "b0"), 0);
             ASSERT_EQ(t.write("c", "c0"), 0);
         },
         {"b", 0},
         std::string(300, 'B'),
         {{"a", 0}, {"c", 0}}});
}

TEST_F(PowerCut, AppendedNewBlock)
{
    run({"a new block",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("a", "a0"), 0);
             ASSERT_EQ(t.write("b", "b0"), 0);
         },
         {"z", 0},
         "zz",
         {{"a", 0}, {"b", 0}}});
}

TEST_F(PowerCut, FirstWriteToErasedFlash)
{
    run({"first write", [](PowerCut &) {}, {"a", 0}, "first", {}});
}

TEST_F(PowerCut, CompactionOfOnePage)
{
    run({"compaction into one page",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("a", "a0"), 0);
             ASSERT_EQ(t.write("b", "b0"), 0);
             t.fill_half("c");
         },
         {"c", 0},
         "c-new",
         {{"a", 0}, {"b", 0}}});
}

TEST_F(PowerCut, CompactionOfSeveralPages)
{
    run({"compaction into several pages",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("a", std::string(1500, 'a')), 0);
             ASSERT_EQ(t.write("b", std::string(1500, 'b')), 0);
             ASSERT_EQ(t.write("c", std::string(1500, 'c')), 0);
             t.fill_half("d");
         },
         {"b", 0},
         std::string(1500, 'B'),
         {{"a", 0}, {"c", 0}, {"d", 0}}});
}

TEST_F(PowerCut, CompactionBackIntoTheFirstHalf)
{
    run({"second compaction",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("a", "a0"), 0);
             ASSERT_EQ(t.write("b", std::string(700, 'b')), 0);
             t.fill_half("c");
             ASSERT_EQ(t.write("c", "moved"), 0);  // into config2
             t.fill_half("c");
         },
         {"a", 0},
         "a-new",
         {{"b", 0}, {"c", 0}}});
}

TEST_F(PowerCut, WriteOnceBlockInTheOtpRegion)
{
    geo.otp = geo.erase;
    run({"write-once block",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("cfg", "c"), 0);
             ASSERT_EQ(t.write("w1", "one", CAL_FLAG_WRITE_ONCE), 0);
         },
         {"w2", CAL_FLAG_WRITE_ONCE},
         "two",
         {{"cfg", 0}, {"w1", CAL_FLAG_WRITE_ONCE}}});
}

TEST_F(PowerCut, UserAppend)
{
    run({"user block",
         [](PowerCut &t) {
             ASSERT_EQ(t.write("cfg", "c"), 0);
             ASSERT_EQ(t.write("u1", "one", CAL_FLAG_USER), 0);
             ASSERT_EQ(t.write("u2", "two", CAL_FLAG_USER), 0);
         },
         {"u2", CAL_FLAG_USER},
         "two-new",
         {{"cfg", 0}, {"u1", CAL_FLAG_USER}}});
}

// The user area is compacted in place: a cut there may lose user blocks,
// but never leaves the area stuck or a block reading an older value. Every
// user block reads as before the write, as after it, or as missing; the
// next user write succeeds.
TEST_F(PowerCut, UserCompaction)
{
    const std::vector<std::string> names = {"u1", "u2", "u3"};
    ASSERT_EQ(write("cfg", "c"), 0);
    ASSERT_EQ(write("u1", std::string(1500, '1'), CAL_FLAG_USER), 0);
    ASSERT_EQ(write("u2", std::string(1500, '2'), CAL_FLAG_USER), 0);
    for (uint32_t i = 2; i < 2 * geo.erase / geo.page; i++)
        ASSERT_EQ(write("u3", "u3-" + std::to_string(i), CAL_FLAG_USER), 0);
    const std::string image = flash(0, geo.blocks * geo.erase);
    std::map<std::string, std::string> before;
    for (const auto &n : names)
        ASSERT_EQ(read(n, &before[n], CAL_FLAG_USER), 0);
    reboot();
    ASSERT_EQ(write("u3", "u3-new", CAL_FLAG_USER), 0);  // compacts
    const long operations = ks_sim::mtd_operations();
    // Right after the cut a block torn by it may fail to read; the next
    // write rewrites the area from what can still be read.
    auto check = [&](const char *when, bool torn_allowed) {
        for (const auto &n : names) {
            std::string got;
            int r = read(n, &got, CAL_FLAG_USER);
            EXPECT_TRUE(r == -2 || (r == -1 && torn_allowed) ||
                        (r == 0 && (got == before[n] || (n == "u3" && got == "u3-new"))))
                << when << ": " << n << " " << r << " " << got.substr(0, 8);
        }
    };
    for (long n = 1; n <= operations; n++)
        for (const char *bytes : {"", "20", "40"})
            for (int random : {0, int(n) + 3})
            for (bool last : {false, true}) {
                SCOPED_TRACE("cut at operation " + std::to_string(n) + " after " +
                             (*bytes ? bytes : "half its") + (last ? " last" : "") + " bytes" +
                             (random ? ", random bits behind" : ""));
                prepare(geo);
                poke(0, image);
                arm("mtd.powercut=" + std::to_string(n));
                if (last)
                    arm("mtd.powercut.last=1");
                if (*bytes)
                    arm(std::string("mtd.powercut.bytes=") + bytes);
                if (random)
                    arm("mtd.powercut.random=" + std::to_string(random));
                EXPECT_NE(write("u3", "u3-new", CAL_FLAG_USER), 0);
                disarm();
                reboot();
                check("after the cut", true);
                EXPECT_EQ(write("post", "p", CAL_FLAG_USER), 0);
                check("after the next write", false);
                std::string got;
                EXPECT_EQ(read("post", &got, CAL_FLAG_USER), 0);
                std::string cfg;
                EXPECT_EQ(read("cfg", &cfg), 0);
                if (HasFailure())
                    return;
            }
}

// A cut while the user compaction writes its first page loses only the
// blocks that lie in that page: the blocks wholly behind it survive, also
// through the next user write.
TEST_F(PowerCut, UserCompactionCutInTheFirstPage)
{
    ASSERT_EQ(write("cfg", "c"), 0);
    for (const char *u : {"u1", "u2", "u3", "u4"})
        ASSERT_EQ(write(u, std::string(1500, u[1]), CAL_FLAG_USER), 0);
    for (uint32_t i = 4; i < 2 * geo.erase / geo.page; i++)
        ASSERT_EQ(write("u5", "u5-" + std::to_string(i), CAL_FLAG_USER), 0);
    const std::string image = flash(0, geo.blocks * geo.erase);
    reboot();
    ASSERT_EQ(write("u5", "u5-new", CAL_FLAG_USER), 0);  // compacts: u1..u4 at 0, 1536, 3072, 4608
    const long operations = ks_sim::mtd_operations();
    for (const char *bytes : {"36", "1000"}) {
        SCOPED_TRACE(std::string("first page cut after ") + bytes + " bytes");
        prepare(geo);
        poke(0, image);
        arm("mtd.powercut=" + std::to_string(operations));
        arm(std::string("mtd.powercut.bytes=") + bytes);
        EXPECT_NE(write("u5", "u5-new", CAL_FLAG_USER), 0);
        disarm();
        reboot();
        for (int round = 0; round < 2; round++) {
            std::string got;
            EXPECT_EQ(read("u3", &got, CAL_FLAG_USER), 0);
            EXPECT_EQ(got, std::string(1500, '3'));
            EXPECT_EQ(read("u4", &got, CAL_FLAG_USER), 0);
            EXPECT_EQ(got, std::string(1500, '4'));
            EXPECT_EQ(read("u5", &got, CAL_FLAG_USER), 0);
            EXPECT_EQ(got, "u5-new");
            if (round == 0) {
                EXPECT_EQ(write("post", "p", CAL_FLAG_USER), 0);
            }
        }
    }
}

// A compaction writes its first page last: cut at its last operation but
// one, the destination's first page is still erased and the old half
// stays the chosen one.
TEST_F(PowerCut, CompactionWritesTheFirstPageLast)
{
    const uint32_t half = 2 * geo.erase;
    ASSERT_EQ(write("a", std::string(1500, 'a')), 0);
    ASSERT_EQ(write("b", std::string(1500, 'b')), 0);
    fill_half("c");
    const std::string image = flash(0, geo.blocks * geo.erase);
    reboot();
    ASSERT_EQ(write("b", std::string(1500, 'B')), 0);
    const long operations = ks_sim::mtd_operations();
    ASSERT_GE(operations, 4);  // two erases and at least two pages
    prepare(geo);
    poke(0, image);
    arm("mtd.powercut=" + std::to_string(operations - 1));
    arm("mtd.powercut.bytes=2047");
    EXPECT_NE(write("b", std::string(1500, 'B')), 0);
    EXPECT_EQ(flash(half, geo.page), std::string(geo.page, '\xff'));
    EXPECT_NE(flash(half + geo.page, 4), "\xff\xff\xff\xff");
    disarm();
    reboot();
    std::string got;
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, std::string(1500, 'b'));
}

}  // namespace
}  // namespace cal_test
