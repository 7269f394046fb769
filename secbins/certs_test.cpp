// Certificates and configuration-area blocks against the simulated secure
// side and NAND flash (runs in the sandbox): the block bridge and its
// codes, the object store's requests and step results, the imports with
// their release, the protected writes and the software certificate.
#include "secbins/device_fixture.h"
#include "sim/models/omap_sec.h"
#include "sim/models/omap_sec_sw_cert.h"

#include "cal/cal.h"
#include "sim/models/mtd.h"
#include "sim/models/omap_sec_crypto.h"
#include "sim/testing/inside.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

namespace {

using namespace kz4_transcript;
using bytes = std::vector<uint8_t>;

std::string field16(const std::string &name)
{
    std::string f(16, '\0');
    f.replace(0, std::min<size_t>(name.size(), 15), name.substr(0, 15));
    return f;
}
const uint8_t *u8(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
const std::string drained = "read 16 EAGAIN";

class Kz4Certs : public Kz4Device {
protected:
    void SetUp() override
    {
        Kz4Device::SetUp();
        // A small, erased configuration partition for every test.
        ks_sim::testing::fresh_config_partition();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(ks_sim::write_state(ks_sim::run_path(ks_sim::OMAP_SEC_OBJECTS), ""), 0);
        ASSERT_EQ(ks_sim::write_state(ks_sim::run_path(ks_sim::OMAP_SEC_IMPORTS), ""), 0);
        open_device();
    }

    static std::string block(const char *name, int flags = 0)
    {
        uint8_t *data = nullptr;
        uint32_t length = 0;
        int r = kz4_cal_read(name, &data, &length, flags);
        std::string s = r == 0 ? std::string(reinterpret_cast<char *>(data), length)
                               : "<" + std::to_string(r) + ">";
        kz4_free(data);
        return s;
    }
    static void put(const char *name, const std::string &data, int flags = 0)
    {
        ASSERT_EQ(kz4_cal_write(name, u8(data), uint32_t(data.size()), flags), 0) << name;
    }
    static strings imports()
    {
        strings out;
        EXPECT_EQ(ks_sim::read_records(ks_sim::run_path(ks_sim::OMAP_SEC_IMPORTS), out), 0);
        return out;
    }
};

TEST_F(Kz4Certs, BlockBridge)
{
    uint8_t *data = reinterpret_cast<uint8_t *>(&data);
    uint32_t length = 7;

    // No block yet: -3 with LIB ENOENT, nothing handed out.
    EXPECT_EQ(kz4_read_ccc_block(&data, &length), -3);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(triple(), (std::vector<int>{ENOENT, -1, -1}));

    // Written and read back; an erased block reads as -4.
    ASSERT_EQ(kz4_write_ccc_block(u8("ccc!"), 4), 0);
    ASSERT_EQ(kz4_read_ccc_block(&data, &length), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), length), "ccc!");
    kz4_free(data);
    ASSERT_EQ(kz4_erase_ccc_block(), 0);
    data = reinterpret_cast<uint8_t *>(&data);
    EXPECT_EQ(kz4_read_ccc_block(&data, &length), -4);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(triple(), (std::vector<int>{-1, -1, -1}));

    // The three certificate blocks are distinct.
    ASSERT_EQ(kz4_write_hwc_block(u8("H"), 1), 0);
    ASSERT_EQ(kz4_write_npc_block(u8("NN"), 2), 0);
    EXPECT_EQ(block("cert-hwc"), "H");
    EXPECT_EQ(block("cert-npc"), "NN");
    ASSERT_EQ(kz4_read_hwc_block(&data, &length), 0);
    kz4_free(data);
    ASSERT_EQ(kz4_erase_npc_block(), 0);
    EXPECT_EQ(kz4_read_npc_block(&data, &length), -4);
    ASSERT_EQ(kz4_erase_hwc_block(), 0);
    EXPECT_EQ(kz4_read_hwc_block(&data, &length), -4);

