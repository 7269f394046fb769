// Device services of the hardware client against the simulated secure
// side (runs in the sandbox): exact request transcripts and results.
#include "secbins/device_fixture.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using namespace kz4_transcript;

const strings drained = {"read 16 EAGAIN"};

// Hex of n bytes counting up from start: the model's default answers.
std::string counting(unsigned start, unsigned n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; i++) {
        unsigned v = (start + i) & 0xff;
        s += std::string{digits[v >> 4], digits[v & 15]};
    }
    return s;
}

TEST_F(Kz4Device, ServiceTranscripts)
{
    configure("rdc0=0x20000001\nrdc1=2\nrdc2=0x80000000\nobject.9=c0ffee\n");
    uint8_t b[64];
    uint32_t rdc[3];
    uint8_t *obj = nullptr;
    struct {
        const char *what;
        std::function<int()> call;
        int result;
        strings calls;
    } cases[] = {
        {"random of 0 bytes", [&] { return kz4_get_random(b, 0); }, 0,
         strings{"select 80", "write 0c000000", "write 00000000", "write 00000000",
                 "write 10000000"} + low_ok + drained},
        {"info20", [&] { return kz4_get_info20(b); }, 0,
         strings{"select 81", "write 00000000"} + low_ok +
             strings{"read 20 " + counting(0x81, 20)} + drained},
        {"debug control", [&] { return kz4_get_debug_control(rdc); }, 0,
         strings{"select 84", "write 00000000"} + low_ok +
             strings{"read 4 01000020", "read 4 02000000", "read 4 00000080"} + drained},
        {"mode", [&] { return kz4_mode(); }, 1,
         strings{"select 85", "write 00000000", "read 4 01000000", "read 4 f1f1f1f1"} + drained},
        {"identity", [&] { return kz4_read_id(b); }, 0,
         strings{"select 86", "write 00000000"} + low_ok + strings{"read 8 3521436587092143"} +
             drained},
        {"identity, other name", [&] { return kz4_read_id_alt(b); }, 0,
         strings{"select 86", "write 00000000"} + low_ok + strings{"read 8 3521436587092143"} +
             drained},
        {"info52", [&] { return kz4_get_info52(b); }, 0,
         strings{"select 577", "write 00000000"} + high_ok +
             strings{"read 52 " + counting(0x77, 52)} + drained},
        {"numbered object", [&] { return kz4_read_object(9, &obj); }, 3,
         strings{"select 579", "write 04000000", "write 09000000"} + high_ok +
             strings{"read 4 03000000"} + drained +
             strings{"select 578", "write 08000000", "write 09000000", "write 03000000"} +
             high_ok + strings{"read 4 03000000", "read 3 c0ffee"} + drained},
    };
    open_device();
    for (auto &c : cases) {
        forget();
        EXPECT_EQ(c.call(), c.result) << c.what;
        EXPECT_EQ(calls(), c.calls) << c.what;
        EXPECT_EQ(triple(), (std::vector<int>{-1, c.result == 1 ? 1 : -1, -1})) << c.what;
    }
    EXPECT_EQ(rdc[0], 0x20000001u);
    EXPECT_EQ(rdc[1], 2u);
    EXPECT_EQ(rdc[2], 0x80000000u);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(obj), 3), "\xc0\xff\xee");
    kz4_free(obj);
}

TEST_F(Kz4Device, RandomBytesAreTheDevicesOwn)
{
    open_device();
    uint8_t b[512];
    ASSERT_EQ(kz4_get_random(b, 512), 0);
    strings c = calls();
    ASSERT_EQ(c.size(), 9u);
    EXPECT_EQ(c[2], "write 00020000");
    EXPECT_EQ(c[7], "read 512 " + hex(b, sizeof b));

    arm("omap_sec.short_response=1");
    EXPECT_EQ(kz4_get_random(b, 512), -2);
    EXPECT_EQ(triple(), (std::vector<int>{EIO, -1, -1}));
}

