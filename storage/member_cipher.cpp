// Member cipher of encrypted stores: each 16-byte block of a member's .dat
// file is enciphered on its own under AES-128 with K1, tweaked by the AES
// encryption under K2 of the member's IV with the block index folded into
// its first four bytes, so any block can be rewritten in place. Also the
// counter mode in which .dat files were stored earlier and the conversion
// from it.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "support/tarvo_common.h"

// The raw AES block functions are deprecated in OpenSSL 3; the key
// schedules of the store lock are kept in their data model.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

using namespace storage_internal;

namespace tarvo {

namespace {

inline void xor16(unsigned char *out, const unsigned char *a, const unsigned char *b)
{
    for (int i = 0; i < 16; i++)
        out[i] = a[i] ^ b[i];
}

}  // namespace

void pe_file::crypto_block(uint32_t j, bool decrypt, unsigned char *c, unsigned char *p)
{
    storage_lock *lk = m_store ? m_store->m_lock : nullptr;
    if (lk == nullptr || lk->m_key_users == 0) {
        SERR("%s: keys not set", "crypto_block");
        return;
    }
    unsigned char tweak[16], t[16], work[16];
    memcpy(tweak, m_header, 16);
    for (int i = 0; i < 4; i++)
        tweak[i] ^= (unsigned char)(j >> (8 * i));
    AES_encrypt(tweak, t, &lk->m_tweak_key);
    if (decrypt) {
        xor16(work, c, t);
        AES_decrypt(work, work, &lk->m_decrypt_key);
        xor16(p, work, t);
    } else {
        xor16(work, p, t);
        AES_encrypt(work, work, &lk->m_encrypt_key);
        xor16(c, work, t);
    }
    wipe(work, sizeof work);
    wipe(t, sizeof t);
}

void pe_file::crypto_op(bool decrypt, uint64_t offset, void *buffer, uint32_t length)
{
    if (buffer == nullptr && decrypt) {
        SERR("%s: crypto_of decrypt to NULL", "crypto_op");
        return;
    }
    if (length == 0)
        return;
    // Every block the range touches must lie inside the mapping.
    // (A mapping reaches to the end of its last page.)
    uint64_t end = ((offset + length + 15) / 16) * 16;
    uint64_t room = (uint64_t(m_maplen) + 4095) / 4096 * 4096;
    if (m_map == MAP_FAILED || end > room) {
        SERR("%s: range %llu+%lu outside the mapping of %lu bytes", "crypto_op",
             (unsigned long long)offset, (unsigned long)length, (unsigned long)m_maplen);
        return;
    }
    uint32_t j = uint32_t(offset / 16);
    uint32_t c = uint32_t(offset % 16);
    unsigned char *block = static_cast<unsigned char *>(m_map) + uint64_t(j) * 16;
    unsigned char *buf = static_cast<unsigned char *>(buffer);
    unsigned char work[16];
    static const unsigned char zeros[16] = {0};

    if (c != 0) {
        crypto_block(j, true, block, work);
        uint32_t n = 16 - c < length ? 16 - c : length;
        if (decrypt) {
            memcpy(buf, work + c, n);
        } else {
            memcpy(work + c, buf ? buf : zeros, n);
            crypto_block(j, false, block, work);
        }
        if (buf)
            buf += n;
        length -= n;
        block += 16;
        j++;
        wipe(work, sizeof work);
    }
    while (length >= 16) {
        if (decrypt) {
            crypto_block(j, true, block, buf);
        } else if (buf) {
            crypto_block(j, false, block, buf);
        } else {
            memset(work, 0, sizeof work);
            crypto_block(j, false, block, work);
        }
        if (buf)
            buf += 16;
        length -= 16;
        block += 16;
        j++;
    }
    if (length > 0) {
        crypto_block(j, true, block, work);
        if (decrypt) {
            memcpy(buf, work, length);
        } else {
            memcpy(work, buf ? buf : zeros, length);
            crypto_block(j, false, block, work);
        }
        wipe(work, sizeof work);
    }
}

void pe_file::legacy_crypto_block(const AES_KEY *schedule, uint32_t n, const unsigned char *in,
                                  unsigned char *out)
{
    unsigned char counter[16], stream[16];
    memcpy(counter, m_header, 16);
    for (int i = 0; i < 4; i++)
        counter[12 + i] ^= (unsigned char)(n >> (8 * i));
    AES_encrypt(counter, stream, schedule);
    xor16(out, in, stream);
    wipe(stream, sizeof stream);
}

int pe_file::convert_crypto(const AES_KEY *schedule, std::string &digest_out)
{
    static const char *op = "convert_crypto";
    // Without a key use no block can be enciphered: nothing is touched.
    storage_lock *lk = m_store ? m_store->m_lock : nullptr;
    if (schedule == nullptr || lk == nullptr || lk->m_key_users == 0) {
        SERR("%s: keys not set", op);
        return 0;
    }
    EVP_MD_CTX *old_ctx = EVP_MD_CTX_new();
    EVP_MD_CTX *new_ctx = EVP_MD_CTX_new();
    if (old_ctx == nullptr || new_ctx == nullptr ||
        EVP_DigestInit_ex(old_ctx, EVP_sha1(), nullptr) != 1 ||
        EVP_DigestInit_ex(new_ctx, EVP_sha1(), nullptr) != 1) {
        SERR("%s: DIGEST_INIT (%s)", op, errtext());
        EVP_MD_CTX_free(old_ctx);
        EVP_MD_CTX_free(new_ctx);
        return 0;
    }
    std::string tmp = m_datpath + ".tmp";
    bool ok = false;
    int in = open_data_file(m_datpath, O_RDONLY, 0);
    int out = -1;
    if (in < 0) {
        SERR("%s: cannot open '%s' (%s)", op, m_datpath.c_str(), errtext());
    } else {
        // The temporary file is made anew: a stale one, or a link planted
        // in its place, is removed first and the create is exclusive.
        unlink_data_file(tmp);
        out = open_data_file(tmp, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (out < 0)
            SERR("%s: cannot open '%s' (%s)", op, tmp.c_str(), errtext());
    }
    if (in >= 0 && out >= 0) {
        ok = true;
        unsigned char block[16], clear[16], cipher[16];
        for (uint32_t n = 0;; n++) {
            ssize_t got = 0;
            while (got < 16) {
                ssize_t r = read(in, block + got, size_t(16 - got));
                if (r <= 0)
                    break;
                got += r;
            }
            if (got <= 0)
                break;
            if (n == 0) {
                if (got < 16)
                    memset(block + got, 0, size_t(16 - got));
                memcpy(m_header, block, 16);
                memcpy(cipher, block, 16);
            } else {
                if (got < 16) {
                    EVP_DigestUpdate(old_ctx, block, size_t(got));
                    memset(block + got, 0, size_t(16 - got));
                } else if (n == 8) {
                    EVP_DigestUpdate(old_ctx, block + 8, 8);
                } else if (n > 8) {
                    EVP_DigestUpdate(old_ctx, block, 16);
                }
                legacy_crypto_block(schedule, n, block, clear);
                crypto_block(n, false, cipher, clear);
                wipe(clear, sizeof clear);
            }
            if (write(out, cipher, 16) != 16) {
                SERR("%s: write failed (%s)", op, errtext());
                ok = false;
                break;
            }
            EVP_DigestUpdate(new_ctx, cipher, 16);
            if (got < 16)
                break;
        }
    }
    unsigned char d_old[20], d_new[20];
    unsigned int len = 0;
    EVP_DigestFinal_ex(old_ctx, d_old, &len);
    EVP_DigestFinal_ex(new_ctx, d_new, &len);
    EVP_MD_CTX_free(old_ctx);
    EVP_MD_CTX_free(new_ctx);
    if (ok) {
        char *old_text = base64_encode(d_old, 20);
        ok = false;
        if (old_text != nullptr && m_store != nullptr) {
            auto it = m_store->m_files.find(m_name);
            ok = it != m_store->m_files.end() && it->second.digest == old_text;
        }
        free(old_text);
    }
    if (ok) {
        char *new_text = base64_encode(d_new, 20);
        if (new_text == nullptr) {
            ok = false;
        } else {
            digest_out = new_text;
            free(new_text);
        }
    }
    if (ok) {
        struct stat st;
        if (fstat(in, &st) != 0) {
            SERR("%s: stat failed (%s)", op, errtext());
            ok = false;
        } else if (fchown(out, st.st_uid, st.st_gid) != 0) {
            SERR("%s: fchown failed (%s)", op, errtext());
            ok = false;
        } else if (fchmod(out, st.st_mode & 07777) != 0) {
            SERR("%s: fchmod failed (%s)", op, errtext());
            ok = false;
        }
    }
    if (in >= 0 && close(in) != 0) {
        SERR("%s: close failed (%s)", op, errtext());
        ok = false;
    }
    if (out >= 0 && close(out) != 0) {
        SERR("%s: close failed (%s)", op, errtext());
        ok = false;
    }
    if (ok && rename_data_file(tmp, m_datpath) != 0) {
        SERR("%s: rename '%s' -> '%s' failed (%s)", op, tmp.c_str(), m_datpath.c_str(),
             errtext());
        ok = false;
    }
    if (!ok && out >= 0 && unlink_data_file(tmp) != 0)
        SERR("%s: unlink '%s' failed (%s)", op, tmp.c_str(), errtext());
    return ok ? 1 : 0;
}

int storage::test_xts_aes(int encrypt, const unsigned char key[32], const unsigned char iv[16],
                          uint32_t j, const unsigned char in[16], unsigned char out[16])
{
    static const char *op = "test_xts_aes";
    if (!m_files.empty()) {
        SERR("%s: can be called only with an empty store", op);
        return 0;
    }
    if (m_key == nullptr || m_keylen < 32) {
        SERR("%s: no room for external key", op);
        return 0;
    }
    memcpy(m_key, key, 32);
    if (!set_aes_keys(false, nullptr)) {
        SERR("%s: can not set encryption keys", op);
        return 0;
    }
    {
        pe_file member(this, "");
        member.set_iv(iv);
        unsigned char a[16], b[16];
        memcpy(a, in, 16);
        if (encrypt) {
            member.crypto_block(j, false, b, a);
        } else {
            member.crypto_block(j, true, a, b);
        }
        memcpy(out, b, 16);
        wipe(a, sizeof a);
        wipe(b, sizeof b);
    }
    release_aes_keys();
    return 1;
}

}  // namespace tarvo