    // Arguments.
    EXPECT_EQ(kz4_cal_read(nullptr, &data, &length, 0), -1);
    EXPECT_EQ(kz4_cal_read("x", nullptr, &length, 0), -1);
    EXPECT_EQ(kz4_cal_read("x", &data, nullptr, 0), -1);
    EXPECT_EQ(kz4_cal_write(nullptr, u8("x"), 1, 0), -1);
    EXPECT_EQ(kz4_cal_write("x", nullptr, 0, 0), -1);
    EXPECT_EQ(triple(), (std::vector<int>{EINVAL, -1, -1}));

    // No flash device: set-up fails; reading records the cause, writing
    // does not.
    arm("mtd.open=5");
    kz4_clear_error();
    EXPECT_EQ(kz4_cal_read("cert-hwc", &data, &length, 0), -2);
    EXPECT_EQ(triple(), (std::vector<int>{5, -1, -1}));
    kz4_clear_error();
    EXPECT_EQ(kz4_write_hwc_block(u8("H"), 1), -2);
    EXPECT_EQ(triple(), (std::vector<int>{-1, -1, -1}));
    arm("");
    // None of this was a request to the secure side.
    EXPECT_EQ(calls(), strings{});
}

TEST_F(Kz4Certs, SecInfoBlocksHaveTheirLengths)
{
    uint8_t *data = nullptr;
    put("sec-info", "12345678");
    put("sec-info", "abcd", CAL_FLAG_USER);
    ASSERT_EQ(kz4_read_sec_info(&data), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 8), "12345678");
    kz4_free(data);
    ASSERT_EQ(kz4_read_user_sec_info(&data), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), 4), "abcd");
    kz4_free(data);
    EXPECT_EQ(kz4_read_sec_info_cfg(&data), -3);

    // Written through the library: 4 bytes to the user area, 8 to the
    // configuration area.
    ASSERT_EQ(kz4_write_sec_info_cfg(u8("ABCDEFGH")), 0);
    ASSERT_EQ(kz4_write_user_sec_info(u8("WXYZ")), 0);
    ASSERT_EQ(kz4_write_sec_info(u8("87654321")), 0);
    EXPECT_EQ(block("sec-info-cfg"), "ABCDEFGH");
    EXPECT_EQ(block("sec-info", CAL_FLAG_USER), "WXYZ");
    EXPECT_EQ(block("sec-info"), "87654321");

    // Another length: -1, nothing handed out, the triple clear.
    put("sec-info", "1234");
    put("sec-info-cfg", "123456789");
    put("sec-info", "12345678", CAL_FLAG_USER);
    struct {
        const char *what;
        int (*read)(uint8_t **);
    } cases[] = {{"sec-info of 4 bytes", kz4_read_sec_info},
                 {"sec-info-cfg of 9 bytes", kz4_read_sec_info_cfg},
                 {"user sec-info of 8 bytes", kz4_read_user_sec_info}};
    for (auto &c : cases) {
        data = reinterpret_cast<uint8_t *>(&data);
        EXPECT_EQ(c.read(&data), -1) << c.what;
        EXPECT_EQ(data, nullptr) << c.what;
        EXPECT_EQ(triple(), (std::vector<int>{-1, -1, -1})) << c.what;
    }
    EXPECT_EQ(kz4_write_sec_info(nullptr), -1);
}

