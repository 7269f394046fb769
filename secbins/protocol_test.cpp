// Framing, status words, drain and the last-error triple of the hardware
// client, against the simulated secure side (runs in the sandbox).
#include "secbins/device_fixture.h"
#include "support/test_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using strings = std::vector<std::string>;

strings reads_of(const strings &calls)
{
    strings out;
    for (auto &c : calls)
        if (c.rfind("read ", 0) == 0)
            out.push_back(c);
    return out;
}

TEST_F(Kz4Device, StatusWords)
{
    const int EIO_ = EIO;
    struct {
        const char *what;
        uint32_t service;
        const char *config, *faults;
        int result;
        std::vector<int> triple;  // lib, rom, pa
        strings reads;
    } cases[] = {
        {"nonzero ROM: one more word consumed", 84, "", "omap_sec.rom=5", -2, {-1, 5, -1},
         {"read 4 05000000", "read 4 f1f1f1f1"}},
        {"nonzero ROM, no word after it", 84, "", "omap_sec.rom=5\nomap_sec.no_second_word", -2,
         {-1, 5, -1}, {"read 4 05000000", "read 4 EAGAIN"}},
        {"mode: the ROM word is the answer", 85, "mode=2", "", 2, {-1, 2, -1},
         {"read 4 02000000", "read 4 f1f1f1f1"}},
        {"service below 256 ignores its second word", 84, "", "", 0, {-1, -1, -1},
         {"read 4 00000000", "read 4 f1f1f1f1"}},
        {"nonzero PA", 896, "", "omap_sec.pa=0x18", -4, {-1, -1, 0x18},
         {"read 4 00000000", "read 4 18000000"}},
        {"PA 0", 577, "", "", 0, {-1, -1, -1}, {"read 4 00000000", "read 4 00000000"}},
        {"no ROM word", 85, "", "omap_sec.short_response=8", -1, {EIO_, -1, -1},
         {"read 4 EAGAIN"}},
        {"no ROM word, read gives 0", 85, "", "omap_sec.short_response=8\nomap_sec.empty_read_zero",
         -1, {EIO_, -1, -1}, {"read 4 EOF"}},
        {"no second word", 84, "", "omap_sec.no_second_word", -3, {EIO_, -1, -1},
         {"read 4 00000000", "read 4 EAGAIN"}},
        {"no PA word", 577, "", "omap_sec.no_second_word", -3, {EIO_, -1, -1},
         {"read 4 00000000", "read 4 EAGAIN"}},
    };
    for (auto &c : cases) {
        configure(c.config);
        arm(c.faults);
        open_device();
        kz4_clear_error();
        ASSERT_EQ(kz4_begin_request(c.service, 0), 0) << c.what;
        EXPECT_EQ(kz4_read_status(c.service), c.result) << c.what;
        EXPECT_EQ(triple(), c.triple) << c.what;
        EXPECT_EQ(reads_of(calls()), c.reads) << c.what;
        kz4_end_request();
    }
}

TEST_F(Kz4Device, ShortResultRecordsEioThroughTheDrain)
{
    open_device();
    uint8_t buf[20];
    arm("omap_sec.short_response=1");
    EXPECT_EQ(kz4_get_info20(buf), -2);
    // The drain's own EAGAIN does not replace the cause.
    EXPECT_EQ(triple(), (std::vector<int>{EIO, -1, -1}));
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(calls().back(), "read 16 EAGAIN");
}

TEST_F(Kz4Device, DrainTakesLeftoversAwayFromTheNextRequest)
{
    open_device();
    uint8_t buf[20];
    arm("omap_sec.leftover=20\nomap_sec.service=81");
    ASSERT_EQ(kz4_get_info20(buf), 0);
    strings reads = reads_of(calls());
    ASSERT_EQ(reads.size(), 6u);
    EXPECT_EQ(reads[3], "read 16 " + std::string(32, 'e'));
    EXPECT_EQ(reads[4], "read 16 eeeeeeee");
    EXPECT_EQ(reads[5], "read 16 EAGAIN");
    arm("");
    EXPECT_EQ(kz4_mode(), 1);
    errno = 77;
    EXPECT_LT(kz4_end_request(), 0);
    EXPECT_EQ(errno, 77);
}

TEST_F(Kz4Device, ArgumentWrites)
{
    open_device();
    ASSERT_EQ(kz4_begin_request(80, 7), 0);
    EXPECT_EQ(kz4_write_u32(0x12345678), 0);
    EXPECT_EQ(kz4_write_u16(0x9abc), 0);
    EXPECT_EQ(kz4_write_u8(0xde), 0);
    EXPECT_EQ(calls(), (strings{"select 80", "write 07000000", "write 78563412", "write bc9a",
                                "write de", "framing 80: argument writes differ from the "
                                            "service's fields"}));
    kz4_end_request();

    // A NULL field: EINVAL, nothing written.
    forget();
    kz4_clear_error();
    errno = 0;
    EXPECT_EQ(kz4_write_arg(nullptr, 4), -1);
    EXPECT_EQ(triple(), (std::vector<int>{EINVAL, -1, -1}));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(calls(), strings{});

    // A field the device takes only in part: LIB 1, errno untouched.
    arm("omap_sec.short_write=2");
    kz4_clear_error();
    ASSERT_EQ(kz4_begin_request(80, 12), 0);
    errno = 0;
    EXPECT_EQ(kz4_write_u32(1), -2);
    EXPECT_EQ(triple(), (std::vector<int>{1, -1, -1}));
    EXPECT_EQ(errno, 0);
}

