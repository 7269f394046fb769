// The flash device and the set-up of a context on the simulated NAND
// flash: partition, geometry, OTP probe, bad blocks and areas, reading and
// verified writing, the choice of the current half.
#include "cal/test_flash.h"

#include "sim/models/mtd.h"
#include "support/test_process.h"


#include <algorithm>
#include <cstring>

namespace cal_test {
namespace {

using Device = Flash;

TEST_F(Device, FindsTheConfigPartitionByExactName)
{
    char path[16];
    ASSERT_EQ(find_config_partition(path), 0);
    EXPECT_STREQ(path, "/dev/mtd1");
    ASSERT_EQ(ks_sim::mtd_write_partitions({{0, "config2", 0x20000, 0x4000, 0x800, 0},
                                            {2, "myconfig", 0x20000, 0x4000, 0x800, 0},
                                            {3, "config", 0x20000, 0x4000, 0x800, 0}}),
              0);
    ASSERT_EQ(find_config_partition(path), 0);
    EXPECT_STREQ(path, "/dev/mtd3");
    // "/dev/mtd1234567" fits 16 bytes, one digit more does not.
    ASSERT_EQ(ks_sim::mtd_write_partitions({{1234567, "config", 0x20000, 0x4000, 0x800, 0}}), 0);
    ASSERT_EQ(find_config_partition(path), 0);
    EXPECT_STREQ(path, "/dev/mtd1234567");
    ASSERT_EQ(ks_sim::mtd_write_partitions({{12345678, "config", 0x20000, 0x4000, 0x800, 0}}), 0);
    EXPECT_EQ(find_config_partition(path), -1);
    EXPECT_TRUE(has_error("Partition 'config' not found"));
}

TEST_F(Device, SetUpFailuresLeaveNothingOpen)
{
    struct row {
        const char *fault;
        uint32_t otp;
        std::string error;
    } rows[] = {
        {"mtd.open=13", 0, "open(/dev/mtd1): Permission denied"},
        {"mtd.getinfo=5", 0, "MEMGETINFO: Input/output error"},
        {"mtd.nor", 0, "Only NAND devices supported"},
        {"mtd.otpselect.off=5", 0x4000, "Could not disable OTP mode after probe"},
        {"mtd.badblock=5", 0, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.fault);
        geometry g;
        g.otp = r.otp;
        prepare(g);
        arm(r.fault);
        int before = open_descriptors();
        cal_context *ctx = reinterpret_cast<cal_context *>(1);
        EXPECT_EQ(cal_init_rw(&ctx), -1);
        EXPECT_EQ(open_descriptors(), before);
        if (!r.error.empty()) {
            EXPECT_TRUE(has_error(r.error)) << (errors.empty() ? "" : errors[0]);
        }
    }
}

TEST_F(Device, OtpProbe)
{
    cal_context *ctx;
    ASSERT_EQ(cal_init_ro(&ctx), 0);
    EXPECT_EQ(ctx->otp, 0);
    EXPECT_EQ(ctx->wp.block_count, 0u);
    EXPECT_TRUE(errors.size() == 1 &&
                errors[0] == "both configuration areas are invalid; choosing first half");
    EXPECT_EQ(cal_lock_wp_area(ctx, 1), -1);
    cal_release(ctx);
    geometry g;
    g.otp = g.erase;
    prepare(g);
    ASSERT_EQ(cal_init_rw(&ctx), 0);
    EXPECT_EQ(ctx->otp, 1);
    ASSERT_EQ(ctx->wp.block_count, 1u);
    EXPECT_STREQ(ctx->wp.name, "wp");
    EXPECT_EQ(ctx->wp.otp, 1);
    EXPECT_TRUE(has_debug("write-once area not valid"));
    // Locking the write-once area: the OTP region refuses writes after.
    EXPECT_EQ(cal_lock_wp_area(ctx, 2), 0);
    std::string page(g.page, 'w');
    EXPECT_EQ(nand_write(ctx, &ctx->wp, 0, page.data(), g.page), -1);
    cal_release(ctx);
}

TEST_F(Device, GoodEraseBlocksAreDividedIntoThreeAreas)
{
    struct row {
        uint32_t blocks;
        std::vector<uint32_t> bad;
        uint32_t n;  // 0: the set-up fails
    } rows[] = {
        {10, {1}, 3}, {10, {}, 3}, {7, {0, 3}, 1}, {4, {0, 2}, 0}, {2, {}, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.blocks) + " blocks, " + std::to_string(r.bad.size()) +
                     " bad");
        geometry g;
        g.blocks = r.blocks;
        g.bad = r.bad;
        prepare(g);
        cal_context *ctx = nullptr;
        if (r.n == 0) {
            EXPECT_EQ(cal_init_ro(&ctx), -1);
            EXPECT_TRUE(has_error("need at least three good erase blocks"));
            continue;
        }
        ASSERT_EQ(cal_init_ro(&ctx), 0);
        EXPECT_EQ(ctx->config[0].block_count, r.n);
        EXPECT_EQ(ctx->user.block_count, r.n);
        // Every good block is used once, in order, and no bad one.
        std::vector<uint32_t> used;
        for (cal_area *a : {&ctx->config[0], &ctx->config[1], &ctx->user})
            for (uint32_t k = 0; k < a->block_count; k++) {
                EXPECT_EQ(a->blocks[k].logical, k * g.erase);
                used.push_back(a->blocks[k].physical / g.erase);
            }
        std::vector<uint32_t> want;
        for (uint32_t b = 0; want.size() < 3 * r.n; b++)
            if (std::find(r.bad.begin(), r.bad.end(), b) == r.bad.end())
                want.push_back(b);
        EXPECT_EQ(used, want);
        cal_release(ctx);
    }
}

TEST_F(Device, ReadsSplitAtEraseBlocksAndFollowTheMap)
{
    geometry g;
    g.blocks = 10;
    g.bad = {1};
    prepare(g);
    // config1 maps logical E to physical 2E: put bytes either side.
    poke(2 * g.erase - 20, std::string(20, 'x'));  // physical block 1 is bad: not used
    poke(g.erase - 20, std::string(20, 'a'));
    poke(2 * g.erase, std::string(80, 'b'));
    cal_context *ctx;
    ASSERT_EQ(cal_init_ro(&ctx), 0);
    debugs.clear();
    char buf[100];
    ASSERT_EQ(cal_nand_read(ctx, &ctx->config[0], g.erase - 20, buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf, 100), std::string(20, 'a') + std::string(80, 'b'));
    EXPECT_TRUE(has_debug("nand_read: 20 bytes from 0x00003fec"));
    EXPECT_TRUE(has_debug("nand_read: 80 bytes from 0x00008000"));
    EXPECT_EQ(cal_nand_read(ctx, &ctx->config[0], 3 * g.erase - 10, buf, 20), -1);
    EXPECT_TRUE(has_error("nand_read: invalid addr: 0x0000c000"));
    cal_release(ctx);
}

TEST_F(Device, WritesArePagedAndVerified)
{
    cal_context *ctx;
    ASSERT_EQ(cal_init_rw(&ctx), 0);
    ks_sim::mtd_power_cycle();
    std::string half(geo.page / 2, 'h');
    EXPECT_EQ(nand_write(ctx, &ctx->user, 0, half.data(), uint32_t(half.size())), -1);
    EXPECT_TRUE(has_error("nand_write: both addr and len must be aligned on page boundary "
                          "(0x00000000, 1024)"));
    EXPECT_EQ(ks_sim::mtd_operations(), 0);  // the device was not touched
    // A page already programmed where the new data want a 1: the read-back
    // finds the first difference.
    uint32_t user0 = ctx->user.blocks[0].physical;
    poke(user0 + geo.page + 5, std::string(1, '\0'));
    std::string two(2 * geo.page, 'p');
    EXPECT_EQ(nand_write(ctx, &ctx->user, 0, two.data(), uint32_t(two.size())), -1);
    char want[80];
    snprintf(want, sizeof want, "verify error at paddr 0x%08x: read 0x00, want 0x70",
             user0 + geo.page + 5);
    EXPECT_TRUE(has_error(want)) << (errors.empty() ? "" : errors.back());
    EXPECT_EQ(flash(user0, 1), "p");  // the first page was written
    cal_release(ctx);
}

// The half whose first header is valid and newer is current; equal
// versions choose the second.
TEST_F(Device, CurrentHalfByFirstHeaderVersions)
{
    struct row {
        int first, second;  // -1: erased
        int current;
    } rows[] = {
        {3, 4, 1},     {4, 3, 0},   {7, 7, 1},   {250, 2, 1}, {2, 250, 0},
        {200, 100, 0}, {100, 200, 1}, {-1, 5, 1}, {5, -1, 0},  {-1, -1, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.first) + ", " + std::to_string(r.second));
        prepare(geometry{});
        const uint32_t half = 2 * geo.erase;  // n = 2 with 6 good blocks
        if (r.first >= 0)
            poke(0, block_bytes("c", "one", uint8_t(r.first)));
        if (r.second >= 0)
            poke(half, block_bytes("c", "two", uint8_t(r.second)));
        cal_context *ctx;
        ASSERT_EQ(cal_init_ro(&ctx), 0);
        EXPECT_EQ(ctx->current, r.current);
        EXPECT_EQ(has_error("both configuration areas are invalid; choosing first half"),
                  r.first < 0 && r.second < 0);
        if (r.first >= 0 || r.second >= 0) {
            ASSERT_NE(ctx->config_list, nullptr);
            EXPECT_EQ(std::string(reinterpret_cast<char *>(ctx->config_list->data), 3),
                      r.current ? "two" : "one");
        } else {
            EXPECT_EQ(ctx->config_list, nullptr);
            EXPECT_TRUE(has_debug("user area not valid"));
        }
        cal_release(ctx);
    }
}