TEST_F(Kz4Certs, ObjectStoreRequests)
{
    uint32_t handle = 0;
    std::string data = "payload";
    std::string long_name = "ABCDEFGHIJKLMNOPQRST";  // 20 characters

    // A long name sends its first 15 characters and a zero.
    ASSERT_EQ(kz4_store_object(long_name.c_str(), 7, u8(data), &handle), 0);
    EXPECT_EQ(handle, 1u);
    EXPECT_EQ(calls(), (strings{"select 3", write_u32(27), write_u32(7),
                                write_of(field16(long_name)), write_of(data)} +
                        low_ok + strings{"read 4 " + w32(1), drained}));
    // Without data: argument length 20, the length word all the same.
    forget();
    ASSERT_EQ(kz4_store_object("CCC", 9, nullptr, &handle), 0);
    EXPECT_EQ(handle, 2u);
    EXPECT_EQ(calls(), (strings{"select 3", write_u32(20), write_u32(9), write_of(field16("CCC"))} +
                        low_ok + strings{"read 4 " + w32(2), drained}));

    // Read back by handle, with and without the name.
    forget();
    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(kz4_read_stored_object(nullptr, 1, &length, &out), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), length), data);
    kz4_free(out);
    EXPECT_EQ(calls(), (strings{"select 4", write_u32(20), write_u32(1), write_of(field16(""))} +
                        low_ok + strings{"read 4 " + w32(7), "read 7 " + hex(data), drained}));
    ASSERT_EQ(kz4_read_stored_object("CCC", 2, &length, &out), 0);
    EXPECT_EQ(length, 9u);
    kz4_free(out);

    // Released, it is gone.
    forget();
    EXPECT_EQ(kz4_release_object("CCC", 2), 0);
    EXPECT_EQ(calls(), (strings{"select 5", write_u32(20), write_u32(2), write_of(field16("CCC"))} +
                        low_ok + strings{drained}));
    out = reinterpret_cast<uint8_t *>(&out);
    EXPECT_EQ(kz4_read_stored_object(nullptr, 2, &length, &out), -4);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(kz4_release_object(nullptr, 2), -4);
}

TEST_F(Kz4Certs, ObjectStoreStepResults)
{
    uint32_t handle = 0;
    uint8_t *out = nullptr;
    uint32_t length = 0;
    const std::string d = "data";
    struct {
        const char *what;
        const char *faults;
        std::function<int()> call;
        int result;
        bool drained;  // the device drained after the failure
    } cases[] = {
        {"store: name NULL", "", [&] { return kz4_store_object(nullptr, 4, u8(d), &handle); }, -1,
         false},
        {"store: handle NULL", "", [&] { return kz4_store_object("N", 4, u8(d), nullptr); }, -1,
         false},
        {"store: selection", "omap_sec.select=5",
         [&] { return kz4_store_object("N", 4, u8(d), &handle); }, -2, false},
        {"store: length", "omap_sec.short_write=2",
         [&] { return kz4_store_object("N", 4, u8(d), &handle); }, -3, false},
        {"store: name", "omap_sec.short_write=3",
         [&] { return kz4_store_object("N", 4, u8(d), &handle); }, -4, false},
        {"store: data", "omap_sec.short_write=4",
         [&] { return kz4_store_object("N", 4, u8(d), &handle); }, -5, false},
        {"store: status", "omap_sec.rom=7",
         [&] { return kz4_store_object("N", 4, u8(d), &handle); }, -6, true},
        {"store: handle", "omap_sec.short_response=1",
         [&] { return kz4_store_object("N", 4, u8(d), &handle); }, -7, true},
        {"read: NULL data", "", [&] { return kz4_read_stored_object("N", 1, &length, nullptr); },
         -1, false},
        {"read: selection", "omap_sec.select=5",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -1, false},
        {"read: handle", "omap_sec.short_write=2",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -2, false},
        {"read: name", "omap_sec.short_write=3",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -3, false},
        {"read: status", "omap_sec.rom=7",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -4, true},
        {"read: second status word", "omap_sec.no_second_word",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -4, true},
        {"read: length", "omap_sec.short_response=5",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -5, true},
        {"read: data", "omap_sec.short_response=1",
         [&] { return kz4_read_stored_object("N", 1, &length, &out); }, -7, true},
        {"release: selection", "omap_sec.select=5", [&] { return kz4_release_object("N", 1); },
         -1, false},
        {"release: handle", "omap_sec.short_write=2", [&] { return kz4_release_object("N", 1); },
         -2, false},
        {"release: name", "omap_sec.short_write=3", [&] { return kz4_release_object("N", 1); },
         -3, false},
        {"release: status", "omap_sec.rom=7", [&] { return kz4_release_object("N", 1); }, -4,
         true},
    };
    for (auto &c : cases) {
        // Object 1 named "N" with 4 bytes for the reads and releases.
        arm("");
        ASSERT_EQ(kz4_store_object("N", 4, u8(d), &handle), 0);
        arm(c.faults);
        forget();
        out = reinterpret_cast<uint8_t *>(&out);
        EXPECT_EQ(c.call(), c.result) << c.what;
        strings made = calls();
        EXPECT_EQ(!made.empty() && made.back() == drained, c.drained) << c.what;
        if (std::string(c.what).compare(0, 5, "read:") == 0 && c.result < -3) {
            EXPECT_EQ(out, nullptr) << c.what;
            EXPECT_EQ(length, 0u) << c.what;
        }
        arm("");
        kz4_end_request();
    }
}

