// Device services: random bytes, the R&D words, the mode, the identity and
// the numbered data of the secure side.
#include "secbins/kz4_secbins.h"

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// The end of a request whose status has been read: drain, pass on r.
int finish(int r)
{
    kz4_end_request();
    return r;
}

int refuse_null()
{
    kz4_set_lib_error(EINVAL);
    return -1;
}

// A service without arguments whose results are n bytes.
int fetch(uint32_t service, void *out, uint32_t n)
{
    kz4_clear_error();
    int r = kz4_begin_request(service, 0);
    if (r != 0)
        return r;
    r = kz4_read_status(service);
    if (r != 0)
        return finish(r);
    return finish(kz4_read_result(out, n));
}

}  // namespace

int kz4_get_random(uint8_t *out, uint32_t n)
{
    kz4_clear_error();
    if (out == nullptr)
        return refuse_null();
    int r = kz4_begin_request(KZ4_SERVICE_RANDOM, 12);
    if (r == 0)
        r = kz4_write_u32(n);
    if (r == 0)
        r = kz4_write_u32(n);
    if (r == 0)
        r = kz4_write_u32(16);
    if (r != 0)
        return r;
    r = kz4_read_status(KZ4_SERVICE_RANDOM);
    if (r != 0)
        return finish(r);
    return finish(kz4_read_result(out, n));
}

int kz4_get_info20(uint8_t *out)
{
    if (out == nullptr) {
        kz4_clear_error();
        return refuse_null();
    }
    return fetch(KZ4_SERVICE_INFO20, out, 20);
}

int kz4_get_debug_control(uint32_t out[3])
{
    kz4_clear_error();
    if (out == nullptr)
        return refuse_null();
    int r = kz4_begin_request(KZ4_SERVICE_DEBUG_CONTROL, 0);
    if (r != 0)
        return r;
    r = kz4_read_status(KZ4_SERVICE_DEBUG_CONTROL);
    for (int i = 0; r == 0 && i < 3; i++)
        r = kz4_read_u32(&out[i]);
    return finish(r);
}

int kz4_mode(void)
{
    kz4_clear_error();
    int r = kz4_begin_request(KZ4_SERVICE_MODE, 0);
    if (r != 0)
        return r;
    return finish(kz4_read_status(KZ4_SERVICE_MODE));
}

int kz4_get_id_bytes(uint8_t out[8]) { return fetch(KZ4_SERVICE_ID, out, 8); }
int kz4_read_id(uint8_t out[8]) { return kz4_get_id_bytes(out); }
int kz4_read_id_alt(uint8_t out[8]) { return kz4_get_id_bytes(out); }

int kz4_read_imei(uint8_t digits[15])
{
    if (digits == nullptr) {
        kz4_clear_error();
        return refuse_null();
    }
    memset(digits, 0, 15);
    uint8_t id[8];
    int r = kz4_read_id(id);
    if (r < 0)
        return r;
    // The first digit is the high nibble of the first byte; after it each
    // byte holds two digits, the low nibble first.
    digits[0] = uint8_t(id[0] >> 4);
    for (int k = 1; k < 8; k++) {
        digits[2 * k - 1] = id[k] & 0x0F;
        digits[2 * k] = uint8_t(id[k] >> 4);
    }
    return 0;
}

int kz4_get_info52(uint8_t *out)
{
    if (out == nullptr) {
        kz4_clear_error();
        return refuse_null();
    }
    return fetch(KZ4_SERVICE_INFO52, out, 52);
}

int kz4_read_object(uint32_t id, uint8_t **out)
{
    kz4_clear_error();
    if (out == nullptr)
        return refuse_null();
    *out = nullptr;

    int r = kz4_begin_request(KZ4_SERVICE_OBJECT_LENGTH, 4);
    if (r == 0)
        r = kz4_write_u32(id);
    if (r != 0)
        return r;
    r = kz4_read_status(KZ4_SERVICE_OBJECT_LENGTH);
    uint32_t length = 0;
    if (r == 0)
        r = kz4_read_u32(&length);
    finish(0);
    if (r != 0)
        return r;
    if (int32_t(length) < 0)
        return int32_t(length);

    r = kz4_begin_request(KZ4_SERVICE_OBJECT_DATA, 8);
    if (r == 0)
        r = kz4_write_u32(id);
    if (r == 0)
        r = kz4_write_u32(length);
    if (r != 0)
        return r;
    r = kz4_read_status(KZ4_SERVICE_OBJECT_DATA);
    uint32_t size = 0;
    if (r == 0)
        r = kz4_read_u32(&size);
    if (r != 0)
        return finish(r);
    // The result is the size as an int: a device answer beyond that range
    // would come back as a negative step result with a buffer handed out.
    if (size > uint32_t(INT_MAX)) {
        kz4_set_lib_error(EOVERFLOW);
        return finish(-1);
    }
    uint8_t *data = static_cast<uint8_t *>(kz4_alloc(size));
    if (data == nullptr) {
        kz4_set_lib_error(errno ? errno : ENOMEM);
        return finish(-1);
    }
    r = kz4_read_result(data, size);
    if (r != 0) {
        kz4_free(data);
        return finish(r);
    }
    *out = data;
    return finish(int(size));
}