TEST_F(Device, UserAreaIsScannedWhateverTheHalves)
{
    poke(4 * geo.erase, block_bytes("u", "user data", 0, CAL_HDR_FLAG_USER));
    std::string got;
    EXPECT_EQ(read("u", &got, CAL_FLAG_USER), 0);
    EXPECT_EQ(got, "user data");
    EXPECT_TRUE(has_debug("user area seems to be ok"));
    EXPECT_EQ(read("u", &got, 0), -2);  // not a configuration block
}

TEST_F(Device, DamagedCurrentHalfFallsBackToTheOther)
{
    const uint32_t half = 2 * geo.erase;
    poke(half, block_bytes("a", "spare a", 3) + "\xff" + block_bytes("b", "spare b", 0));
    // The newer first half: a valid first block, then a block that has no
    // place in a half (a damaged header costs its block only), then more
    // data.
    std::string bad = block_bytes("b", "bad", 0, CAL_HDR_FLAG_USER);
    poke(0, block_bytes("a", "new a", 4));
    poke(geo.page, bad);
    poke(2 * geo.page, block_bytes("c", "c", 0));
    std::string got;
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "spare a");
    EXPECT_TRUE(has_error("error in primary config block; trying to use spare"));
    // Both damaged: nothing is listed, the set-up still succeeds.
    poke(half + geo.page, bad);
    poke(half + 2 * geo.page, block_bytes("c", "c", 0));
    errors.clear();
    EXPECT_EQ(read("a", &got), -2);
    EXPECT_TRUE(has_error("error in secondary config block too; now this is messed up"));
}

// A newer half that lacks a block of the other half was cut short while a
// compaction wrote it (blocks are never deleted): the other half is used.
TEST_F(Device, NewerHalfLackingBlocksIsNotTrusted)
{
    const uint32_t half = 2 * geo.erase;
    poke(0, block_bytes("a", "a0", 0) + std::string(2, '\xff') + block_bytes("b", "b0", 0));
    poke(half, block_bytes("a", "a1", 1));
    std::string got;
    EXPECT_EQ(read("b", &got), 0);
    EXPECT_EQ(got, "b0");
    EXPECT_EQ(read("a", &got), 0);
    EXPECT_EQ(got, "a0");
    EXPECT_TRUE(has_error("config2 lacks blocks of config1"));
}

}  // namespace
}  // namespace cal_test
