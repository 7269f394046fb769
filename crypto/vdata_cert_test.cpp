// The vdata file against the software certificate kept on the simulated
// NAND flash (runs in the sandbox): the certificate's "vdata" digest
// decides whether the list counts.
#include "sim/models/omap_sec_sw_cert.h"
#include "crypto/crypto_fixture.h"
#include "crypto/vdata.h"

#include "sim/models/mtd.h"
#include "sim/testing/inside.h"

#include <openssl/sha.h>

#include <unistd.h>

#include <cstring>
#include <fstream>

namespace {

using strings = std::vector<std::string>;

std::string sha1(const std::string &content)
{
    unsigned char d[20];
    SHA1(reinterpret_cast<const unsigned char *>(content.data()), content.size(), d);
    return std::string(reinterpret_cast<char *>(d), 20);
}
std::string hex(const std::string &bytes) { return hex_string(bytes.data(), unsigned(bytes.size())); }

// A software certificate whose named digests are the given ones.
std::string certificate(const std::vector<std::pair<std::string, std::string>> &named)
{
    std::string c(1116, '\0');
    uint32_t n = uint32_t(named.size());
    for (int i = 0; i < 4; i++)
        c[1112 + i] = char(n >> (8 * i));
    for (const auto &e : named) {
        std::string name(12, '\0');
        name.replace(0, e.first.size(), e.first);
        c += name + e.second;
    }
    return c;
}

const std::string LIST = std::string(40, 'a') + "  /etc/a\n";

class CryptoVdataCertificate : public CryptoTest {
protected:
    void SetUp() override
    {
        CryptoTest::SetUp();
        ks_sim::testing::fresh_config_partition();
        if (HasFatalFailure())
            return;
        write_file(TARVO_VDATA_PATH, LIST);
    }
    void TearDown() override
    {
        unlink(TARVO_VDATA_PATH);
        CryptoTest::TearDown();
    }
    static void put(const char *block, const std::string &data)
    {
        // Certificate blocks carry the manufacturer's signature, as the
        // factory writes them; other blocks are stored as given.
        std::string signed_copy = data;
        if (strncmp(block, "cert-sw", 7) == 0 && signed_copy.size() >= 52) {
            EXPECT_TRUE(ks_sim::sw_cert_sign(signed_copy));
        }
        ASSERT_EQ(kz4_cal_write(block, reinterpret_cast<const uint8_t *>(signed_copy.data()),
                                uint32_t(signed_copy.size()), 0),
                  0);
    }
};

TEST_F(CryptoVdataCertificate, TheCertificateDecides)
{
    const std::string good = sha1(LIST), bad(20, 'x');
    const struct {
        const char *what;
        std::string mode;
        std::string cert_sw, cert_sw_ulvo;
        int expected;
    } cases[] = {
        {"matching entry", "1", certificate({{"kernel", bad}, {"vdata", good}}), "", 0},
        {"the last of two entries", "1", certificate({{"vdata", bad}, {"vdata", good}}), "", 0},
        {"mismatching entry", "1", certificate({{"vdata", bad}}), "", 3},
        {"the last of two mismatches", "1", certificate({{"vdata", good}, {"vdata", bad}}), "",
         3},
        {"mode 2 reads the other block", "2", certificate({{"vdata", bad}}),
         certificate({{"vdata", good}}), 0},
        {"no entry: the list counts as it is", "1", certificate({{"kernel", bad}}), "", 0},
        // With usable hardware a certificate that cannot be read vouches
        // for nothing.
        {"no certificate", "1", "", "", 3},
        {"mode 2 without its block", "2", certificate({{"vdata", good}}), "", 3},
    };
    for (const auto &c : cases) {
        ks_sim::testing::fresh_config_partition();
        reset();
        configure("mode=" + c.mode + "\n");
        ASSERT_EQ(tarvo_crypto_init(), 1);
        if (!c.cert_sw.empty())
            put("cert-sw", c.cert_sw);
        if (!c.cert_sw_ulvo.empty())
            put("cert-sw-ulvo", c.cert_sw_ulvo);
        reports();
        EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), c.expected) << c.what;
        strings r = reports();
        const bool read = c.mode == "2" ? !c.cert_sw_ulvo.empty() : !c.cert_sw.empty();
        if (c.expected == 3 && read) {
            EXPECT_TRUE(has(r, "verify_global_signature: hash of '/etc/tarvo_vdata' (" +
                                   hex(good) + ") does not match hash in swcert (" + hex(bad) +
                                   ")"))
                << c.what;
        } else if (c.expected == 3) {
            EXPECT_TRUE(has(r, "verify_global_signature: cannot verify '/etc/tarvo_vdata', "
                               "cannot read SW cert"))
                << c.what;
        }
        if (c.expected == 3) {
            // The list is not trusted: nothing can be recorded in it.
            EXPECT_EQ(save_global_signature("/etc/a", nullptr), 0) << c.what;
        } else {
            tarvo_vdata *list = nullptr;
            EXPECT_EQ(read_tarvo_vdata(&list), 0) << c.what;
            EXPECT_EQ(list ? list->size() : 0u, 1u) << c.what;
            delete list;
        }
    }
}

// The digest is read once per process image and kept.
TEST_F(CryptoVdataCertificate, DigestIsReadOnce)
{
    reset();
    configure("mode=1\n");
    ASSERT_EQ(tarvo_crypto_init(), 1);
    put("cert-sw", certificate({{"vdata", sha1(LIST)}}));
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 0);
    ASSERT_TRUE(crypto.vdata_digest_cached);
    put("cert-sw", certificate({{"vdata", std::string(20, 'x')}}));
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 0);
    tarvo_crypto_cleanup();  // the clean-up keeps it too
    EXPECT_TRUE(crypto.vdata_digest_cached);
    EXPECT_EQ(verify_global_signature(TARVO_VDATA_PATH, nullptr), 0);
}

}  // namespace
