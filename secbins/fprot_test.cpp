// File protection under a program id against the simulated secure side
// (runs in the sandbox): the exact requests, the program-id rules, the
// argument refusals, round trips under the device key and the failure
// paths of the response.
#include "secbins/device_fixture.h"

#include "creds/creds.h"
#include "sim/models/omap_sec_crypto.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>

namespace {

using namespace kz4_transcript;
using bytes = std::vector<uint8_t>;


bytes counting(size_t n, uint8_t start = 0)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(start + i);
    return b;
}
std::string str(const bytes &b) { return std::string(b.begin(), b.end()); }

// The key the tests pin, so that expected MACs can be computed here.
const std::string device_key_hex = "000102030405060708090a0b0c0d0e0f";
const std::string device_key(
    "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16);

class Kz4Fprot : public Kz4Device {
protected:
    void SetUp() override
    {
        Kz4Device::SetUp();
        configure("device_key=" + device_key_hex + "\n");
    }
    // Every call from the selection on, with the reads of the status.
    static strings request(uint32_t service, uint32_t arg_length, const strings &writes)
    {
        strings c = {"select " + std::to_string(service), write_u32(arg_length)};
        c.insert(c.end(), writes.begin(), writes.end());
        c.push_back("read 4 00000000");
        c.push_back("read 4 00000000");
        return c;
    }
};

TEST_F(Kz4Fprot, RequestTranscripts)
{
    open_device();
    ASSERT_EQ(kz4_set_programid("abc"), 0);
    const std::string id = std::string("abc", 4);
    bytes data100 = counting(100), data10 = counting(10, 0x40);
    std::string mac10 = ks_sim::omap_sec_mac(device_key, "abc", str(data10));
    std::string mac_of_xyz = ks_sim::omap_sec_mac(device_key, "xyz", str(data100));
    uint8_t *out = nullptr;

    // MAC of 10 bytes under the kept id: argument length 26.
    EXPECT_EQ(kz4_fprot_mac(data10.data(), 10, &out), 20);
    strings expected = request(899, 26, {write_u32(4), write_of(id), write_u32(10),
                                         write_u32(20), write_of(str(data10))});
    expected.push_back("read 20 " + hex(mac10));
    expected.push_back("read 4 " + w32(20));
    expected.push_back("read 16 EAGAIN");
    EXPECT_EQ(calls(), expected);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 20), mac10);
    kz4_free(out);

    // MAC check with a name of 3 characters, 100 bytes and a 20-byte MAC:
    // argument length 148, the MAC keyed by the name.
    forget();
    EXPECT_EQ(kz4_fprot_check_mac("xyz", data100.data(), 100,
                                  reinterpret_cast<const uint8_t *>(mac_of_xyz.data()), 20),
              KZ4_MAC_VALID);
    expected = request(900, 148,
                       {write_u32(4), write_of(id), write_u32(4), write_of(std::string("xyz", 4)),
                        write_u32(120), write_u32(20), write_u32(4), write_of(str(data100)),
                        write_of(mac_of_xyz)});
    expected.push_back("read 4 " + w32(1));
    expected.push_back("read 4 " + w32(0));
    expected.push_back("read 16 EAGAIN");
    EXPECT_EQ(calls(), expected);

    // The output length of encryption: the data rounded up to 16, plus 32.
    struct {
        uint32_t len;
        uint32_t out_len;
    } sizes[] = {{1, 48}, {16, 48}, {17, 64}, {100, 144}};
    for (auto &s : sizes) {
        forget();
        bytes d = counting(s.len);
        EXPECT_EQ(kz4_fprot_encrypt(d.data(), s.len, &out), int(s.out_len)) << s.len;
        strings c = calls();
        ASSERT_EQ(c.size(), 12u) << s.len;
        EXPECT_EQ(c[0], "select 896");
        EXPECT_EQ(c[1], write_u32(s.len + 4 + 12));
        EXPECT_EQ(c[4], write_u32(s.len));
        EXPECT_EQ(c[5], write_u32(s.out_len));
        EXPECT_EQ(c[6], write_of(str(d)));
        std::string read_out = "read " + std::to_string(s.out_len) + " ";
        EXPECT_EQ(c[9].substr(0, read_out.size()), read_out);
        EXPECT_EQ(c[10], "read 4 " + w32(s.out_len));
        kz4_free(out);
    }

    // Decryption of 48 bytes expects 16.
    bytes sealed(48, 0);
    forget();
    EXPECT_EQ(kz4_fprot_decrypt(sealed.data(), 48, &out), -4);
    strings c = calls();
    ASSERT_GE(c.size(), 6u);
    EXPECT_EQ(c[0], "select 898");
    EXPECT_EQ(c[5], write_u32(16));

    // Record MAC: n, b, the first text, the second text in 256-byte
    // fields, then the data.
    forget();
    std::string record = std::string("\x02\0\0\0\x07\0\0\0", 8) + "F1" + std::string(254, '\0') +
                         "S2" + std::string(254, '\0') + str(data10);
    EXPECT_EQ(kz4_fprot_record_mac(data10.data(), 10, 2, reinterpret_cast<const uint8_t *>("S2"),
                                   7, reinterpret_cast<const uint8_t *>("F1"), &out),
              20);
    expected = request(901, 530 + 4 + 12,
                       {write_u32(4), write_of(id), write_u32(530), write_u32(20), write_of(record)});
    expected.push_back("read 20 " + hex(ks_sim::omap_sec_mac(device_key, "abc", record)));
    expected.push_back("read 4 " + w32(20));
    expected.push_back("read 16 EAGAIN");
    EXPECT_EQ(calls(), expected);
    kz4_free(out);
}