TEST_F(Kz4Device, ErrorInfo)
{
    open_device();
    uint8_t buf[8];
    ASSERT_EQ(kz4_get_id_bytes(buf), 0);
    EXPECT_EQ(kz4_error_info(nullptr, nullptr, nullptr), 0);
    arm("omap_sec.rom=11");
    EXPECT_EQ(kz4_get_id_bytes(buf), -2);
    int rom = 0;
    EXPECT_EQ(kz4_error_info(nullptr, &rom, nullptr), -1);
    EXPECT_EQ(rom, 11);
    kz4_set_lib_error(ENOSPC);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(triple(), (std::vector<int>{ENOSPC, 11, -1}));
    kz4_clear_error();
    EXPECT_EQ(kz4_error_info(nullptr, nullptr, nullptr), 0);
}

TEST_F(Kz4Device, SelectionFailuresReturnAtOnce)
{
    open_device();
    arm("omap_sec.select=5");
    kz4_clear_error();
    EXPECT_EQ(kz4_begin_request(84, 0), -1);
    EXPECT_EQ(errno, 5);
    EXPECT_EQ(triple(), (std::vector<int>{-1, -1, -1}));
    // A positive answer of the selection is passed on as it is.
    arm("omap_sec.select_result=7");
    EXPECT_EQ(kz4_mode(), 7);
    EXPECT_EQ(calls(), (strings{"select 84 = -5", "select 85 = 7"}));
}

TEST_F(Kz4Device, OpenAndClose)
{
    struct {
        const char *what;
        const char *faults;
        int result;
        strings calls;
    } cases[] = {
        {"device missing", "omap_sec.open=2", -1,
         {"open rdwr nonblock nofollow = -2", "open rdwr nonblock = -2"}},
        // Only ELOOP means a link; another failure of the first open is a
        // plain failure, and the second descriptor is not kept.
        {"first open busy", "omap_sec.open_nofollow=16", -1,
         {"open rdwr nonblock nofollow = -16", "open rdwr nonblock", "close"}},
        {"opens", "", 0, {"open rdwr nonblock nofollow"}},
    };
    for (auto &c : cases) {
        kz4_close();
        forget();
        arm(c.faults);
        EXPECT_EQ(kz4_open(nullptr), c.result) << c.what;
        EXPECT_EQ(calls(), c.calls) << c.what;
        arm("");
        // Closed after a failure: a request cannot reach the device.
        EXPECT_EQ(kz4_mode() >= 0, c.result == 0) << c.what;
    }

    // Opening again closes the descriptor of the first open.
    open_device();
    int before = open_descriptors();
    ASSERT_EQ(kz4_open(nullptr), 0);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(calls(), (strings{"close", "open rdwr nonblock nofollow"}));
    EXPECT_EQ(kz4_close(), 0);
    EXPECT_EQ(kz4_close(), 0);
}

TEST_F(Kz4Device, OpenAnnouncesTheProgramName)
{
    ASSERT_EQ(kz4_open("prog"), 0);
    EXPECT_EQ(calls(), (strings{"open rdwr nonblock nofollow", "select 2", "write 05000000",
                                "write 70726f6700", "read 4 00000000", "read 4 f1f1f1f1",
                                "read 16 EAGAIN"}));
    forget();
    arm("omap_sec.rom=9\nomap_sec.service=2");
    EXPECT_EQ(kz4_open("prog"), -2);
    EXPECT_EQ(calls().back(), "close");
    arm("");
    EXPECT_LT(kz4_mode(), 0);
}

TEST_F(Kz4Device, SymbolicLinkIsRefused)
{
    // Only inside the sandbox's own /dev: its mount namespace is the one
    // the sandbox announces.
    const char *sandbox = getenv("KS_SIM_SANDBOX");
    char ns[64] = {0};
    ASSERT_GT(readlink("/proc/self/ns/mnt", ns, sizeof ns - 1), 0);
    ASSERT_TRUE(sandbox && std::string(sandbox) == ns) << "not in the sandbox";
    struct stat st;
    const char *dev = KZ4_DEVICE_PATH;
    const std::string aside = std::string(dev) + ".real";
    bool had_node = lstat(dev, &st) == 0;
    if (had_node)
        ASSERT_EQ(rename(dev, aside.c_str()), 0);
    else
        ASSERT_EQ(close(creat(aside.c_str(), 0600)), 0);
    ASSERT_EQ(symlink(aside.c_str(), dev), 0);

    int before = open_descriptors();
    EXPECT_EQ(kz4_open(nullptr), -2);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(calls(), (strings{"open rdwr nonblock nofollow = -40", "open rdwr nonblock",
                                "close"}));
    EXPECT_LT(kz4_mode(), 0);

    unlink(dev);
    if (had_node)
        rename(aside.c_str(), dev);
    else
        unlink(aside.c_str());
}

}  // namespace
