// SHA-1, HMAC-SHA1 and the sealing of the simulated secure side; see
// omap_sec_crypto.h.
#include "sim/models/omap_sec_crypto.h"

#include <cstring>

namespace ks_sim {

namespace {

uint32_t rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void sha1_block(uint32_t h[5], const uint8_t *p)
{
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 |
               uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
    for (int i = 16; i < 80; i++)
        w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

std::string word(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

// Keys of a program id, each derived from the device key.
std::string id_key(const std::string &device_key, const char *use, const std::string &id)
{
    return omap_sec_hmac_sha1(device_key, std::string(use) + '\0' + id);
}

std::string keystream_xor(const std::string &key, const std::string &nonce,
                          const std::string &data)
{
    std::string out = data;
    for (size_t off = 0; off < out.size(); off += 20) {
        std::string block = omap_sec_hmac_sha1(key, nonce + word(uint32_t(off / 20)));
        for (size_t i = 0; i < 20 && off + i < out.size(); i++)
            out[off + i] = char(out[off + i] ^ block[i]);
    }
    return out;
}

std::string tag_of(const std::string &mac_key, const std::string &nonce,
                   const std::string &masked, uint32_t length)
{
    return omap_sec_hmac_sha1(mac_key, "tag" + nonce + masked + word(length)).substr(0, 12) +
           word(length);
}

}  // namespace

std::string omap_sec_sha1(const std::string &data)
{
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string m = data;
    uint64_t bits = uint64_t(data.size()) * 8;
    m += char(0x80);
    while (m.size() % 64 != 56)
        m += char(0);
    for (int i = 7; i >= 0; i--)
        m += char(uint8_t(bits >> (8 * i)));
    for (size_t off = 0; off < m.size(); off += 64)
        sha1_block(h, reinterpret_cast<const uint8_t *>(m.data() + off));
    std::string out;
    for (uint32_t v : h)
        for (int s = 24; s >= 0; s -= 8)
            out += char(uint8_t(v >> s));
    return out;
}

std::string omap_sec_hmac_sha1(const std::string &key, const std::string &data)
{
    std::string k = key.size() > 64 ? omap_sec_sha1(key) : key;
    k.resize(64, '\0');
    std::string ipad = k, opad = k;
    for (size_t i = 0; i < 64; i++) {
        ipad[i] = char(ipad[i] ^ 0x36);
        opad[i] = char(opad[i] ^ 0x5c);
    }
    return omap_sec_sha1(opad + omap_sec_sha1(ipad + data));
}

std::string omap_sec_mac(const std::string &device_key, const std::string &id,
                         const std::string &data)
{
    return omap_sec_hmac_sha1(id_key(device_key, "mac", id), data);
}

std::string omap_sec_seal(const std::string &device_key, const std::string &id,
                          const std::string &nonce16, const std::string &data)
{
    std::string padded = data;
    padded.resize((data.size() + 15) / 16 * 16, '\0');
    std::string masked = keystream_xor(id_key(device_key, "enc", id), nonce16, padded);
    return nonce16 + masked +
           tag_of(id_key(device_key, "seal", id), nonce16, masked, uint32_t(data.size()));
}

bool omap_sec_open_sealed(const std::string &device_key, const std::string &id,
                          const std::string &sealed, std::string &data, uint32_t *length)
{
    if (sealed.size() < 48 || sealed.size() % 16)
        return false;
    std::string nonce = sealed.substr(0, 16);
    std::string masked = sealed.substr(16, sealed.size() - 32);
    uint32_t n;
    memcpy(&n, sealed.data() + sealed.size() - 4, 4);
    if (n > masked.size() || (uint64_t(n) + 15) / 16 * 16 != masked.size())
        return false;
    std::string expected = tag_of(id_key(device_key, "seal", id), nonce, masked, n);
    if (expected != sealed.substr(sealed.size() - 16))
        return false;
    data = keystream_xor(id_key(device_key, "enc", id), nonce, masked);
    *length = n;
    return true;
}

}  // namespace ks_sim
