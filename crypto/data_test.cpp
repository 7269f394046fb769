// Data operations under a token against the simulated secure side (runs in
// the sandbox): round trips, the size limit, refusals with their reports,
// the hardware's refusals, the mode without hardware, and the digests.
#include "crypto/crypto_fixture.h"

#include <openssl/sha.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using CryptoData = CryptoTest;
using bytes = std::vector<unsigned char>;
using strings = std::vector<std::string>;

bytes counting(size_t n)
{
    bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (unsigned char)(i * 7 + 3);
    return b;
}

bytes signature_of(const bytes &data, const char *token)
{
    bytes sig(20);
    EXPECT_EQ(tarvo_crypto_sign(data.data(), data.size(), token, sig.data()), 0);
    return sig;
}


TEST_F(CryptoData, RandomBytesAndKeys)
{
    unsigned char buffer[64] = {};
    EXPECT_EQ(tarvo_crypto_random(buffer, 64), 64);
    EXPECT_NE(bytes(buffer, buffer + 64), bytes(64, 0));
    EXPECT_EQ(tarvo_crypto_random(buffer, -1), -1);
    EXPECT_TRUE(has(reports(), "tarvo_crypto_random: kz4_get_random returned -1"));

    unsigned char *key = nullptr;
    EXPECT_EQ(tarvo_crypto_generate_symkey(&key), 32);
    ASSERT_NE(key, nullptr);
    EXPECT_NE(bytes(key, key + 32), bytes(32, 0));
    memset(key, 0, 32);
    EXPECT_EQ(tarvo_crypto_release(key), 0);
    EXPECT_EQ(tarvo_crypto_release(nullptr), 0);
    EXPECT_EQ(tarvo_crypto_symkey_length(), 32);
}

TEST_F(CryptoData, EncryptionRoundTrips)
{
    for (size_t size : {size_t(1), size_t(16), size_t(4050)}) {
        for (const char *token : {"tcb", static_cast<const char *>(nullptr)}) {
            bytes plain = counting(size);
            unsigned char *sealed = nullptr;
            uint32_t sealed_size = 0;
            ASSERT_EQ(tarvo_crypto_encrypt(plain.data(), size, token, &sealed, &sealed_size), 0)
                << size;
            ASSERT_NE(sealed, nullptr);
            EXPECT_LE(sealed_size, (size + 15) / 16 * 16 + 32);
            unsigned char *opened = nullptr;
            uint32_t opened_size = 0;
            ASSERT_EQ(tarvo_crypto_decrypt(sealed, sealed_size, token, &opened, &opened_size), 0)
                << size;
            EXPECT_EQ(bytes(opened, opened + opened_size), plain) << size;
            tarvo_crypto_release(opened);

            // Under another token the sealed form does not open.
            opened = reinterpret_cast<unsigned char *>(1);
            opened_size = 99;
            EXPECT_EQ(tarvo_crypto_decrypt(sealed, sealed_size, "pkg::other", &opened,
                                           &opened_size),
                      1);
            EXPECT_EQ(opened, nullptr);
            EXPECT_EQ(opened_size, 0u);
            strings r = reports();
            ASSERT_EQ(r.size(), 2u);
            EXPECT_EQ(r[0].rfind("tarvo_crypto_decrypt: kz4_fprot_decrypt('pkg::other') returned ",
                                 0),
                      0u)
                << r[0];
            EXPECT_EQ(r[1].rfind("tarvo_crypto_decrypt: KZ4 ERROR(-1) lib=", 0), 0u) << r[1];
            tarvo_crypto_release(sealed);
        }
    }
}

