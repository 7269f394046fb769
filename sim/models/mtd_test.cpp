#include "sim/models/mtd.h"
#include "sim/testing/state_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace ks_sim {
namespace {

// A state directory of its own for every test; small partitions.
class MtdModel : public ks_sim::testing::StateDirTest {
protected:
    void SetUp() override
    {
        StateDirTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(system(("mkdir -p '" + dir + "/run' '" + dir + "/dev'").c_str()), 0);
        ASSERT_EQ(mtd_write_partitions({{1, "config", 0x4000, 0x1000, 0x200, 0x1000},
                                        {2, "data", 0x2000, 0x1000, 0x200, 0}}),
                  0);
    }
    static std::unique_ptr<open_file> dev(unsigned n = 1, int flags = O_RDWR)
    {
        auto f = mtd_open_device(n, flags);
        EXPECT_NE(f, nullptr);
        return f;
    }
    static ssize_t write_at(open_file &f, uint32_t off, const std::string &data)
    {
        EXPECT_EQ(f.lseek(off, SEEK_SET), off_t(off));
        return f.write(data.data(), data.size());
    }
    static int erase(open_file &f, uint32_t start, uint32_t len)
    {
        erase_info_user e = {start, len};
        return f.ioctl(MEMERASE, &e);
    }
    void arm(const std::string &faults) { ASSERT_EQ(write_state("faults", faults), 0); }
    static std::string flash(unsigned n, uint32_t off, uint32_t len, bool otp = false)
    {
        std::string out;
        EXPECT_EQ(mtd_read_flash(n, off, len, out, otp), 0);
        return out;
    }
};

TEST_F(MtdModel, ProcMtdListsThePartitions)
{
    EXPECT_EQ(mtd_proc_text(), "dev:    size   erasesize  name\n"
                               "mtd1: 00004000 00001000 \"config\"\n"
                               "mtd2: 00002000 00001000 \"data\"\n");
    ASSERT_EQ(unlink((dir + "/mtd.partitions").c_str()), 0);
    std::string def = mtd_proc_text();
    EXPECT_NE(def.find("mtd1: 00180000 00020000 \"config\"\n"), std::string::npos) << def;
    EXPECT_NE(def.find("mtd4: "), std::string::npos);
    model *m = find_model("/proc/mtd");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->open("/proc/mtd", O_WRONLY, 0), nullptr);
    EXPECT_TRUE(find_model("/dev/mtd1") && !find_model("/dev/mtdx") && !find_model("/dev/mtd"));
}

TEST_F(MtdModel, GeometryAndOtpProbe)
{
    auto f = dev();
    mtd_info_user info;
    ASSERT_EQ(f->ioctl(MEMGETINFO, &info), 0);
    EXPECT_EQ(info.type, MTD_NANDFLASH);
    EXPECT_EQ(info.size, 0x4000u);
    EXPECT_EQ(info.erasesize, 0x1000u);
    EXPECT_EQ(info.writesize, 0x200u);
    int mode = MTD_OTP_USER;
    EXPECT_EQ(f->ioctl(OTPSELECT, &mode), 0);
    EXPECT_EQ(f->lseek(0, SEEK_END), 0x1000);  // the OTP region
    mode = MTD_OTP_OFF;
    EXPECT_EQ(f->ioctl(OTPSELECT, &mode), 0);
    EXPECT_EQ(f->lseek(0, SEEK_END), 0x4000);
    mode = MTD_OTP_USER;
    EXPECT_EQ(dev(2)->ioctl(OTPSELECT, &mode), -EOPNOTSUPP);  // no OTP region
    arm("mtd.nor\n");
    ASSERT_EQ(f->ioctl(MEMGETINFO, &info), 0);
    EXPECT_EQ(info.type, MTD_NORFLASH);
    EXPECT_EQ(dev(1, O_RDONLY)->ioctl(0x4d99, nullptr), -ENOTTY);
    EXPECT_EQ(mtd_open_device(7, O_RDWR), nullptr);
}

TEST_F(MtdModel, NandWriteRules)
{
    auto f = dev();
    std::string page(0x200, '\x0f');
    EXPECT_EQ(write_at(*f, 0x100, page), -EINVAL);             // not on a page
    EXPECT_EQ(write_at(*f, 0, page.substr(0, 0x100)), -EINVAL);  // part of a page
    EXPECT_EQ(write_at(*f, 0x200, page), 0x200);
    // Programming only clears bits: 0x0f then 0xf0 leaves 0x00.
    EXPECT_EQ(write_at(*f, 0x200, std::string(0x200, '\xf0')), 0x200);
    EXPECT_EQ(flash(1, 0x200, 2), std::string(2, '\0'));
    EXPECT_EQ(flash(1, 0x400, 2), "\xff\xff");  // never written
    char buf[4];
    f->lseek(0x200, SEEK_SET);
    EXPECT_EQ(f->read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), std::string(4, '\0'));
    // An erase covers whole erase blocks and gives 0xFF again.
    EXPECT_EQ(erase(*f, 0x200, 0x1000), -EINVAL);
    EXPECT_EQ(erase(*f, 0, 0x800), -EINVAL);
    EXPECT_EQ(erase(*f, 0, 0x5000), -EINVAL);
    EXPECT_EQ(erase(*f, 0, 0x1000), 0);
    EXPECT_EQ(flash(1, 0x200, 2), "\xff\xff");
    // Read-only: no writes, no erases.
    auto ro = dev(1, O_RDONLY);
    EXPECT_EQ(write_at(*ro, 0, page), -EBADF);
    EXPECT_EQ(erase(*ro, 0, 0x1000), -EBADF);
    // At the end.
    EXPECT_EQ(write_at(*f, 0x4000, page), -ENOSPC);
}

