// Certificates kept as configuration-area blocks: the bridge to the
// configuration area, the certificate and "sec-info" blocks, the secure
// side's object store, the certificate imports, the protected writes and
// the software certificate.
#include "secbins/kz4_secbins.h"

#include "cal/cal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t NAME_FIELD = 16;

// The errno of a failed step, or fallback when the step left none.
int cause(int fallback) { return errno ? errno : fallback; }

// The 16-byte name field of the object store: at most 15 characters,
// zero-padded; all zeros without a name.
void name_field(const char *name, char field[NAME_FIELD])
{
    memset(field, 0, NAME_FIELD);
    if (name)
        strncpy(field, name, NAME_FIELD - 1);
}

// A certificate block through kz4_cal_read with flags 0; -4 for an empty
// block.
int read_certificate_block(const char *block, uint8_t **data, uint32_t *length)
{
    int r = kz4_cal_read(block, data, length, 0);
    if (r != 0)
        return r;
    if (*length == 0) {
        kz4_free(*data);
        *data = nullptr;
        return -4;
    }
    return 0;
}

// A "sec-info" block of exactly the given length; -1 for another length
// with the triple untouched.
int read_sec_info_block(const char *block, int flags, uint32_t expected, uint8_t **data)
{
    kz4_clear_error();
    uint32_t length = 0;
    int r = kz4_cal_read(block, data, &length, flags);
    if (r < 0)
        return r;
    if (length != expected) {
        kz4_free(*data);
        *data = nullptr;
        errno = EINVAL;
        return -1;
    }
    return 0;
}

struct certificate {
    const char *object;  // name in the secure side's object store
    const char *block;   // configuration-area block
    uint32_t service;    // import service
};
const certificate NPC = {"NPC", KZ4_BLOCK_NPC, KZ4_SERVICE_IMPORT_NPC};
const certificate CCC = {"CCC", KZ4_BLOCK_CCC, KZ4_SERVICE_IMPORT_CCC};
const certificate HWC = {"HWC", KZ4_BLOCK_HWC, KZ4_SERVICE_IMPORT_HWC};

// Stores the certificate (given, or read from its block) as an object and
// has the secure side import it by its handle. The object stays stored
// after a successful import and is released after a failed one.
int import_certificate(const certificate &cert, const uint8_t *data, uint32_t length)
{
    kz4_clear_error();
    uint8_t *copy = nullptr;
    if (data == nullptr) {
        int r = read_certificate_block(cert.block, &copy, &length);
        if (r != 0)
            return r;
        data = copy;
    }
    uint32_t handle = 0;
    int r = kz4_store_object(cert.object, length, data, &handle);
    kz4_free(copy);
    if (r != 0)
        return r;

    r = kz4_begin_request(cert.service, 4);
    if (r == 0)
        r = kz4_write_u32(handle);
    if (r != 0) {
        kz4_release_object(cert.object, handle);
        return r;
    }
    r = kz4_read_status(cert.service);
    // The import's response is drained before the release makes its own
    // request, so that nothing of it is read as the release's status.
    kz4_end_request();
    if (r != 0) {
        int saved = errno;
        kz4_release_object(cert.object, handle);
        errno = saved;
    }
    return r;
}

int protected_write(const char *access, const certificate *import, const char *block,
                    const uint8_t *data, uint32_t length)
{
    kz4_clear_error();
    int r = kz4_access_check(access);
    if (r != 0)
        return r;
    if (import) {
        r = import_certificate(*import, data, length);
        if (r != 0)
            return r;
    }
    return kz4_cal_write(block, data, length, 0);
}

// Where the entries of a software certificate begin for its version, and
// where their count is.
void sw_cert_layout(uint32_t version, uint32_t *count_at, uint32_t *header)
{
    if (version == 1) {
        *count_at = KZ4_SWCERT_V1_COUNT;
        *header = KZ4_SWCERT_V1_ENTRIES;
    } else {
        *count_at = KZ4_SWCERT_COUNT;
        *header = KZ4_SWCERT_ENTRIES;
    }
}

}  // namespace

uint32_t kz4_sw_cert_u32(const uint8_t *cert, uint32_t offset)
{
    return uint32_t(cert[offset]) | uint32_t(cert[offset + 1]) << 8 |
           uint32_t(cert[offset + 2]) << 16 | uint32_t(cert[offset + 3]) << 24;
}

// --- bridge to the configuration area ----------------------------------

int kz4_cal_read(const char *name, uint8_t **data, uint32_t *length, int flags)
{
    if (name == nullptr || data == nullptr || length == nullptr) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    *data = nullptr;
    *length = 0;
    cal_context *ctx = nullptr;
    errno = 0;
    if (cal_init_ro(&ctx) != 0 || ctx == nullptr) {
        kz4_set_lib_error(cause(EIO));
        return -2;
    }
    unsigned char *block = nullptr;
    uint32_t size = 0;
    errno = 0;
    int r = cal_read_block(ctx, name, &block, &size, flags);
    if (r != 0) {
        // A block that does not exist leaves no error number of its own.
        kz4_set_lib_error(r == -2 ? ENOENT : cause(EIO));
        free(block);
        cal_release(ctx);
        return -3;
    }
    cal_release(ctx);
    *data = block;
    *length = size;
    return 0;
}

