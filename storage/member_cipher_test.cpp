// Member cipher: the block operation against an independent computation,
// the tweak's block index, and the refusals of the self-test entry point.
#include <openssl/evp.h>

#include <memory>

#include "crypto/tarvo_crypto.h"
#include "storage/test_fixture.h"

using tarvo::storage;

namespace {

void aes128(bool encrypt, const unsigned char *key, const unsigned char *in, unsigned char *out)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_CipherUpdate(ctx, out, &n, in, 16);
    EVP_CIPHER_CTX_free(ctx);
}

// C = E_K1(P ^ T) ^ T with T = E_K2(IV with j in its first four bytes).
void reference(const unsigned char key[32], const unsigned char iv[16], uint32_t j,
               const unsigned char p[16], unsigned char c[16])
{
    unsigned char tweak[16], t[16], x[16];
    memcpy(tweak, iv, 16);
    for (int i = 0; i < 4; i++)
        tweak[i] ^= (unsigned char)(j >> (8 * i));
    aes128(true, key + 16, tweak, t);
    for (int i = 0; i < 16; i++)
        x[i] = p[i] ^ t[i];
    aes128(true, key, x, c);
    for (int i = 0; i < 16; i++)
        c[i] ^= t[i];
}

}  // namespace

using member_cipher_test = store_test;

TEST_F(member_cipher_test, blocks_match_the_reference_and_decrypt_back)
{
    storage st(store_name.c_str(), "UID::0", 0, 1);
    ASSERT_GE(st.m_keylen, 32);
    unsigned char key[32], iv[16], p[16];
    for (int i = 0; i < 32; i++)
        key[i] = (unsigned char)(i * 7 + 1);
    for (int i = 0; i < 16; i++) {
        iv[i] = (unsigned char)(0xF0 - i);
        p[i] = (unsigned char)(i * i);
    }
    for (uint32_t j : {1u, 8u, 9u, 0x01020304u, 0xFFFFFFFFu}) {
        unsigned char c[16], expected[16], back[16];
        ASSERT_EQ(st.test_xts_aes(1, key, iv, j, p, c), 1);
        reference(key, iv, j, p, expected);
        EXPECT_EQ(memcmp(c, expected, 16), 0) << j;
        ASSERT_EQ(st.test_xts_aes(0, key, iv, j, c, back), 1);
        EXPECT_EQ(memcmp(back, p, 16), 0) << j;
    }
    // The index changes only the first four bytes of the tweak input:
    // an IV differing in byte 0 by j's low byte gives block j's cipher at 0.
    unsigned char iv2[16], c0[16], c5[16];
    memcpy(iv2, iv, 16);
    iv2[0] ^= 5;
    ASSERT_EQ(st.test_xts_aes(1, key, iv2, 0, p, c0), 1);
    ASSERT_EQ(st.test_xts_aes(1, key, iv, 5, p, c5), 1);
    EXPECT_EQ(memcmp(c0, c5, 16), 0);
    EXPECT_EQ(st.m_lock->m_key_users, 0);
}

TEST_F(member_cipher_test, self_test_refusals_and_keys_not_set)
{
    storage st(store_name.c_str(), "UID::0", 0, 1);
    unsigned char key[32] = {0}, iv[16] = {0}, in[16] = {0}, out[16];
    ASSERT_EQ(st.put_file("m", "x", 1), 0);
    syslog_capture log;
    EXPECT_EQ(st.test_xts_aes(1, key, iv, 1, in, out), 0);
    EXPECT_TRUE(has_report(log, "test_xts_aes: can be called only with an empty store"));

    storage small((store_name + ".s").c_str(), "UID::0", 0, 1);
    small.m_keylen = 31;
    EXPECT_EQ(small.test_xts_aes(1, key, iv, 1, in, out), 0);
    EXPECT_TRUE(has_report(log, "test_xts_aes: no room for external key"));
    small.m_keylen = 0;

    // Without a key use the block operation writes nothing.
    tarvo::pe_file m(&st, "m");
    unsigned char c[16] = {9}, p[16] = {7};
    m.crypto_block(3, false, c, p);
    EXPECT_EQ(c[0], 9);
    EXPECT_TRUE(has_report(log, "crypto_block: keys not set"));
}

namespace {

void aes256_block(const unsigned char *key, const unsigned char *in, unsigned char *out)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out, &n, in, 16);
    EVP_CIPHER_CTX_free(ctx);
}

}  // namespace