TEST_F(Kz4Certs, ImportsStoreTheCertificateAndImportItsHandle)
{
    std::string ccc = "CCC certificate";
    put("cert-ccc", ccc);
    std::string sha = hex(ks_sim::omap_sec_sha1(ccc));

    // From the flash: stored as "CCC", imported by the handle, kept.
    ASSERT_EQ(kz4_import_ccc(nullptr, 0), 0);
    EXPECT_EQ(calls(), (strings{"select 3", write_u32(uint32_t(ccc.size()) + 20),
                                write_u32(uint32_t(ccc.size())), write_of(field16("CCC")),
                                write_of(ccc)} +
                        low_ok + strings{"read 4 " + w32(1), drained} +
                        strings{"select 576", write_u32(4), write_u32(1)} + high_ok +
                        strings{drained}));
    EXPECT_EQ(imports(), strings{"CCC 1 15 " + sha});
    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(kz4_read_stored_object("CCC", 1, &length, &out), 0);
    kz4_free(out);

    // Given data, not the flash.
    std::string hwc = "given HWC";
    ASSERT_EQ(kz4_import_hwc(u8(hwc), uint32_t(hwc.size())), 0);
    EXPECT_EQ(imports().back(), "HWC 2 9 " + hex(ks_sim::omap_sec_sha1(hwc)));

    // An empty NPC block: -4 and no request; no block at all: -3.
    put("cert-npc", "");
    forget();
    EXPECT_EQ(kz4_esn_init(nullptr, 0), -4);
    EXPECT_EQ(calls(), strings{});
    EXPECT_EQ(kz4_import_hwc(nullptr, 0), -3);
    EXPECT_EQ(calls(), strings{});

    // A refused import returns -4 and releases the stored object after
    // the import's response is drained.
    put("cert-npc", "NPC certificate");
    arm("omap_sec.pa=0x45\nomap_sec.service=496");
    forget();
    EXPECT_EQ(kz4_esn_init(nullptr, 0), -4);
    EXPECT_EQ(triple(), (std::vector<int>{-1, -1, 0x45}));
    strings c = calls();
    auto from = std::find(c.begin(), c.end(), "select 496");
    ASSERT_NE(from, c.end());
    EXPECT_EQ(strings(from, c.end()),
              (strings{"select 496", write_u32(4), write_u32(3), "read 4 00000000",
                       "read 4 45000000", drained, "select 5", write_u32(20), write_u32(3),
                       write_of(field16("NPC"))} +
               low_ok + strings{drained}));
    arm("");
    EXPECT_EQ(kz4_read_stored_object(nullptr, 3, &length, &out), -4);

    // A failed selection of the import releases the object too.
    arm("omap_sec.select=5\nomap_sec.service=580");
    forget();
    EXPECT_EQ(kz4_import_hwc(u8(hwc), uint32_t(hwc.size())), -1);
    c = calls();
    from = std::find(c.begin(), c.end(), "select 580 = -5");
    ASSERT_NE(from, c.end());
    EXPECT_EQ(strings(from + 1, c.end()),
              (strings{"select 5", write_u32(20), write_u32(4), write_of(field16("HWC"))} +
               low_ok + strings{drained}));
    arm("");
    EXPECT_EQ(kz4_read_stored_object(nullptr, 4, &length, &out), -4);
}

