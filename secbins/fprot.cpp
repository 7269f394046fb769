// File protection under a program id: the kept id and its default from
// the caller's credentials, the request shared by services 896 to 901 and
// the encryption, decryption and MAC operations built on it.
#include "secbins/kz4_internal.h"
#include "secbins/kz4_secbins.h"

#include "creds/creds.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Room for the default id: an "AID::" credential text and its zero.
constexpr size_t DEFAULT_ID_ROOM = 256;
// Fixed part of a record of service 901: n, b and the two text fields.
constexpr uint32_t RECORD_HEADER = 520;
constexpr uint32_t RECORD_TEXT_ROOM = 256;
// What encryption adds to the data rounded up to whole blocks.
constexpr uint32_t SEAL_OVERHEAD = 32;

int refuse(int error)
{
    kz4_set_lib_error(error);
    return -1;
}

// Releases an output buffer that is not handed back; it may hold data
// the secure side decrypted.
void drop_output(uint8_t **out, uint32_t n)
{
    if (*out)
        explicit_bzero(*out, n);
    kz4_free(*out);
    *out = nullptr;
}

// Keeps the caller's application id credential text as the program id,
// or "::" when it has none (or one too long for the room): 0 or -1.
int keep_default_id()
{
    char *buffer = static_cast<char *>(calloc(1, DEFAULT_ID_ROOM));
    if (buffer == nullptr)
        return refuse(errno ? errno : ENOMEM);
    creds_handle creds = creds_for_task(0);
    int r = creds_match(creds, "AID::*", buffer, DEFAULT_ID_ROOM);
    creds_release(creds);
    if (r < 0 || r >= int(DEFAULT_ID_ROOM))
        strcpy(buffer, "::");
    r = kz4_set_programid(buffer);
    free(buffer);
    return r == 0 ? 0 : -1;
}

// The request of kz4_fprot_call after its argument checks, with the
// program id settled: the step result, or 0 with *out and *result.
int fprot_request(uint32_t service, const char *name, uint32_t name_len, const uint8_t *in1,
                  uint32_t len1, const uint8_t *in2, uint32_t len2, uint8_t **out,
                  uint32_t out_len, uint32_t arg_length, uint32_t *result)
{
    uint32_t id_len = uint32_t(strlen(kz4_programid)) + 1;
    int r = kz4_begin_request(service, arg_length);
    if (r == 0)
        r = kz4_write_u32(id_len);
    if (r == 0)
        r = kz4_write_arg(kz4_programid, id_len);
    if (r == 0 && name) {
        r = kz4_write_u32(name_len);
        if (r == 0)
            r = kz4_write_arg(name, name_len);
    }
    if (r == 0)
        r = kz4_write_u32(len1 + len2);
    if (r == 0 && len2)
        r = kz4_write_u32(len2);
    if (r == 0)
        r = kz4_write_u32(out_len);
    if (r == 0 && len1)
        r = kz4_write_arg(in1, len1);
    if (r == 0 && len2)
        r = kz4_write_arg(in2, len2);
    if (r != 0)
        return r;

    r = kz4_read_status(service);
    if (r != 0)
        return r;
    *out = static_cast<uint8_t *>(kz4_alloc(out_len));
    if (*out == nullptr)
        return refuse(errno ? errno : ENOMEM);
    r = kz4_read_result(*out, out_len);
    if (r == 0)
        r = kz4_read_u32(result);
    if (r != 0)
        drop_output(out, out_len);
    return r;
}

// A result that names how many bytes of *out are data must lie within the
// output: a device answer beyond it would send the caller past the buffer.
int within_output(int r, uint8_t **out, uint32_t out_len)
{
    if (r >= 0 && uint32_t(r) > out_len) {
        drop_output(out, out_len);
        kz4_set_lib_error(EPROTO);
        return -2;
    }
    return r;
}

int encrypt_with(uint32_t service, const uint8_t *data, uint32_t len, uint8_t **out)
{
    kz4_clear_error();
    // The output length must not wrap.
    if (len > UINT32_MAX - SEAL_OVERHEAD - 15)
        return refuse(EINVAL);
    uint32_t out_len = (len + 15) / 16 * 16 + SEAL_OVERHEAD;
    int r = kz4_fprot_call(service, nullptr, data, len, nullptr, 0, out, out_len);
    return within_output(r, out, out_len);
}

}  // namespace

int kz4_set_programid(const char *id)
{
    size_t len;
    if (id == nullptr || (len = strnlen(id, KZ4_PROGRAMID_MAX + 1)) > KZ4_PROGRAMID_MAX)
        return refuse(EINVAL);
    // The copy is made before the old id goes, so that the kept id itself
    // (as kz4_get_programid gives it) can be set again.
    char *copy = static_cast<char *>(calloc(1, len + 1));
    if (copy)
        memcpy(copy, id, len);
    free(kz4_programid);
    kz4_programid = copy;
    if (copy == nullptr) {
        kz4_set_lib_error(errno ? errno : ENOMEM);
        return -2;
    }
    return 0;
}