TEST_F(Kz4Device, NullOutputsAreRefusedBeforeAnyRequest)
{
    open_device();
    struct {
        const char *what;
        std::function<int()> call;
    } cases[] = {
        {"random", [] { return kz4_get_random(nullptr, 4); }},
        {"info20", [] { return kz4_get_info20(nullptr); }},
        {"debug control", [] { return kz4_get_debug_control(nullptr); }},
        {"imei", [] { return kz4_read_imei(nullptr); }},
        {"info52", [] { return kz4_get_info52(nullptr); }},
        {"object", [] { return kz4_read_object(1, nullptr); }},
    };
    for (auto &c : cases) {
        kz4_set_lib_error(0);
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(triple(), (std::vector<int>{EINVAL, -1, -1})) << c.what;
        EXPECT_EQ(errno, EINVAL) << c.what;
    }
    EXPECT_EQ(calls(), strings{});

    // The identity does not test its pointer: the request is made and the
    // result cannot be read.
    EXPECT_EQ(kz4_get_id_bytes(nullptr), -1);
    EXPECT_EQ(triple(), (std::vector<int>{EINVAL, -1, -1}));
    strings c = calls();
    ASSERT_EQ(c.size(), 6u);
    EXPECT_EQ(c[0], "select 86");
    EXPECT_EQ(c[4], "read 16 3521436587092143");  // taken by the drain

}

TEST_F(Kz4Device, ImeiDigits)
{
    open_device();
    uint8_t d[15];
    ASSERT_EQ(kz4_read_imei(d), 0);
    const uint8_t expected[15] = {3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 1, 2, 3, 4};
    EXPECT_EQ(std::vector<uint8_t>(d, d + 15), std::vector<uint8_t>(expected, expected + 15));

    configure("id=f0abcdef01234567\n");
    ASSERT_EQ(kz4_read_imei(d), 0);
    const uint8_t nibbles[15] = {15, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5, 4, 7, 6};
    EXPECT_EQ(std::vector<uint8_t>(d, d + 15), std::vector<uint8_t>(nibbles, nibbles + 15));

    arm("omap_sec.short_response=1");
    memset(d, 0xff, sizeof d);
    EXPECT_EQ(kz4_read_imei(d), -2);
    EXPECT_EQ(std::vector<uint8_t>(d, d + 15), std::vector<uint8_t>(15, 0));
}

TEST_F(Kz4Device, ModeStaysInTheTriple)
{
    configure("mode=2\n");
    open_device();
    EXPECT_EQ(kz4_mode(), 2);
    int rom = 0;
    EXPECT_EQ(kz4_error_info(nullptr, &rom, nullptr), -1);
    EXPECT_EQ(rom, 2);
    arm("omap_sec.select=5");
    EXPECT_EQ(kz4_mode(), -1);
}

TEST_F(Kz4Device, NumberedObjectFailures)
{
    configure("object.4.length=-5\nobject.9=c0ffee\nobject.7=00\nobject.7.size=0x80000000\n");
    open_device();
    uint8_t *out = reinterpret_cast<uint8_t *>(&out);

    // A negative length ends it without the data request.
    EXPECT_EQ(kz4_read_object(4, &out), -5);
    EXPECT_EQ(out, nullptr);
    for (auto &c : calls())
        EXPECT_NE(c, "select 578");

    struct {
        const char *what;
        uint32_t id;
        const char *faults;
        int result;
        int lib;
    } cases[] = {
        {"data short", 9, "omap_sec.short_response=1\nomap_sec.service=578", -2, EIO},
        {"data request refused", 9, "omap_sec.pa=2\nomap_sec.service=578", -4, -1},
        {"length request refused", 9, "omap_sec.pa=3\nomap_sec.service=579", -4, -1},
        {"no such object", 1, "", -2, -1},
        // A size beyond an int cannot be returned as the result.
        {"size beyond INT_MAX", 7, "", -1, EOVERFLOW},
    };
    for (auto &c : cases) {
        arm(c.faults);
        forget();
        out = reinterpret_cast<uint8_t *>(&out);
        EXPECT_EQ(kz4_read_object(c.id, &out), c.result) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
        EXPECT_EQ(triple()[0], c.lib) << c.what;
        EXPECT_EQ(calls().back(), "read 16 EAGAIN") << c.what;
    }
}

}  // namespace