TEST_F(Kz4Certs, ProtectedWrites)
{
    std::string cert = "a certificate";
    // CCC: the block only, no request.
    ASSERT_EQ(SEE_CCCWrite(u8(cert), uint32_t(cert.size())), 0);
    EXPECT_EQ(calls(), strings{});
    EXPECT_EQ(block("cert-ccc"), cert);

    // HWC and NPC: imported, then written.
    ASSERT_EQ(SEE_HWCWrite(u8(cert), uint32_t(cert.size())), 0);
    ASSERT_EQ(SEE_NPCWrite(u8(cert), uint32_t(cert.size())), 0);
    EXPECT_EQ(block("cert-hwc"), cert);
    EXPECT_EQ(block("cert-npc"), cert);
    strings done = imports();
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].substr(0, 4), "HWC ");
    EXPECT_EQ(done[1].substr(0, 4), "NPC ");

    // A refused import leaves the block as it was.
    arm("omap_sec.pa=0x1e\nomap_sec.service=580");
    std::string other = "another";
    EXPECT_EQ(SEE_HWCWrite(u8(other), uint32_t(other.size())), -4);
    EXPECT_EQ(block("cert-hwc"), cert);
    EXPECT_EQ(kz4_access_check("libkz4-secbins::SEE_HWCWrite"), 0);
}

// A software certificate of the version with count entries, length bytes
// long (at least the header).
std::string sw_cert(uint32_t version, uint32_t count, size_t length)
{
    std::string c(length, '\0');
    auto put32 = [&](size_t off, uint32_t v) {
        if (off + 4 <= c.size())
            memcpy(&c[off], &v, 4);
    };
    put32(KZ4_SWCERT_VERSION, version);
    put32(version == 1 ? KZ4_SWCERT_V1_COUNT : KZ4_SWCERT_COUNT, count);
    return c;
}

TEST_F(Kz4Certs, SoftwareCertificateSizes)
{
    struct {
        const char *what;
        std::string cert;
        int result;
    } cases[] = {
        {"version 1, count 2, whole", sw_cert(1, 2, 1052), 0},
        {"version 1, count 2, one byte short", sw_cert(1, 2, 1051), -2},
        {"version 3, count 2, whole", sw_cert(3, 2, 1180), 0},
        {"version 3, count 2, one byte short", sw_cert(3, 2, 1179), -2},
        {"version 3, no entries", sw_cert(3, 0, 1116), 0},
        {"version 3, count word cut", sw_cert(3, 0, 1114), -2},
        {"version word cut", sw_cert(1, 0, 979), -2},
        {"500 bytes", std::string(500, 'x'), -2},
        // A count whose entries would wrap 32 bits.
        {"huge count", sw_cert(3, 0x08000000, 1116), -2},
    };
    for (auto &c : cases) {
        // What passes the size rule carries the manufacturer's signature,
        // so that the secure side takes it.
        std::string cert = c.cert;
        if (c.result == 0) {
            ASSERT_TRUE(ks_sim::sw_cert_sign(cert)) << c.what;
        }
        forget();
        kz4_clear_error();
        EXPECT_EQ(kz4_import_sw_cert_checked(u8(cert), uint32_t(cert.size())), c.result)
            << c.what;
        if (c.result != 0) {
            EXPECT_EQ(calls(), strings{}) << c.what;
            EXPECT_EQ(triple(), (std::vector<int>{EINVAL, -1, -1})) << c.what;
        }
    }
    EXPECT_EQ(kz4_import_sw_cert_checked(nullptr, 1200), -1);
    EXPECT_EQ(kz4_import_sw_cert_checked(u8("x"), 0), -1);
    EXPECT_EQ(kz4_import_sw_cert(nullptr, 4), -1);
    EXPECT_EQ(kz4_import_sw_cert(u8("x"), 0), -1);
}