TEST_F(CryptoData, ArgumentRefusals)
{
    bytes data = counting(4097);
    unsigned char *out = reinterpret_cast<unsigned char *>(8);
    uint32_t size = 5;
    using call = std::function<int()>;
    const struct {
        const char *what;
        call run;
        strings reports;
    } cases[] = {
        {"encrypt 4051",
         [&] { return tarvo_crypto_encrypt(data.data(), 4051, "tcb", &out, &size); },
         {"tarvo_crypto_encrypt: invalid argument",
          "tarvo_crypto_encrypt: too long buffer 4051 (max 4050)"}},
        {"encrypt no plaintext",
         [&] { return tarvo_crypto_encrypt(nullptr, 1, "tcb", &out, &size); },
         {"tarvo_crypto_encrypt: invalid argument", "tarvo_crypto_encrypt: 'plaintext' is NULL"}},
        {"encrypt no output",
         [&] { return tarvo_crypto_encrypt(data.data(), 1, "tcb", nullptr, &size); },
         {"tarvo_crypto_encrypt: invalid argument",
          "tarvo_crypto_encrypt: 'ciphertext' is NULL"}},
        {"encrypt no size",
         [&] { return tarvo_crypto_encrypt(data.data(), 1, "tcb", &out, nullptr); },
         {"tarvo_crypto_encrypt: invalid argument",
          "tarvo_crypto_encrypt: 'result_size' is NULL"}},
        // Decryption takes back the 4096 bytes that encrypting 4050 makes.
        {"decrypt 4097",
         [&] { return tarvo_crypto_decrypt(data.data(), 4097, "tcb", &out, &size); },
         {"tarvo_crypto_decrypt: too long buffer 4097 (max 4096)"}},
        {"decrypt no output",
         [&] { return tarvo_crypto_decrypt(data.data(), 48, "tcb", nullptr, &size); },
         {"tarvo_crypto_decrypt: 'plaintext' is NULL"}},
        {"decrypt no ciphertext",
         [&] { return tarvo_crypto_decrypt(nullptr, 48, "tcb", &out, &size); },
         {"tarvo_crypto_decrypt: 'ciphertext' is NULL"}},
        {"decrypt no size",
         [&] { return tarvo_crypto_decrypt(data.data(), 48, "tcb", &out, nullptr); },
         {"tarvo_crypto_decrypt: 'result_size' is NULL"}},
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(c.run(), 1) << c.what;
        EXPECT_EQ(errno, EINVAL) << c.what;
        EXPECT_EQ(reports(), c.reports) << c.what;
        // Outputs are left as they were.
        EXPECT_EQ(out, reinterpret_cast<unsigned char *>(8)) << c.what;
        EXPECT_EQ(size, 5u) << c.what;
    }

    // A signature with nowhere to go: no errno.
    errno = EDOM;
    EXPECT_EQ(tarvo_crypto_sign(data.data(), 10, "tcb", nullptr), 1);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(reports(), strings{"tarvo_crypto_sign: invalid argument"});
    unsigned char sig[20];
    EXPECT_EQ(tarvo_crypto_sign(nullptr, 10, "tcb", sig), 1);
    EXPECT_EQ(reports(), strings{"tarvo_crypto_sign: invalid argument"});
    // A check without data to check has no verdict.
    EXPECT_EQ(tarvo_crypto_verify(sig, "tcb", nullptr, 10, nullptr), 3);
    EXPECT_EQ(tarvo_crypto_verify(nullptr, "tcb", data.data(), 10, nullptr), 3);
}

TEST_F(CryptoData, SignaturesAndTheirChecks)
{
    bytes data = counting(100);
    bytes sig = signature_of(data, "tcb");
    int result = -1;
    EXPECT_EQ(tarvo_crypto_verify(sig.data(), "tcb", data.data(), data.size(), &result), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(tarvo_crypto_verify(sig.data(), "tcb", data.data(), data.size(), nullptr), 0);
    // Other data, another token: a verdict of "not valid".
    bytes other = data;
    other[50] ^= 1;
    result = -1;
    EXPECT_EQ(tarvo_crypto_verify(sig.data(), "tcb", other.data(), other.size(), &result), 0);
    EXPECT_EQ(result, 0);
    result = -1;
    EXPECT_EQ(tarvo_crypto_verify(sig.data(), "pkg::x", data.data(), data.size(), &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_NE(signature_of(data, "pkg::x"), sig);
    // No token: the process's application id.
    bytes own = signature_of(data, nullptr);
    EXPECT_EQ(own, signature_of(data, crypto.application_id));
    EXPECT_TRUE(reports().empty());
}

// Up to 4050 bytes the data themselves are MACed, beyond that their SHA-1.
TEST_F(CryptoData, LargeDataAreSignedThroughTheirDigest)
{
    for (size_t size : {size_t(4050), size_t(4051), size_t(100000)}) {
        bytes data = counting(size);
        bytes digest(20);
        SHA1(data.data(), data.size(), digest.data());
        bytes sig = signature_of(data, "tcb");
        if (size > 4050)
            EXPECT_EQ(sig, signature_of(digest, "tcb")) << size;
        else
            EXPECT_NE(sig, signature_of(digest, "tcb")) << size;
        int result = -1;
        EXPECT_EQ(tarvo_crypto_verify(sig.data(), "tcb", data.data(), size, &result), 0);
        EXPECT_EQ(result, 1) << size;
    }
}

TEST_F(CryptoData, HardwareRefusals)
{
    bytes data = counting(10);
    unsigned char sig[20];
    // The device answers a MAC of the wrong length.
    arm("omap_sec.result=19\nomap_sec.service=899\n");
    errno = 0;
    EXPECT_EQ(tarvo_crypto_sign(data.data(), data.size(), "tcb", sig), 1);
    EXPECT_EQ(errno, EACCES);
    strings r = reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "tarvo_crypto_sign: kz4_fprot_mac with 'tcb' returned 19");
    EXPECT_EQ(r[1].rfind("tarvo_crypto_sign: KZ4 ERROR", 0), 0u) << r[1];

    // A response cut short gives no verdict.
    arm("omap_sec.short_response=4\nomap_sec.service=900\n");
    int result = 7;
    EXPECT_EQ(tarvo_crypto_verify(sig, "tcb", data.data(), data.size(), &result), 3);
    EXPECT_EQ(result, 7);
    r = reports();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0].rfind("verification fails (", 0), 0u) << r[0];
    arm("");

    // A program id the hardware client refuses.
    std::string long_token(KZ4_PROGRAMID_MAX + 1, 't');
    unsigned char *out = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(tarvo_crypto_encrypt(data.data(), data.size(), long_token.c_str(), &out, &size), 1);
    r = reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], "tarvo_crypto_encrypt: kz4_set_programid('" + long_token + "') returned -1");
    EXPECT_EQ(r[1], "tarvo_crypto_encrypt: KZ4 ERROR(-1) lib=22 rom=-1 pa=-1");
}

