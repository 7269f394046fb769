// File signatures without usable hardware (runs in the sandbox): they are
// kept in the vdata file, and a file is checked against its entry there.
// The road through the stores is in file_signatures_store_test.cpp.
#include "crypto/crypto_fixture.h"
#include "crypto/vdata.h"

#include <openssl/sha.h>

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {

using strings = std::vector<std::string>;


class CryptoFiles : public CryptoTest {
protected:
    void SetUp() override
    {
        CryptoTest::SetUp();
        unlink(TARVO_VDATA_PATH);
        write_file("/etc/a", "first file\n");
    }
    void TearDown() override
    {
        unlink(TARVO_VDATA_PATH);
        CryptoTest::TearDown();
    }
};

TEST_F(CryptoFiles, WithoutHardwareTheVdataFileKeepsTheSignatures)
{
    without_hardware();
    // The list itself is not signed, and not changed.
    EXPECT_EQ(tarvo_crypto_sign_file(TARVO_VDATA_PATH, nullptr, 0, "tcb"), 0);
    EXPECT_EQ(access(TARVO_VDATA_PATH, F_OK), -1);

    EXPECT_EQ(tarvo_crypto_sign_file("/etc/a", nullptr, 0, "tcb"), 0);
    EXPECT_EQ(read_file(TARVO_VDATA_PATH), sha1_hex("first file\n") + "  /etc/a\n");
    EXPECT_EQ(tarvo_crypto_verify_file("/etc/a", nullptr, 0, "tcb"), 0);

    // With data: their hash is recorded, the file is not written.
    const std::string next = "next content\n";
    EXPECT_EQ(tarvo_crypto_sign_file("/etc/a", bytes_of(next), next.size(), nullptr), 0);
    EXPECT_EQ(read_file("/etc/a"), "first file\n");
    EXPECT_EQ(tarvo_crypto_verify_file("/etc/a", bytes_of(next), next.size(), "tcb"), 0);
    EXPECT_EQ(tarvo_crypto_verify_file("/etc/a", nullptr, 0, "tcb"), 3);
    EXPECT_TRUE(has(reports(), "verify_global_signature: wrong signature (" + sha1_hex(next) +
                                   ") for '/etc/a' (" + sha1_hex("first file\n") + ")"));
    EXPECT_EQ(tarvo_crypto_verify_file("/etc/other", bytes_of(next), next.size(), "tcb"), 2);
    EXPECT_TRUE(has(reports(), "verify_global_signature: no signature for '/etc/other' (" +
                                   sha1_hex(next) + ")"));
    // A file that cannot be read is not signed.
    EXPECT_EQ(tarvo_crypto_sign_file("/etc/missing", nullptr, 0, "tcb"), 1);
}

TEST_F(CryptoFiles, MissingArguments)
{
    errno = 0;
    EXPECT_EQ(tarvo_crypto_sign_file(nullptr, nullptr, 0, "tcb"), 1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(reports(), strings{"tarvo_crypto_sign_file: pathname cannot be null"});
    for (auto args : {std::make_pair(static_cast<const char *>(nullptr), "tcb"),
                      std::make_pair("/etc/a", static_cast<const char *>(nullptr))}) {
        errno = 0;
        EXPECT_EQ(tarvo_crypto_verify_file(args.first, nullptr, 0, args.second), 1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(reports(), strings{"tarvo_crypto_verify_file: pathname or token cannot be null"});
    }
}

}  // namespace
