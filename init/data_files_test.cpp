// Data-file checks on the simulated device (runs in the sandbox): the
// mapping of a data file, its SHA-1 against a reference hash, its
// signature through the crypto services, and the software certificate's
// entries.
#include "sim/models/omap_sec_sw_cert.h"
#include "init/data_files.h"

#include "init/digest.h"
#include "init/log.h"
#include "init/test_support.h"
#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/mtd.h"
#include "sim/models/omap_sec.h"
#include "sim/testing/inside.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

const char DATA_PATH[] = "/tmp/data-file";

void write_file(const char *path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

template <class F>
std::string traced(F step)
{
    testing::internal::CaptureStderr();
    step();
    return testing::internal::GetCapturedStderr();
}

class DataFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_to_stderr(0);
        mkdir("/var", 0755);
        mkdir("/var/lib", 0755);
        unlink(DATA_PATH);
    }
    void TearDown() override { unlink(DATA_PATH); }
};

TEST_F(DataFiles, MappingIsWholeAndPrivate)
{
    write_file(DATA_PATH, "content");
    int fd = -7;
    size_t size = 0;
    unsigned char *map = map_data_file(DATA_PATH, &fd, &size);
    ASSERT_NE(map, nullptr);
    EXPECT_GE(fd, 0);
    ASSERT_EQ(size, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(map), size), "content");
    // Writable, and the file never sees the change.
    map[0] = 'C';
    EXPECT_EQ(unmap_data_file(fd, map, size), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor is closed";
    std::ifstream in(DATA_PATH);
    std::string back;
    in >> back;
    EXPECT_EQ(back, "content");

    struct {
        const char *what;
        bool present;
        const char *trace;
    } failures[] = {
        {"missing", false, "Cannot open /tmp/data-file\n"},
        {"empty", true, ""},
        {"larger than any data file", true, ""},
    };
    for (auto &f : failures) {
        SCOPED_TRACE(f.what);
        unlink(DATA_PATH);
        if (f.present)
            write_file(DATA_PATH, "");
        if (std::string(f.what) == "larger than any data file") {
            ASSERT_EQ(truncate(DATA_PATH, off_t(DATA_FILE_MAX) + 1), 0);
        }
        fd = -7;
        size = 99;
        std::string t = traced([&] { map = map_data_file(DATA_PATH, &fd, &size); });
        EXPECT_EQ(map, nullptr);
        EXPECT_EQ(fd, -1);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(t, f.trace);
    }
}

// The copy is the process's own: another process that rewrites or
// shortens the file after it was read changes nothing in it and cannot
// fault its reader.
TEST_F(DataFiles, CopyOutlivesChangesToTheFile)
{
    const size_t length = 3 * 4096;
    write_file(DATA_PATH, std::string(length, 'A'));
    int fd = -1;
    size_t size = 0;
    unsigned char *copy = map_data_file(DATA_PATH, &fd, &size);
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(size, length);
    int other = open(DATA_PATH, O_WRONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(pwrite(other, std::string(length, 'B').data(), length, 0), ssize_t(length));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(copy), size), std::string(length, 'A'));
    ASSERT_EQ(ftruncate(other, 0), 0);
    close(other);
    size_t as = 0;
    for (size_t i = 0; i < size; i++)
        as += copy[i] == 'A';
    EXPECT_EQ(as, length);
    EXPECT_EQ(unmap_data_file(fd, copy, size), 0);
}

TEST_F(DataFiles, Sha1AgainstReferenceHash)
{
    const std::string content = "d41d8cd98f00b204e9800998ecf8427e  /usr/bin/tool\n";
    const std::vector<uint8_t> right = sha1_of(content);
    std::vector<uint8_t> wrong = right;
    wrong[19] ^= 1;
    struct {
        const char *what;
        const char *content;  // null: no file
        const std::vector<uint8_t> *hash;
        int result;
        const char *trace;
    } cases[] = {
        {"matches", content.c_str(), &right, 0, ""},
        {"one bit off", content.c_str(), &wrong, -22, ""},
        // An empty file cannot be mapped, even where its hash would match.
        {"empty", "", nullptr, -2, "Cannot open /tmp/data-file\n"},
        {"missing", nullptr, &right, -2,
         "Cannot open /tmp/data-file\nCannot open /tmp/data-file\n"},
    };
    const std::vector<uint8_t> empty_hash = sha1_of("");
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        unlink(DATA_PATH);
        if (c.content)
            write_file(DATA_PATH, c.content);
        const uint8_t *hash = c.hash ? c.hash->data() : empty_hash.data();
        int r = 1;
        EXPECT_EQ(traced([&] { r = check_file_sha1(DATA_PATH, hash); }), c.trace);
        EXPECT_EQ(r, c.result);
    }
}

