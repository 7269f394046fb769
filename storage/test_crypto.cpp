// Test stand-in for the crypto services (see test_crypto.h).
#include "storage/test_crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "crypto/tarvo_crypto.h"
#include "crypto/vdata.h"
#include "support/tarvo_common.h"

namespace fake_crypto {

int hw_mode = 1;
bool fail_init = false;
bool fail_sign = false;
bool verify_no_verdict = false;
bool fail_symkey = false;
bool fail_save_global = false;
std::string application_id = "unknown.unknown.";
std::map<std::string, std::string> vdata;
int save_global_calls = 0;

void reset()
{
    hw_mode = 1;
    fail_init = fail_sign = verify_no_verdict = fail_symkey = fail_save_global = false;
    application_id = "unknown.unknown.";
    vdata.clear();
    save_global_calls = 0;
}

static std::string sha1_of(const std::string &s)
{
    unsigned char d[20];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), d, &n, EVP_sha1(), nullptr);
    return std::string(reinterpret_cast<char *>(d), 20);
}

std::string mac(const std::string &token, const std::string &data)
{
    return sha1_of("mac:" + token + ":" + data);
}

std::string signature_text(const std::string &token, const std::string &hash_text)
{
    std::string m = mac(token, hash_text);
    char *b = base64_encode(m.data(), 20);
    std::string s = std::string("b-") + b + "-" + token;
    free(b);
    return s;
}

static std::string file_sha1_hex(const char *path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return "";
    std::stringstream ss;
    ss << f.rdbuf();
    std::string d = sha1_of(ss.str()), hex;
    append_hex(hex, d.data(), 20);
    return hex;
}

}  // namespace fake_crypto

using namespace fake_crypto;

int tarvo_crypto_init() { return fail_init ? 0 : 1; }
int tarvo_crypto_hw_mode() { return hw_mode; }
const char *tarvo_crypto_last_error_text() { return "fake crypto error"; }
int tarvo_crypto_release(void *p)
{
    free(p);
    return 0;
}

int tarvo_crypto_random(unsigned char *buffer, int length)
{
    return RAND_bytes(buffer, length) == 1 ? length : -1;
}

int tarvo_crypto_sign(const unsigned char *data, size_t size, const char *token,
                      unsigned char *signature)
{
    if (fail_sign || data == nullptr || signature == nullptr)
        return 1;
    std::string m = mac(token ? token : application_id,
                        std::string(reinterpret_cast<const char *>(data), size));
    memcpy(signature, m.data(), 20);
    return 0;
}

int tarvo_crypto_verify(const unsigned char *signature, const char *token,
                        const unsigned char *data, size_t size, int *result)
{
    if (verify_no_verdict)
        return 3;
    std::string m = mac(token ? token : application_id,
                        std::string(reinterpret_cast<const char *>(data), size));
    if (result)
        *result = memcmp(signature, m.data(), 20) == 0 ? 1 : 0;
    return 0;
}

int tarvo_crypto_format_signature(const unsigned char *signature, int format, const char *token,
                                  char **out)
{
    std::string text;
    if (format == 1) {
        char *b = base64_encode(signature, 20);
        text = std::string("b-") + b;
        free(b);
    } else {
        text = "x-";
        append_hex(text, signature, 20);
    }
    text += "-";
    text += token ? token : application_id;
    *out = strdup(text.c_str());
    return int(text.size());
}

int tarvo_crypto_parse_signature(const char *text, unsigned char *signature, char **token)
{
    if (text == nullptr || text[0] != 'b' || text[1] != '-')
        return 1;
    const char *dash = strchr(text + 2, '-');
    std::string part = dash ? std::string(text + 2, dash) : std::string(text + 2);
    unsigned char *bytes = nullptr;
    int n = base64_decode(part.c_str(), &bytes);
    if (n != 20) {
        free(bytes);
        return 1;
    }
    memcpy(signature, bytes, 20);
    free(bytes);
    if (dash)
        *token = strdup(std::string(dash + 1).substr(0, strcspn(dash + 1, "\n")).c_str());
    return 0;
}

// A key blob: "FK", the token's length, the token, the bytes XOR 0xA5.
int tarvo_crypto_encrypt(const unsigned char *plaintext, size_t size, const char *token,
                         unsigned char **ciphertext, uint32_t *result_size)
{
    std::string t = token ? token : "";
    size_t n = 3 + t.size() + size;
    unsigned char *c = static_cast<unsigned char *>(malloc(n));
    c[0] = 'F';
    c[1] = 'K';
    c[2] = (unsigned char)t.size();
    memcpy(c + 3, t.data(), t.size());
    for (size_t i = 0; i < size; i++)
        c[3 + t.size() + i] = plaintext[i] ^ 0xA5;
    *ciphertext = c;
    *result_size = uint32_t(n);
    return 0;
}

int tarvo_crypto_decrypt(const unsigned char *ciphertext, size_t size, const char *token,
                         unsigned char **plaintext, uint32_t *result_size)
{
    std::string t = token ? token : "";
    *plaintext = nullptr;
    *result_size = 0;
    if (size < 3 || ciphertext[0] != 'F' || ciphertext[1] != 'K' ||
        ciphertext[2] != t.size() || size < 3 + t.size() ||
        memcmp(ciphertext + 3, t.data(), t.size()) != 0) {
        errno = EACCES;
        return 1;
    }
    size_t n = size - 3 - t.size();
    unsigned char *p = static_cast<unsigned char *>(malloc(n ? n : 1));
    for (size_t i = 0; i < n; i++)
        p[i] = ciphertext[3 + t.size() + i] ^ 0xA5;
    *plaintext = p;
    *result_size = uint32_t(n);
    return 0;
}

// 32 random key bytes; the buffer is handed out also on failure.
int tarvo_crypto_generate_symkey(unsigned char **key)
{
    *key = static_cast<unsigned char *>(malloc(32));
    if (fail_symkey)
        return -1;
    RAND_bytes(*key, 32);
    return 32;
}

void process_application_id(int, char **out)
{
    *out = strdup(application_id.c_str());
}

int save_global_signature(const char *path, const unsigned char *digest)
{
    save_global_calls++;
    if (fail_save_global)
        return 0;
    std::string hex;
    if (digest)
        append_hex(hex, digest, 20);
    else
        hex = file_sha1_hex(path);
    if (hex.empty())
        return 0;
    vdata[path] = hex;
    vdata.erase(std::string("pending:") + path);
    return 1;
}

int save_pending_signature(const char *path, const unsigned char *digest)
{
    if (fail_save_global)
        return 0;
    std::string hex;
    append_hex(hex, digest, 20);
    vdata[std::string("pending:") + path] = hex;
    return 1;
}

int drop_pending_signature(const char *path)
{
    vdata.erase(std::string("pending:") + path);
    return 1;
}

int verify_global_signature(const char *path, const unsigned char *digest)
{
    auto it = vdata.find(path);
    auto pending = vdata.find(std::string("pending:") + path);
    std::string hex;
    if (digest)
        append_hex(hex, digest, 20);
    else
        hex = file_sha1_hex(path);
    if (pending != vdata.end() && hex == pending->second)
        return 0;
    if (it == vdata.end())
        return 2;
    return hex == it->second ? 0 : 3;
}