TEST_F(Kz4Fprot, ArgumentsRefusedBeforeAnyRequest)
{
    open_device();
    uint8_t b[64] = {0};
    uint8_t *out = reinterpret_cast<uint8_t *>(b);
    uint8_t **outp = &out;
    struct {
        const char *what;
        std::function<int()> call;
        int lib;  // LIB after the refusal; errno EINVAL always
    } cases[] = {
        {"encrypt 0 bytes", [&] { return kz4_fprot_encrypt(b, 0, outp); }, EINVAL},
        {"encrypt NULL data", [&] { return kz4_fprot_encrypt(nullptr, 4, outp); }, EINVAL},
        {"encrypt wrapping length",
         [&] { return kz4_fprot_encrypt(b, UINT32_MAX - 20, outp); }, EINVAL},
        {"decrypt 40 bytes", [&] { return kz4_fprot_decrypt(b, 40, outp); }, -1},
        {"decrypt 32 bytes", [&] { return kz4_fprot_decrypt(b, 32, outp); }, -1},
        {"decrypt 0 bytes", [&] { return kz4_fprot_decrypt(b, 0, outp); }, -1},
        {"MAC without output", [&] { return kz4_fprot_mac(b, 4, nullptr); }, EINVAL},
        {"check with a 21-byte MAC",
         [&] { return kz4_fprot_check_mac("n", b, 4, b, 21); }, -1},
        {"check with NULL MAC", [&] { return kz4_fprot_check_mac("n", b, 4, nullptr, 20); },
         EINVAL},
        {"call with NULL second input",
         [&] { return kz4_fprot_call(899, nullptr, b, 4, nullptr, 4, outp, 20); }, EINVAL},
        {"record with n 257",
         [&] { return kz4_fprot_record_mac(b, 4, 257, b, 0, b, outp); }, EINVAL},
        {"record without texts",
         [&] { return kz4_fprot_record_mac(b, 4, 2, nullptr, 0, b, outp); }, EINVAL},
        {"record with NULL data",
         [&] { return kz4_fprot_record_mac(nullptr, 4, 0, b, 0, b, outp); }, EINVAL},
    };
    for (auto &c : cases) {
        errno = 0;
        out = b;
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(errno, EINVAL) << c.what;
        EXPECT_EQ(triple(), (std::vector<int>{c.lib, -1, -1})) << c.what;
    }
    EXPECT_EQ(calls(), strings{});
    EXPECT_EQ(kz4_get_programid(nullptr), -1);
}

TEST_F(Kz4Fprot, ProgramIdRules)
{
    const char *id = reinterpret_cast<const char *>(1);
    ASSERT_EQ(kz4_get_programid(&id), 0);
    EXPECT_EQ(id, nullptr);

    std::string longest(KZ4_PROGRAMID_MAX, 'p');
    ASSERT_EQ(kz4_set_programid(longest.c_str()), 0);
    ASSERT_EQ(kz4_get_programid(&id), 0);
    EXPECT_EQ(std::string(id), longest);

    // One character more is refused and the kept id stays.
    std::string too_long(KZ4_PROGRAMID_MAX + 1, 'q');
    kz4_clear_error();
    EXPECT_EQ(kz4_set_programid(too_long.c_str()), -1);
    EXPECT_EQ(triple(), (std::vector<int>{EINVAL, -1, -1}));
    EXPECT_EQ(kz4_set_programid(nullptr), -1);
    ASSERT_EQ(kz4_get_programid(&id), 0);
    EXPECT_EQ(std::string(id), longest);

    // The kept id handed back can be set again.
    ASSERT_EQ(kz4_set_programid("tcb"), 0);
    ASSERT_EQ(kz4_get_programid(&id), 0);
    ASSERT_EQ(kz4_set_programid(id), 0);
    ASSERT_EQ(kz4_get_programid(&id), 0);
    EXPECT_STREQ(id, "tcb");

    // Closing drops it.
    kz4_close();
    ASSERT_EQ(kz4_get_programid(&id), 0);
    EXPECT_EQ(id, nullptr);
}