int kz4_cal_write(const char *name, const uint8_t *data, uint32_t length, int flags)
{
    if (name == nullptr || data == nullptr) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    cal_context *ctx = nullptr;
    if (cal_init_rw(&ctx) != 0 || ctx == nullptr)
        return -2;
    errno = 0;
    int r = 0;
    if (cal_write_block(ctx, name, data, length, flags) != 0) {
        kz4_set_lib_error(cause(EIO));
        r = -3;
    }
    int saved = errno;
    cal_release(ctx);
    errno = saved;
    return r;
}

// --- certificate and "sec-info" blocks ---------------------------------

int kz4_read_hwc_block(uint8_t **data, uint32_t *length)
{
    kz4_clear_error();
    return read_certificate_block(KZ4_BLOCK_HWC, data, length);
}

int kz4_read_ccc_block(uint8_t **data, uint32_t *length)
{
    kz4_clear_error();
    return read_certificate_block(KZ4_BLOCK_CCC, data, length);
}

int kz4_read_npc_block(uint8_t **data, uint32_t *length)
{
    kz4_clear_error();
    return read_certificate_block(KZ4_BLOCK_NPC, data, length);
}

int kz4_write_hwc_block(const uint8_t *data, uint32_t length)
{
    kz4_clear_error();
    return kz4_cal_write(KZ4_BLOCK_HWC, data, length, 0);
}

int kz4_write_ccc_block(const uint8_t *data, uint32_t length)
{
    kz4_clear_error();
    return kz4_cal_write(KZ4_BLOCK_CCC, data, length, 0);
}

int kz4_write_npc_block(const uint8_t *data, uint32_t length)
{
    kz4_clear_error();
    return kz4_cal_write(KZ4_BLOCK_NPC, data, length, 0);
}

// An empty block is written with a pointer all the same.
static const uint8_t no_data[1] = {0};

int kz4_erase_hwc_block(void) { return kz4_write_hwc_block(no_data, 0); }
int kz4_erase_ccc_block(void) { return kz4_write_ccc_block(no_data, 0); }
int kz4_erase_npc_block(void) { return kz4_write_npc_block(no_data, 0); }

int kz4_read_user_sec_info(uint8_t **data)
{
    return read_sec_info_block(KZ4_BLOCK_SEC_INFO, CAL_FLAG_USER, 4, data);
}

int kz4_read_sec_info(uint8_t **data)
{
    return read_sec_info_block(KZ4_BLOCK_SEC_INFO, 0, 8, data);
}

int kz4_read_sec_info_cfg(uint8_t **data)
{
    return read_sec_info_block(KZ4_BLOCK_SEC_INFO_CFG, 0, 8, data);
}

int kz4_write_user_sec_info(const uint8_t *data)
{
    kz4_clear_error();
    return kz4_cal_write(KZ4_BLOCK_SEC_INFO, data, 4, CAL_FLAG_USER);
}

int kz4_write_sec_info(const uint8_t *data)
{
    kz4_clear_error();
    return kz4_cal_write(KZ4_BLOCK_SEC_INFO, data, 8, 0);
}

int kz4_write_sec_info_cfg(const uint8_t *data)
{
    kz4_clear_error();
    return kz4_cal_write(KZ4_BLOCK_SEC_INFO_CFG, data, 8, 0);
}

// --- the secure side's object store ------------------------------------

int kz4_store_object(const char *name, uint32_t length, const uint8_t *data, uint32_t *handle)
{
    // The handle pointer is tested with the name: the answer has to go
    // somewhere, and nothing is sent that cannot be completed.
    if (name == nullptr || handle == nullptr || (data && length > UINT32_MAX - 20)) {
        errno = EINVAL;
        return -1;
    }
    char field[NAME_FIELD];
    name_field(name, field);
    if (kz4_begin_request(KZ4_SERVICE_STORE_OBJECT, data ? length + 20 : 20) != 0)
        return -2;
    if (kz4_write_u32(length) != 0)
        return -3;
    if (kz4_write_arg(field, NAME_FIELD) != 0)
        return -4;
    if (data && kz4_write_arg(data, length) != 0)
        return -5;
    int r = 0;
    if (kz4_read_status(KZ4_SERVICE_STORE_OBJECT) != 0)
        r = -6;
    else if (kz4_read_u32(handle) != 0)
        r = -7;
    kz4_end_request();
    return r;
}

