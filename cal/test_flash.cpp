#include "cal/test_flash.h"

#include "sim/models/mtd.h"
#include "sim/testing/inside.h"

#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>

namespace cal_test {

std::vector<std::string> errors;
std::vector<std::pair<int, std::string>> debugs;

namespace {

void collect_error(const char *m) { errors.push_back(m); }
void collect_debug(int level, const char *m) { debugs.push_back({level, m}); }
}  // namespace

bool has_error(const std::string &text)
{
    for (const auto &e : errors)
        if (e == text)
            return true;
    return false;
}

bool has_debug(const std::string &text)
{
    for (const auto &d : debugs)
        if (d.second == text)
            return true;
    return false;
}

void Flash::SetUp()
{
    // The flash tests erase and damage a flash partition: they run only in
    // the sandbox's namespace with the simulator loaded.
    ASSERT_TRUE(ks_sim::testing::inside_sandbox_with_simulator("open"))
        << "runs inside ks-sandbox only";
    errors.clear();
    debugs.clear();
    cal_error_hook = collect_error;
    cal_debug_hook = collect_debug;
    prepare(geometry{});
}

void Flash::TearDown()
{
    cal_error_hook = cal_default_error_handler;
    cal_debug_hook = nullptr;
}

void Flash::prepare(const geometry &g)
{
    geo = g;
    std::vector<ks_sim::mtd_partition> parts = {
        {0, "bootloader", 0x40000, 0x20000, 0x800, 0},
        {config_mtd, "config", g.blocks * g.erase, g.erase, g.page, g.otp},
        {4, "rootfs", 0x400000, 0x20000, 0x800, 0},
    };
    ASSERT_EQ(ks_sim::mtd_write_partitions(parts), 0);
    ASSERT_EQ(ks_sim::mtd_erase_all(config_mtd), 0);
    std::string bad;
    for (uint32_t b : g.bad)
        bad += std::to_string(b) + "\n";
    ASSERT_EQ(ks_sim::write_state("mtd/mtd1.bad", bad), 0);
    disarm();
    reboot();
    errors.clear();
    debugs.clear();
}

void Flash::arm(const std::string &line)
{
    std::string text;
    ks_sim::read_state("faults", text);
    ASSERT_EQ(ks_sim::write_state("faults", text + line + "\n"), 0);
}

void Flash::disarm() { ASSERT_EQ(ks_sim::write_state("faults", ""), 0); }

void Flash::reboot() { ks_sim::mtd_power_cycle(); }

std::string Flash::flash(uint32_t offset, uint32_t length, bool otp)
{
    std::string out;
    EXPECT_EQ(ks_sim::mtd_read_flash(config_mtd, offset, length, out, otp), 0);
    return out;
}

void Flash::poke(uint32_t offset, const std::string &bytes, bool otp)
{
    ASSERT_EQ(ks_sim::mtd_poke_flash(config_mtd, offset, bytes, otp), 0);
}

int Flash::write(const std::string &name, const std::string &data, int flags)
{
    cal_context *ctx = nullptr;
    if (cal_init_rw(&ctx) != 0)
        return -3;
    int r = cal_write_block(ctx, name.c_str(), reinterpret_cast<const unsigned char *>(data.data()),
                            uint32_t(data.size()), flags);
    cal_release(ctx);
    return r;
}

int Flash::read(const std::string &name, std::string *data, int flags)
{
    cal_context *ctx = nullptr;
    if (cal_init_ro(&ctx) != 0)
        return -3;
    unsigned char *p = nullptr;
    uint32_t len = 0;
    int r = cal_read_block(ctx, name.c_str(), &p, &len, flags);
    if (r == 0) {
        data->assign(reinterpret_cast<char *>(p), len);
        free(p);
    }
    cal_release(ctx);
    return r;
}

}  // namespace cal_test