int kz4_get_programid(const char **id)
{
    if (id == nullptr)
        return refuse(EINVAL);
    *id = kz4_programid;
    return 0;
}

int kz4_fprot_call(uint32_t service, const char *name, const uint8_t *in1, uint32_t len1,
                   const uint8_t *in2, uint32_t len2, uint8_t **out, uint32_t out_len)
{
    if (out == nullptr || (len1 == 0 && len2 == 0) || (in1 == nullptr && len1 != 0) ||
        (in2 == nullptr && len2 != 0))
        return refuse(EINVAL);
    // The announced argument length and the total input length are 32-bit
    // words: inputs and a name that do not fit them are refused.
    uint64_t name_len = name ? uint64_t(strlen(name)) + 1 : 0;
    uint64_t fixed = 12 + (name ? 4 + name_len : 0) + (len2 ? 4 : 0) + KZ4_PROGRAMID_MAX + 1;
    if (uint64_t(len1) + len2 + fixed > UINT32_MAX)
        return refuse(EINVAL);
    *out = nullptr;

    int r = kz4_programid ? 0 : keep_default_id();
    uint32_t result = 0;
    if (r == 0) {
        uint32_t arg_length = len1 + len2 + uint32_t(strlen(kz4_programid)) + 1 + 12 +
                              (name ? 4 + uint32_t(name_len) : 0) + (len2 ? 4 : 0);
        r = fprot_request(service, name, uint32_t(name_len), in1, len1, in2, len2, out,
                          out_len, arg_length, &result);
    }
    // The result word is handed back as an int: one beyond that range
    // would read as a failure while the output is handed out.
    if (r == 0 && result > uint32_t(INT_MAX)) {
        drop_output(out, out_len);
        kz4_set_lib_error(EPROTO);
        r = -2;
    }
    kz4_end_request();
    return r == 0 ? int(result) : r;
}

int kz4_fprot_encrypt(const uint8_t *data, uint32_t len, uint8_t **out)
{
    return encrypt_with(KZ4_SERVICE_ENCRYPT, data, len, out);
}

int kz4_fprot_encrypt_alt(const uint8_t *data, uint32_t len, uint8_t **out)
{
    return encrypt_with(KZ4_SERVICE_ENCRYPT_ALT, data, len, out);
}

int kz4_fprot_decrypt(const uint8_t *data, uint32_t len, uint8_t **out)
{
    kz4_clear_error();
    if (len <= SEAL_OVERHEAD || len % 16 != 0) {
        // Refused before any request; the triple stays clear.
        errno = EINVAL;
        return -1;
    }
    uint32_t out_len = len - SEAL_OVERHEAD;
    int r = kz4_fprot_call(KZ4_SERVICE_DECRYPT, nullptr, data, len, nullptr, 0, out, out_len);
    return within_output(r, out, out_len);
}

int kz4_fprot_mac(const uint8_t *data, uint32_t len, uint8_t **mac)
{
    kz4_clear_error();
    int r = kz4_fprot_call(KZ4_SERVICE_MAC, nullptr, data, len, nullptr, 0, mac, 20);
    return within_output(r, mac, 20);
}

int kz4_fprot_check_mac(const char *name, const uint8_t *data, uint32_t len, const uint8_t *mac,
                        uint32_t mac_len)
{
    kz4_clear_error();
    if (mac_len > 20) {
        errno = EINVAL;
        return -1;
    }
    uint8_t *verdict = nullptr;
    int r = kz4_fprot_call(KZ4_SERVICE_CHECK_MAC, name, data, len, mac, mac_len, &verdict, 4);
    if (r < 0)
        return r;
    uint32_t word;
    memcpy(&word, verdict, sizeof word);
    kz4_free(verdict);
    return int(word);
}

int kz4_fprot_record_mac(const uint8_t *data, uint32_t len, uint32_t n,
                         const uint8_t *second_text, uint32_t b, const uint8_t *first_text,
                         uint8_t **out)
{
    kz4_clear_error();
    // The texts have 256-byte fields; a longer n would write past them.
    if (n > RECORD_TEXT_ROOM || (n && (first_text == nullptr || second_text == nullptr)) ||
        (data == nullptr && len != 0) || len > UINT32_MAX - RECORD_HEADER)
        return refuse(EINVAL);
    uint32_t size = len + RECORD_HEADER;
    uint8_t *record = static_cast<uint8_t *>(kz4_alloc(size));
    if (record == nullptr)
        return refuse(errno ? errno : ENOMEM);
    memset(record, 0, size);
    memcpy(record, &n, 4);
    memcpy(record + 4, &b, 4);
    if (n) {
        memcpy(record + 8, first_text, n);
        memcpy(record + 8 + RECORD_TEXT_ROOM, second_text, n);
    }
    if (len)
        memcpy(record + RECORD_HEADER, data, len);
    int r = kz4_fprot_call(KZ4_SERVICE_RECORD_MAC, nullptr, record, size, nullptr, 0, out, 20);
    explicit_bzero(record, size);
    kz4_free(record);
    return within_output(r, out, 20);
}