int kz4_read_stored_object(const char *name, uint32_t handle, uint32_t *length, uint8_t **data)
{
    if (data == nullptr || length == nullptr) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    *data = nullptr;
    char field[NAME_FIELD];
    name_field(name, field);
    if (kz4_begin_request(KZ4_SERVICE_READ_OBJECT, 20) != 0)
        return -1;
    if (kz4_write_u32(handle) != 0)
        return -2;
    if (kz4_write_arg(field, NAME_FIELD) != 0)
        return -3;
    int r = 0;
    uint8_t *buffer = nullptr;
    if (kz4_read_status(KZ4_SERVICE_READ_OBJECT) != 0) {
        r = -4;
    } else if (kz4_read_u32(length) != 0) {
        r = -5;
    } else if ((buffer = static_cast<uint8_t *>(kz4_alloc(*length))) == nullptr) {
        kz4_set_lib_error(cause(ENOMEM));
        r = -6;
    } else if (kz4_read_result(buffer, *length) != 0) {
        kz4_free(buffer);
        buffer = nullptr;
        r = -7;
    }
    // No length is handed back without its data.
    if (r != 0)
        *length = 0;
    *data = buffer;
    kz4_end_request();
    return r;
}

int kz4_release_object(const char *name, uint32_t handle)
{
    char field[NAME_FIELD];
    name_field(name, field);
    if (kz4_begin_request(KZ4_SERVICE_RELEASE_OBJECT, 20) != 0)
        return -1;
    if (kz4_write_u32(handle) != 0)
        return -2;
    if (kz4_write_arg(field, NAME_FIELD) != 0)
        return -3;
    int r = kz4_read_status(KZ4_SERVICE_RELEASE_OBJECT) != 0 ? -4 : 0;
    kz4_end_request();
    return r;
}

// --- certificate imports and protected writes --------------------------

int kz4_esn_init(const uint8_t *data, uint32_t length)
{
    return import_certificate(NPC, data, length);
}

int kz4_import_ccc(const uint8_t *data, uint32_t length)
{
    return import_certificate(CCC, data, length);
}

int kz4_import_hwc(const uint8_t *data, uint32_t length)
{
    return import_certificate(HWC, data, length);
}

int kz4_access_check(const char *)
{
    // Every request is granted.
    kz4_clear_error();
    return 0;
}

int SEE_HWCWrite(const uint8_t *data, uint32_t length)
{
    return protected_write("libkz4-secbins::SEE_HWCWrite", &HWC, KZ4_BLOCK_HWC, data, length);
}

int SEE_CCCWrite(const uint8_t *data, uint32_t length)
{
    return protected_write("libkz4-secbins::SEE_CCCWrite", nullptr, KZ4_BLOCK_CCC, data, length);
}

int SEE_NPCWrite(const uint8_t *data, uint32_t length)
{
    return protected_write("libkz4-secbins::SEE_NPCWrite", &NPC, KZ4_BLOCK_NPC, data, length);
}

// --- the software certificate --------------------------------------------

int kz4_read_sw_cert(uint8_t **data, uint32_t *length)
{
    kz4_clear_error();
    const char *block = kz4_mode() == 2 ? KZ4_BLOCK_SW_ULVO : KZ4_BLOCK_SW;
    return read_certificate_block(block, data, length);
}

int kz4_import_sw_cert(const uint8_t *certificate, uint32_t length)
{
    kz4_clear_error();
    if (certificate == nullptr || length == 0 || length > UINT32_MAX - 8) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    int r = kz4_begin_request(KZ4_SERVICE_IMPORT_SW_CERT, length + 8);
    if (r != 0)
        return r;
    r = kz4_write_u32(length);
    if (r == 0)
        r = kz4_write_arg(certificate, length);
    if (r == 0)
        r = kz4_write_u32(0);
    if (r == 0)
        r = kz4_read_status(KZ4_SERVICE_IMPORT_SW_CERT);
    kz4_end_request();
    return r;
}

int kz4_import_sw_cert_checked(const uint8_t *certificate, uint32_t length)
{
    if (certificate == nullptr || length == 0) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    if (length < KZ4_SWCERT_VERSION + 4) {
        kz4_set_lib_error(EINVAL);
        return -2;
    }
    uint32_t count_at, header;
    sw_cert_layout(kz4_sw_cert_u32(certificate, KZ4_SWCERT_VERSION), &count_at, &header);
    if (length < count_at + 4 || length < header ||
        uint64_t(length) < header + uint64_t(KZ4_SWCERT_ENTRY_SIZE) *
                                         kz4_sw_cert_u32(certificate, count_at)) {
        kz4_set_lib_error(EINVAL);
        return -2;
    }
    return kz4_import_sw_cert(certificate, length);
}

int kz4_write_sw_cert(const uint8_t *certificate, uint32_t length)
{
    kz4_clear_error();
    int r = kz4_import_sw_cert_checked(certificate, length);
    if (r != 0)
        return r;
    return kz4_cal_write(KZ4_BLOCK_SW, certificate, length, 0);
}