TEST_F(MtdModel, BadBlocks)
{
    ASSERT_EQ(mtd_mark_bad(1, 2), 0);
    auto f = dev();
    struct row {
        int64_t offset;
        int answer;
    } rows[] = {{0, 0}, {0x2000, 1}, {0x2fff, 1}, {0x3000, 0}, {0x4000, -EINVAL}, {-1, -EINVAL}};
    for (const auto &r : rows) {
        int64_t off = r.offset;
        EXPECT_EQ(f->ioctl(MEMGETBADBLOCK, &off), r.answer) << r.offset;
    }
    EXPECT_EQ(write_at(*f, 0x2000, std::string(0x200, 'x')), -EIO);
    EXPECT_EQ(erase(*f, 0x2000, 0x1000), -EIO);
    int64_t off = 0x3000;
    EXPECT_EQ(f->ioctl(MEMSETBADBLOCK, &off), 0);
    EXPECT_EQ(mtd_bad_blocks(1), (std::vector<uint32_t>{2, 3}));
    arm("mtd.badblock=5\n");
    off = 0;
    EXPECT_EQ(f->ioctl(MEMGETBADBLOCK, &off), -5);
}

TEST_F(MtdModel, OtpRegionIsWrittenOnceAndLocks)
{
    auto f = dev();
    int mode = MTD_OTP_USER;
    otp_info lock = {0, 0x5000, 0};
    EXPECT_EQ(f->ioctl(OTPLOCK, &lock), -EINVAL);  // only in OTP mode
    ASSERT_EQ(f->ioctl(OTPSELECT, &mode), 0);
    EXPECT_EQ(write_at(*f, 0, std::string(0x200, 'W')), 0x200);
    EXPECT_EQ(flash(1, 0, 1, true), "W");
    EXPECT_EQ(flash(1, 0, 1, false), "\xff");  // the normal flash is untouched
    EXPECT_EQ(f->ioctl(OTPLOCK, &lock), 0);
    otp_info info;
    EXPECT_EQ(f->ioctl(OTPGETREGIONINFO, &info), 0);
    EXPECT_EQ(info.locked, 1u);
    EXPECT_EQ(write_at(*f, 0x200, std::string(0x200, 'W')), -EROFS);
}

// A power cut during the N-th flash operation leaves part of it done and
// the device off for the rest of the boot.
TEST_F(MtdModel, PowerCutLeavesAPartialResult)
{
    {
        auto f = dev();
        arm("mtd.powercut=2\n");
        EXPECT_EQ(write_at(*f, 0, std::string(0x400, 'a')), -EIO);  // second page cut
        EXPECT_TRUE(mtd_power_is_off());
        EXPECT_EQ(mtd_operations(), 2);
        char c;
        EXPECT_EQ(f->read(&c, 1), -EIO);
        mtd_info_user info;
        EXPECT_EQ(f->ioctl(MEMGETINFO, &info), -EIO);
    }
    EXPECT_EQ(flash(1, 0, 0x200), std::string(0x200, 'a'));
    EXPECT_EQ(flash(1, 0x200, 0x200), std::string(0x100, 'a') + std::string(0x100, '\xff'));
    mtd_power_cycle();
    EXPECT_FALSE(mtd_power_is_off());
    EXPECT_EQ(mtd_operations(), 0);
    // An erase cut after 16 bytes.
    arm("mtd.powercut=1\nmtd.powercut.bytes=16\n");
    auto f = dev();
    EXPECT_EQ(erase(*f, 0, 0x1000), -EIO);
    EXPECT_EQ(flash(1, 0, 17), std::string(16, '\xff') + "a");
}