// Applies a credential set of the calling process holding the given
// application id, or none.
void apply_application_id(const char *text)
{
    creds_handle set = creds_empty();
    ASSERT_EQ(creds_add(&set, CREDS_TYPE_UID, 0), 0);
    if (text) {
        long value = 0;
        int type = kernel_text_to_creds(text, &value);
        ASSERT_GT(type, CREDS_TYPE_GRP) << text;
        int count = 0;
        const uint32_t *words = creds_raw_list(set, &count);
        std::vector<uint32_t> list(words, words + count);
        list.push_back(creds_header(uint32_t(type), 1));
        list.push_back(uint32_t(value));
        creds_release(set);
        set = creds_from_list(list.data(), int(list.size()));
        ASSERT_NE(set, nullptr);
    }
    ASSERT_EQ(creds_apply(set), 0);
    creds_release(set);
}

TEST_F(Kz4Fprot, DefaultProgramIdFromTheCallersCredentials)
{
    open_device();
    uint8_t data[4] = {1, 2, 3, 4};
    uint8_t *mac = nullptr;
    std::string long_aid = "AID::" + std::string(251, 'a');  // 256 characters: no room
    struct {
        const char *what;
        const char *aid;  // application id credential of the process, or none
        std::string id;   // the id sent and kept
    } cases[] = {
        {"no application id", nullptr, "::"},
        {"application id", "AID::com.example/viewer", "AID::com.example/viewer"},
        {"application id beyond the room", long_aid.c_str(), "::"},
        {"application id that just fits", "AID::" "0123456789012345678901234567890123456789",
         "AID::0123456789012345678901234567890123456789"},
    };
    for (auto &c : cases) {
        apply_application_id(c.aid);
        kz4_close();
        open_device();
        EXPECT_EQ(kz4_fprot_mac(data, 4, &mac), 20) << c.what;
        kz4_free(mac);
        strings calls_made = calls();
        ASSERT_GE(calls_made.size(), 4u) << c.what;
        EXPECT_EQ(calls_made[2], write_u32(uint32_t(c.id.size() + 1))) << c.what;
        EXPECT_EQ(calls_made[3], write_of(c.id + '\0')) << c.what;
        const char *kept = nullptr;
        ASSERT_EQ(kz4_get_programid(&kept), 0);
        ASSERT_NE(kept, nullptr) << c.what;
        EXPECT_EQ(std::string(kept), c.id) << c.what;
    }
    // A 255-character text is the longest that fits the room.
    std::string fits = "AID::" + std::string(250, 'b');
    apply_application_id(fits.c_str());
    kz4_close();
    open_device();
    EXPECT_EQ(kz4_fprot_mac(data, 4, &mac), 20);
    kz4_free(mac);
    const char *kept = nullptr;
    ASSERT_EQ(kz4_get_programid(&kept), 0);
    EXPECT_EQ(std::string(kept), fits);
    apply_application_id(nullptr);
}