TEST_F(DataFiles, SignatureThroughCryptoServices)
{
    // No signature is kept for the file: not verified.
    write_file(DATA_PATH, "policy");
    int r = 1;
    EXPECT_EQ(traced([&] { r = verify_file_signature(DATA_PATH); }),
              "Signature verification failed /tmp/data-file\n");
    EXPECT_EQ(r, -22);

    unlink(DATA_PATH);
    EXPECT_EQ(traced([&] { r = verify_file_signature(DATA_PATH); }),
              "Cannot open /tmp/data-file\nCannot open /tmp/data-file\n");
    EXPECT_EQ(r, -2);
    write_file(DATA_PATH, "");
    EXPECT_EQ(traced([&] { r = verify_file_signature(DATA_PATH); }),
              "Cannot open /tmp/data-file\n");
    EXPECT_EQ(r, -2);
}

// A software certificate with its fields numbered after their offsets.
struct cert_entry {
    std::string name;  // up to 12 bytes; shorter names are NUL-padded
    std::vector<uint8_t> hash;
};

std::string make_cert(uint32_t count, const std::vector<cert_entry> &entries,
                      uint32_t version = 3, size_t length = 0)
{
    std::string c(SW_CERT_ENTRIES_OFFSET + 32 * entries.size(), '\0');
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            c[at + i] = char(v >> (8 * i));
    };
    for (size_t at : {0, 4, 24, 328, 332, 340, 344, 348, 352, 980})
        put(at, uint32_t(0x1000 + at));
    put(976, version);
    put(SW_CERT_COUNT_OFFSET, count);
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = SW_CERT_ENTRIES_OFFSET + 32 * i;
        c.replace(at, entries[i].name.size(), entries[i].name);
        c.replace(at + 12, 20, reinterpret_cast<const char *>(entries[i].hash.data()), 20);
    }
    if (length)
        c.resize(length, '\0');
    return c;
}

std::string header_lines(uint32_t version, uint32_t count)
{
    return "SW certificate\n=================\n  Version    : " + std::to_string(version) +
           "\n  Timestamp  : 5076\n  Entries    : " + std::to_string(count) +
           "\n  Magic      : 1000\n  Key index  : 1004\n  Hdr size   : 1018\n"
           "  Startup    : 1148\n  Watchdog   : 114c\n  Interval   : 115c\n"
           "  Version    : 1154\n  Sub magic  : 1158\n  Check flags: 1160\n";
}