// The random cut shape: a cut program leaves its tail partly programmed,
// a cut erase leaves the rest of its block with random bits set; both
// repeat for the same seed.
TEST_F(MtdModel, PowerCutWithRandomBits)
{
    auto cut = [this](const std::string &faults, bool program) {
        mtd_power_cycle();
        EXPECT_EQ(mtd_erase_all(1), 0);
        EXPECT_EQ(mtd_poke_flash(1, 0, std::string(0x1000, '\x0f')), 0);
        arm(faults);
        auto f = dev();
        if (program)
            EXPECT_EQ(write_at(*f, 0x1000, std::string(0x200, '\0')), -EIO);
        else
            EXPECT_EQ(erase(*f, 0, 0x1000), -EIO);
        return flash(1, program ? 0x1000 : 0, program ? 0x200 : 0x1000);
    };
    std::string page = cut("mtd.powercut=1\nmtd.powercut.bytes=16\nmtd.powercut.random=7\n", true);
    EXPECT_EQ(page.substr(0, 16), std::string(16, '\0'));
    std::string tail = page.substr(16);
    EXPECT_NE(tail, std::string(tail.size(), '\0'));    // not programmed
    EXPECT_NE(tail, std::string(tail.size(), '\xff'));  // nor left erased
    EXPECT_EQ(cut("mtd.powercut=1\nmtd.powercut.bytes=16\nmtd.powercut.random=7\n", true), page);
    std::string block = cut("mtd.powercut=1\nmtd.powercut.bytes=16\nmtd.powercut.random=3\n", false);
    EXPECT_EQ(block.substr(0, 16), std::string(16, '\xff'));
    std::string rest = block.substr(16);
    EXPECT_NE(rest, std::string(rest.size(), '\x0f'));  // not the old contents
    EXPECT_NE(rest, std::string(rest.size(), '\xff'));  // nor erased
    for (char c : rest)
        EXPECT_EQ(uint8_t(c) & 0x0f, 0x0f);  // bits only set
}

// Reads are counted, and an armed page fails every read that touches it.
TEST_F(MtdModel, ReadCountAndUnreadablePage)
{
    mtd_power_cycle();
    auto f = dev();
    char buf[0x400];
    EXPECT_EQ(f->read(buf, 0x100), 0x100);
    EXPECT_EQ(f->read(buf, 0x300), 0x300);
    EXPECT_EQ(mtd_reads().calls, 2);
    EXPECT_EQ(mtd_reads().bytes, 0x400);
    arm("mtd.unreadable=0x201\n");  // the page at 0x200
    EXPECT_EQ(f->lseek(0x100, SEEK_SET), 0x100);
    EXPECT_EQ(f->read(buf, 0x100), 0x100);
    EXPECT_EQ(f->read(buf, 0x200), -EBADMSG);
    EXPECT_EQ(f->lseek(0x400, SEEK_SET), 0x400);
    EXPECT_EQ(f->read(buf, 0x200), 0x200);
    mtd_power_cycle();
    EXPECT_EQ(mtd_reads().calls, 0);
}

// Only the armed switch-off of this boot fails.
TEST_F(MtdModel, NthOtpSwitchOffFails)
{
    mtd_power_cycle();
    arm("mtd.otpselect.off.nth=2\n");
    auto f = dev();
    int results[3];
    for (int &r : results) {
        int mode = MTD_OTP_OFF;
        r = f->ioctl(OTPSELECT, &mode);
    }
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], -EIO);
    EXPECT_EQ(results[2], 0);
}

// ks-sim mtd: shows and prepares the flash.
TEST_F(MtdModel, Command)
{
    command_fn fn = nullptr;
    for (const auto &c : commands())
        if (std::string(c.name) == "mtd")
            fn = c.fn;
    ASSERT_NE(fn, nullptr);
    auto run = [fn](std::vector<std::string> args, std::string *text) {
        char *buf = nullptr;
        size_t len = 0;
        FILE *out = open_memstream(&buf, &len);
        int r = fn(args, out);
        std::fclose(out);
        *text = std::string(buf, len);
        free(buf);
        return r;
    };
    std::string text, file = dir + "/blocks.bin";
    FILE *f = std::fopen(file.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("ConF", f);
    std::fclose(f);
    EXPECT_EQ(run({"load", "1", file, "0x200"}, &text), 0);
    EXPECT_EQ(flash(1, 0x1ff, 6), "\xff" "ConF\xff");
    EXPECT_EQ(run({"dump", "1", "0x200", "5"}, &text), 0);
    EXPECT_EQ(text, "43 6f 6e 46 ff\n");
    EXPECT_EQ(run({"bad", "1", "3"}, &text), 0);
    EXPECT_EQ(mtd_bad_blocks(1), std::vector<uint32_t>{3});
    EXPECT_EQ(run({}, &text), 0);
    EXPECT_NE(text.find("mtd1: page 512, erase block 4096, OTP 4096, bad blocks: 3\n"),
              std::string::npos) << text;
    EXPECT_EQ(run({"erase", "1"}, &text), 0);
    EXPECT_EQ(flash(1, 0x200, 4), "\xff\xff\xff\xff");
    EXPECT_EQ(run({"bogus"}, &text), 2);
}

}  // namespace
}  // namespace ks_sim