TEST_F(Kz4Fprot, RoundTripsUnderTheDeviceKey)
{
    open_device();
    bytes data = counting(37, 0x20);
    uint8_t *sealed = nullptr, *plain = nullptr, *mac = nullptr;

    ASSERT_EQ(kz4_set_programid("tcb"), 0);
    int n = kz4_fprot_encrypt(data.data(), 37, &sealed);
    ASSERT_EQ(n, 80);
    EXPECT_EQ(kz4_fprot_decrypt(sealed, 80, &plain), 37);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(bytes(plain, plain + 37), data);
    kz4_free(plain);

    // Another id cannot open it: PA DECRYPT_FAIL, no output.
    ASSERT_EQ(kz4_set_programid("other"), 0);
    plain = reinterpret_cast<uint8_t *>(&plain);
    EXPECT_EQ(kz4_fprot_decrypt(sealed, 80, &plain), -4);
    EXPECT_EQ(plain, nullptr);
    EXPECT_EQ(triple(), (std::vector<int>{-1, -1, 0x09}));
    // Nor a changed form under the right one.
    ASSERT_EQ(kz4_set_programid("tcb"), 0);
    sealed[20] ^= 1;
    EXPECT_EQ(kz4_fprot_decrypt(sealed, 80, &plain), -4);
    kz4_free(sealed);

    // A MAC made under "tcb" checks under the name "tcb", whatever id is
    // kept, and fails for changed data, another name or a short MAC.
    ASSERT_EQ(kz4_fprot_mac(data.data(), 37, &mac), 20);
    ASSERT_EQ(kz4_set_programid("someone"), 0);
    EXPECT_EQ(kz4_fprot_check_mac("tcb", data.data(), 37, mac, 20), KZ4_MAC_VALID);
    EXPECT_EQ(kz4_fprot_check_mac("tcb", data.data(), 36, mac, 20), KZ4_MAC_MISMATCH);
    EXPECT_EQ(kz4_fprot_check_mac("tcb2", data.data(), 37, mac, 20), KZ4_MAC_MISMATCH);
    EXPECT_EQ(kz4_fprot_check_mac("tcb", data.data(), 37, mac, 19), KZ4_MAC_MISMATCH);
    // Without a name the kept id keys the check.
    EXPECT_EQ(kz4_fprot_check_mac(nullptr, data.data(), 37, mac, 20), KZ4_MAC_MISMATCH);
    ASSERT_EQ(kz4_set_programid("tcb"), 0);
    EXPECT_EQ(kz4_fprot_check_mac(nullptr, data.data(), 37, mac, 20), KZ4_MAC_VALID);
    EXPECT_EQ(triple(), (std::vector<int>{-1, -1, -1}));

    // The same MAC under another device key does not check.
    configure("device_key=ffffffffffffffffffffffffffffffff\n");
    EXPECT_EQ(kz4_fprot_check_mac("tcb", data.data(), 37, mac, 20), KZ4_MAC_MISMATCH);
    kz4_free(mac);
}

TEST_F(Kz4Fprot, FailedResponsesHandNoOutputBack)
{
    open_device();
    ASSERT_EQ(kz4_set_programid("tcb"), 0);
    bytes data = counting(16);
    struct {
        const char *what;
        const char *faults;
        int result;
        std::vector<int> triple;
    } cases[] = {
        {"PA word", "omap_sec.pa=0x18", -4, {-1, -1, 0x18}},
        {"ROM word", "omap_sec.rom=0x0b", -2, {-1, 0x0b, -1}},
        {"output short", "omap_sec.short_response=8", -2, {EIO, -1, -1}},
        {"result word missing", "omap_sec.short_response=2", -2, {EIO, -1, -1}},
        {"selection refused", "omap_sec.select=5", -1, {-1, -1, -1}},
        {"argument write short", "omap_sec.short_write=3", -2, {1, -1, -1}},
        // A result beyond the output would send the caller past it.
        {"result beyond the output", "omap_sec.result=49", -2, {EPROTO, -1, -1}},
        {"result beyond an int", "omap_sec.result=-1", -2, {EPROTO, -1, -1}},
    };
    for (auto &c : cases) {
        arm(c.faults);
        forget();
        uint8_t *out = reinterpret_cast<uint8_t *>(&out);
        errno = 0;
        EXPECT_EQ(kz4_fprot_encrypt(data.data(), 16, &out), c.result) << c.what;
        EXPECT_EQ(out, nullptr) << c.what;
        EXPECT_EQ(triple(), c.triple) << c.what;
        // Every outcome after the argument checks ends with the drain.
        EXPECT_EQ(calls().back(), "read 16 EAGAIN") << c.what;
    }
    // Leftover bytes of one request do not reach the next.
    arm("omap_sec.leftover=7");
    uint8_t *mac = nullptr;
    EXPECT_EQ(kz4_fprot_mac(data.data(), 16, &mac), 20);
    kz4_free(mac);
    arm("");
    EXPECT_EQ(kz4_fprot_mac(data.data(), 16, &mac), 20);
    kz4_free(mac);

    // A MAC result equal to the output stays an answer; the check's result
    // word is not used.
    arm("omap_sec.result=20\nomap_sec.service=899");
    EXPECT_EQ(kz4_fprot_mac(data.data(), 16, &mac), 20);
    arm("omap_sec.result=77\nomap_sec.service=900");
    EXPECT_EQ(kz4_fprot_check_mac("tcb", data.data(), 16, mac, 20), KZ4_MAC_VALID);
    kz4_free(mac);
}

}  // namespace