TEST_F(member_cipher_test, legacy_counter_mode_file_converts_and_reads_back)
{
    storage st(store_name.c_str(), "UID::0", 0, 1);
    ASSERT_EQ(st.access_mode(), 0);
    unsigned char key[32];
    for (int i = 0; i < 32; i++)
        key[i] = (unsigned char)(0x40 + i);
    unsigned char *blob = nullptr;
    uint32_t bloblen = 0;
    ASSERT_EQ(tarvo_crypto_encrypt(key, 32, "UID::0", &blob, &bloblen), 0);
    free(st.m_key);
    st.m_key = blob;
    st.m_keylen = int(bloblen);

    // A legacy file: IV, header (record and MD5), 30 content bytes, block n
    // (from 1) XORed with AES-256 of the IV with n in bytes 12 to 15.
    const std::string content = "legacy content, thirty bytes!!";
    ASSERT_EQ(content.size(), 30u);
    std::string clear(136, '\0');
    for (int i = 0; i < 16; i++)
        clear[size_t(i)] = char(0xA0 + i);
    unsigned char *rec = reinterpret_cast<unsigned char *>(&clear[16]);
    rec[16] = 0x80, rec[17] = 0x81;  // mode 0100600
    rec[48] = 30;                    // size
    unsigned int n = 0;
    EVP_Digest(clear.data(), 120, reinterpret_cast<unsigned char *>(&clear[120]), &n, EVP_md5(),
               nullptr);
    clear += content;
    std::string legacy = clear;
    for (size_t off = 16; off < legacy.size(); off += 16) {
        uint32_t block = uint32_t(off / 16);
        unsigned char counter[16], stream[16];
        memcpy(counter, clear.data(), 16);
        for (int i = 0; i < 4; i++)
            counter[12 + i] ^= (unsigned char)(block >> (8 * i));
        aes256_block(key, counter, stream);
        for (size_t i = 0; i < 16 && off + i < legacy.size(); i++)
            legacy[off + i] = char(legacy[off + i] ^ stream[i]);
    }
    std::unique_ptr<tarvo::p_file> m(st.member("old"));
    auto *pe = dynamic_cast<tarvo::pe_file *>(m.get());
    ASSERT_NE(pe, nullptr);
    write_whole(pe->p_path(), legacy);
    std::string old_digest;
    storage::compute_digest(legacy.data() + 136, legacy.size() - 136, 'b', old_digest);
    st.m_files["/old"].digest = old_digest;

    AES_KEY schedule;
    ASSERT_EQ(st.set_aes_keys(true, &schedule), 1);
    std::string converted;
    ASSERT_EQ(pe->convert_crypto(&schedule, converted), 1);
    st.release_aes_keys();
    std::string now = read_whole(pe->p_path());
    EXPECT_EQ(now.size(), 176u);
    EXPECT_EQ(now.substr(0, 16), legacy.substr(0, 16));
    std::string image;
    storage::compute_digest(now.data(), now.size(), 'b', image);
    EXPECT_EQ(converted, image);

    st.m_files["/old"].digest = converted;
    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st.get_file("old", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), content);
    free(data);

    // A digest that does not match the index: nothing is replaced.
    write_whole(pe->p_path(), legacy);
    st.m_files["/old"].digest = "wrong";
    ASSERT_EQ(st.set_aes_keys(true, &schedule), 1);
    EXPECT_EQ(pe->convert_crypto(&schedule, converted), 0);
    st.release_aes_keys();
    EXPECT_EQ(read_whole(pe->p_path()), legacy);
    struct stat s;
    EXPECT_NE(stat((std::string(pe->p_path()) + ".tmp").c_str(), &s), 0);

    // Without a key use nothing can be enciphered: the conversion fails
    // and the file stays as it was.
    st.m_files["/old"].digest = old_digest;
    ASSERT_EQ(st.m_lock->m_key_users, 0);
    syslog_capture log;
    EXPECT_EQ(pe->convert_crypto(&schedule, converted), 0);
    EXPECT_EQ(read_whole(pe->p_path()), legacy);
    EXPECT_NE(stat((std::string(pe->p_path()) + ".tmp").c_str(), &s), 0);
    EXPECT_TRUE(has_report(log, "convert_crypto: keys not set"));
}