TEST(SwCertificate, EntriesAndTheVdataHash)
{
    log_to_stderr(0);
    std::vector<uint8_t> h1(20), h2(20), h3(20);
    for (int i = 0; i < 20; ++i) {
        h1[i] = uint8_t(i);
        h2[i] = uint8_t(0xA0 + i);
        h3[i] = uint8_t(0xF0 ^ i);
    }
    const std::string hex1 = "000102030405060708090a0b0c0d0e0f10111213";
    const std::string hex2 = "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3";
    std::string h3hex;
    {
        char t[41];
        print_hash_hex(h3.data(), t);
        h3hex = t;
    }
    struct {
        const char *what;
        std::string cert;
        int result;
        const std::vector<uint8_t> *hash;
        std::string trace;
    } cases[] = {
        {"vdata first of two", make_cert(2, {{"vdata", h1}, {"rootfs", h2}}), 0, &h1,
         header_lines(3, 2) + "Sub: vdata\t\t0x" + hex1 + "\nSub: rootfs\t\t0x" + hex2 + "\n"},
        {"a later vdata wins", make_cert(2, {{"vdata", h1}, {"vdata", h2}}), 0, &h2,
         header_lines(3, 2) + "Sub: vdata\t\t0x" + hex1 + "\nSub: vdata\t\t0x" + hex2 + "\n"},
        {"version 1 read at 1112 too", make_cert(1, {{"vdata", h2}}, 1), 0, &h2,
         header_lines(1, 1) + "Sub: vdata\t\t0x" + hex2 + "\n"},
        {"no entries", make_cert(0, {}), -22, nullptr, header_lines(3, 0)},
        {"no vdata entry", make_cert(2, {{"vdata2", h1}, {"vdat", h2}}), -22, nullptr,
         header_lines(3, 2) + "Sub: vdata2\t\t0x" + hex1 + "\nSub: vdat\t\t0x" + hex2 + "\n"},
        {"a name of 12 bytes without NUL", make_cert(1, {{"abcdefghijkl", h3}}), -22, nullptr,
         header_lines(3, 1) + "Sub: abcdefghijkl\t\t0x" + h3hex + "\n"},
        {"more entries than the length holds",
         make_cert(3, {{"vdata", h1}, {"other", h2}}), -22, nullptr,
         header_lines(3, 3) + "SW certificate holds 2 entries, not 3\n"},
        {"a count that would wrap", make_cert(0x08000001u, {{"vdata", h1}}), -22, nullptr,
         header_lines(3, 0x08000001u) + "SW certificate holds 1 entries, not 134217729\n"},
        {"no room for the count", make_cert(1, {}, 3, 1115), -22, nullptr,
         "SW certificate\n=================\nSW certificate too short (1115 bytes)\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> out(20, 0xEE);
        int r = 1;
        EXPECT_EQ(traced([&] {
                      r = sw_cert_vdata_hash(reinterpret_cast<const uint8_t *>(c.cert.data()),
                                             uint32_t(c.cert.size()), out.data());
                  }),
                  c.trace);
        EXPECT_EQ(r, c.result);
        if (c.hash)
            EXPECT_EQ(out, *c.hash);
        else
            EXPECT_EQ(out, std::vector<uint8_t>(20, 0xEE));
    }
}

// The certificate as the hardware client reads it from the simulated
// flash's configuration area.
class VdataHash : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_to_stderr(0);
        ks_sim::testing::fresh_config_partition();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(ks_sim::write_state(ks_sim::OMAP_SEC_CONFIG, ""), 0);
        ASSERT_EQ(kz4_open(nullptr), 0);
        // A configuration area in use, without a software certificate.
        testing::internal::CaptureStderr();
        store("cert-ccc", "ccc");
        testing::internal::GetCapturedStderr();
    }
    void TearDown() override
    {
        kz4_close();
        ks_sim::write_state(ks_sim::OMAP_SEC_CONFIG, "");
    }
    static void store(const char *block, const std::string &cert)
    {
        // Certificate blocks carry the manufacturer's signature, as the
        // factory writes them; other blocks are stored as given.
        std::string signed_copy = cert;
        if (strncmp(block, "cert-sw", 7) == 0 && signed_copy.size() >= 52) {
            EXPECT_TRUE(ks_sim::sw_cert_sign(signed_copy));
        }
        ASSERT_EQ(kz4_cal_write(block, reinterpret_cast<const uint8_t *>(signed_copy.data()),
                                uint32_t(signed_copy.size()), 0),
                  0);
    }
};

TEST_F(VdataHash, FromTheCertificateOnFlash)
{
    std::vector<uint8_t> h1(20, 0x11), h2(20, 0x22), out(20, 0);
    int r = 1;
    // No certificate block: the reader's code.
    EXPECT_EQ(traced([&] { r = get_vdata_hash(out.data()); }),
              "check sw certificate\nSW certificate reading failed (-3)\n");
    EXPECT_EQ(r, -3);
    store("cert-sw", "");
    EXPECT_EQ(traced([&] { r = get_vdata_hash(out.data()); }),
              "check sw certificate\nSW certificate reading failed (-4)\n");
    EXPECT_EQ(r, -4);

    store("cert-sw", make_cert(1, {{"vdata", h1}}));
    store("cert-sw-ulvo", make_cert(1, {{"vdata", h2}}));
    std::string t = traced([&] { r = get_vdata_hash(out.data()); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, h1);
    EXPECT_EQ(t, "check sw certificate\n" + header_lines(3, 1) + "Sub: vdata\t\t0x" +
                     std::string(40, '1') + "\n");
    // Hardware mode 2 reads the other block.
    ASSERT_EQ(ks_sim::write_state(ks_sim::OMAP_SEC_CONFIG, "mode=2\n"), 0);
    traced([&] { r = get_vdata_hash(out.data()); });
    EXPECT_EQ(r, 0);
    EXPECT_EQ(out, h2);
}

}  // namespace