TEST_F(CryptoData, WithoutHardwareNothingIsDone)
{
    without_hardware();
    reports();
    bytes data = counting(10);
    unsigned char *out = nullptr;
    uint32_t size = 9;
    // No application id stands behind a missing token.
    EXPECT_EQ(tarvo_crypto_encrypt(data.data(), data.size(), nullptr, &out, &size), 1);
    EXPECT_EQ(reports(), (strings{"tarvo_crypto_encrypt: kz4_set_programid('(null)') returned -1",
                                  "tarvo_crypto_encrypt: KZ4 ERROR(-1) lib=22 rom=-1 pa=-1"}));
    EXPECT_EQ(tarvo_crypto_encrypt(data.data(), data.size(), "tcb", &out, &size), 1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(size, 0u);
    strings r = reports();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].rfind("tarvo_crypto_encrypt: kz4_fprot_encrypt('tcb') returned -", 0), 0u)
        << r[0];
    unsigned char sig[20] = {};
    EXPECT_EQ(tarvo_crypto_sign(data.data(), data.size(), "tcb", sig), 1);
    EXPECT_EQ(tarvo_crypto_verify(sig, "tcb", data.data(), data.size(), nullptr), 3);
    unsigned char buffer[8];
    EXPECT_EQ(tarvo_crypto_random(buffer, 8), -1);
}

TEST_F(CryptoData, FileDigests)
{
    write_file("/tmp/abc", "abc");
    unsigned char digest[20];
    ASSERT_EQ(digest_of_file("/tmp/abc", digest), 1);
    EXPECT_EQ(std::string(hex_string(digest, 20)), "a9993e364706816aba3e25717850c26c9cd0d89d");
    unsigned char same[20];
    ASSERT_EQ(digest_of_buffer("abc", 3, same), 1);
    EXPECT_EQ(memcmp(digest, same, 20), 0);
    EXPECT_TRUE(reports().empty());

    write_file("/tmp/empty", "");
    EXPECT_EQ(digest_of_file("/tmp/empty", digest), 0);
    EXPECT_EQ(reports(), strings{"'/tmp/empty' is empty"});
    EXPECT_EQ(digest_of_file("/tmp/missing", digest), 0);
    EXPECT_TRUE(reports().empty());
    errno = 0;
    EXPECT_EQ(digest_of_file(nullptr, digest), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(reports(), strings{"digest_of_file: invalid parameter"});
    EXPECT_EQ(digest_of_buffer(nullptr, 3, digest), 0);
}

TEST_F(CryptoData, FileMappings)
{
    write_file("/tmp/mapped", "0123456789");
    int fd = -7;
    uint32_t length = 0;
    void *m = map_file("/tmp/mapped", &fd, &length);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(length, 10u);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(std::string(static_cast<char *>(m), 10), "0123456789");
    unmap_file(m, length, fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed

    length = 100;
    m = map_file(nullptr, &fd, &length);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(fd, -1);
    memset(m, 1, 100);
    unmap_file(m, length, fd);

    length = 0;
    EXPECT_EQ(map_file(nullptr, &fd, &length), nullptr);
    EXPECT_EQ(reports(), strings{"Cannot create anonymous map with no data"});
    // An empty file leaves no descriptor open.
    write_file("/tmp/empty", "");
    int before = dup(0);
    close(before);
    EXPECT_EQ(map_file("/tmp/empty", &fd, &length), nullptr);
    int after = dup(0);
    close(after);
    EXPECT_EQ(after, before);
}

}  // namespace
