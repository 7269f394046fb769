// Device invariants against the simulated secure side (runs in the
// sandbox).
#include "crypto/crypto_fixture.h"

#include <cstring>

namespace {

using CryptoInvariants = CryptoTest;

TEST_F(CryptoInvariants, ImeiIsReadOnceAndKept)
{
    crypto_invariants.clear();
    // The identity cannot be read: the placeholder, not kept.
    arm("omap_sec.open=2\n");
    kz4_close();
    crypto.pid = int(getpid());  // set up, but the device is closed
    EXPECT_STREQ(tarvo_crypto_sysinvariant(0), "12345678901234");
    EXPECT_TRUE(crypto_invariants.empty());
    arm("");

    reset();
    ASSERT_EQ(tarvo_crypto_init(), 1);
    uint8_t digits[15];
    ASSERT_EQ(kz4_read_imei(digits), 0);
    std::string expected;
    for (uint8_t d : digits)
        expected += char('0' + d);
    const char *imei = tarvo_crypto_sysinvariant(0);
    EXPECT_EQ(std::string(imei), expected);
    EXPECT_EQ(strlen(imei), 15u);
    // The same text on every later call, also when the device changed.
    configure("id=0000000000000000\n");
    EXPECT_EQ(tarvo_crypto_sysinvariant(0), imei);
    EXPECT_TRUE(reports().empty());

    EXPECT_STREQ(tarvo_crypto_sysinvariant(1), "");
    EXPECT_EQ(reports(), std::vector<std::string>{"Not yet implemented: sysinvariant 1"});
    crypto_invariants.clear();
}

}  // namespace