TEST_F(Kz4Certs, SoftwareCertificateImportAndBlocks)
{
    // A certificate without the manufacturer's signature is refused by
    // the secure side, and so is a signed one changed in one entry byte.
    std::string cert = sw_cert(3, 1, 1148);
    forget();
    EXPECT_EQ(kz4_import_sw_cert(u8(cert), uint32_t(cert.size())), -2);
    EXPECT_EQ(triple(), (std::vector<int>{-1, int(ks_sim::OMAP_SEC_ROM_FAIL), -1}));
    ASSERT_TRUE(ks_sim::sw_cert_sign(cert));
    std::string changed = cert;
    changed[1116 + 12] = char(changed[1116 + 12] ^ 1);
    EXPECT_EQ(kz4_import_sw_cert(u8(changed), uint32_t(changed.size())), -2);
    EXPECT_EQ(kz4_write_sw_cert(u8(changed), uint32_t(changed.size())), -2);
    forget();
    ASSERT_EQ(kz4_import_sw_cert(u8(cert), uint32_t(cert.size())), 0);
    EXPECT_EQ(calls(), (strings{"select 83", write_u32(1156), write_u32(1148), write_of(cert),
                                write_u32(0)} +
                        low_ok + strings{drained}));
    EXPECT_EQ(imports().back(), "SW 1148 " + hex(ks_sim::omap_sec_sha1(cert)));

    // A refused import: the status result, drained.
    arm("omap_sec.rom=0x0b\nomap_sec.service=83");
    forget();
    EXPECT_EQ(kz4_import_sw_cert(u8(cert), uint32_t(cert.size())), -2);
    EXPECT_EQ(calls().back(), drained);
    EXPECT_EQ(triple(), (std::vector<int>{-1, 0x0b, -1}));
    // A short argument write is drained too.
    arm("omap_sec.short_write=3\nomap_sec.service=83");
    forget();
    EXPECT_EQ(kz4_import_sw_cert(u8(cert), uint32_t(cert.size())), -2);
    EXPECT_EQ(calls().back(), drained);
    arm("");

    // Written to "cert-sw" whatever the mode, after the import.
    configure("mode=2\n");
    ASSERT_EQ(kz4_write_sw_cert(u8(cert), uint32_t(cert.size())), 0);
    EXPECT_EQ(block("cert-sw"), cert);
    EXPECT_EQ(block("cert-sw-ulvo"), "<-3>");
    // A short one is neither imported nor written.
    std::string short_cert = sw_cert(3, 2, 1150);
    EXPECT_EQ(kz4_write_sw_cert(u8(short_cert), uint32_t(short_cert.size())), -2);
    EXPECT_EQ(block("cert-sw"), cert);

    // Read from "cert-sw-ulvo" in mode 2 only.
    put("cert-sw-ulvo", "ulvo");
    struct {
        const char *config;
        const char *faults;
        std::string block;
    } modes[] = {
        {"mode=2\n", "", "ulvo"},  {"mode=0\n", "", cert}, {"mode=1\n", "", cert},
        {"mode=3\n", "", cert},    {"mode=2\n", "omap_sec.select=5", cert},
    };
    for (auto &m : modes) {
        configure(m.config);
        arm(m.faults);
        uint8_t *data = nullptr;
        uint32_t length = 0;
        ASSERT_EQ(kz4_read_sw_cert(&data, &length), 0) << m.config << m.faults;
        EXPECT_EQ(std::string(reinterpret_cast<char *>(data), length), m.block)
            << m.config << m.faults;
        kz4_free(data);
    }
    arm("");
    put("cert-sw", "");
    configure("mode=1\n");
    uint8_t *data = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(kz4_read_sw_cert(&data, &length), -4);
}

}  // namespace
