// The examples of docs/libraries.md, one function per library, run on the
// simulated sample device by docs_libraries_example_test. Each prints what
// it found; the program's exit status is the number of examples that
// failed.
#include "cal/cal.h"
#include "creds/creds.h"
#include "crypto/tarvo_crypto.h"
#include "restok/restok.h"
#include "secbins/kz4_secbins.h"
#include "storage/tarvo_storage.h"
#include "support/tarvo_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// [support]
bool support_example()
{
    char *text = base64_encode("keepstone", 9);  // a new text: the caller frees it
    unsigned char *bytes = nullptr;
    int n = text ? base64_decode(text, &bytes) : 0;  // 0 on failure
    bool ok = n == 9 && memcmp(bytes, "keepstone", 9) == 0;
    std::printf("base64 %s, hex %s\n", text, hex_string("ks", 2));  // hex: a ring slot, not freed
    free(text);
    free(bytes);
    return ok;
}
// [/support]

// [creds]
bool creds_example()
{
    long value = 0;
    int type = creds_from_text("UID::user", &value);  // -1: not a credential
    creds_handle set = creds_empty();
    if (type < 0 || creds_add(&set, type, int(value)) != 0)
        return false;
    char text[64];
    creds_to_text(type, value, text, sizeof text);
    std::printf("%s is type %d value %ld, in the set: %d\n", text, type, value,
                creds_has(set, type, int(value)));
    creds_release(set);
    return true;
}
// [/creds]

// [cal]
bool cal_example()
{
    cal_context *ctx = nullptr;
    if (cal_init_ro(&ctx) != 0)  // opens and locks the flash until cal_release
        return false;
    unsigned char *data = nullptr;
    uint32_t length = 0;
    int r = cal_read_block(ctx, "cert-sw", &data, &length, 0);  // -2: no such block
    cal_release(ctx);
    std::printf("cert-sw: %s, %u bytes\n", r == 0 ? "found" : "missing", unsigned(length));
    free(data);
    return r == 0;
}
// [/cal]

// [secbins]
bool secbins_example()
{
    if (kz4_open(nullptr) != 0)
        return false;
    uint8_t random[16];
    int r = kz4_get_random(random, sizeof random);  // 0 when all 16 bytes came
    if (r != 0)
        kz4_print_error("kz4_get_random");  // the last-error lines on standard output
    std::printf("random bytes: %s\n", r == 0 ? "16" : "none");
    kz4_close();
    return r == 0;
}
// [/secbins]

// [crypto]
bool crypto_example()
{
    const unsigned char data[] = "a record";
    unsigned char mac[TARVO_CRYPTO_SIGNATURE_LENGTH];
    int valid = 0;
    if (tarvo_crypto_sign(data, sizeof data, "tcb", mac) != 0 ||
        tarvo_crypto_verify(mac, "tcb", data, sizeof data, &valid) != 0) {
        std::printf("crypto: %s\n", tarvo_crypto_last_error_text());
        return false;
    }
    char *text = nullptr;  // "b-BASE64-tcb"
    tarvo_crypto_format_signature(mac, 1, "tcb", &text);
    std::printf("signature %s: %s\n", text, valid == 1 ? "valid" : "not valid");
    free(text);
    return valid == 1;
}
// [/crypto]

// [storage]
bool storage_example()
{
    // The store "example" of the token "tcb", visibility "G", signed; the
    // caller holds "tcb" (the token manager does).
    tarvo::storage store("example", "tcb", 0, 0);
    const char note[] = "kept";
    if (store.put_file("/var/lib/tarvo/example-note", note, 4) < 0 || !store.commit())
        return false;
    unsigned char *data = nullptr;
    size_t size = 0;
    int r = store.get_file("/var/lib/tarvo/example-note", &data, &size);  // data: free it
    std::printf("store %s: %d members, note %.*s\n", store.name(), store.entry_count(),
                int(size), r >= 0 && data ? reinterpret_cast<char *>(data) : "");
    free(data);
    return r >= 0 && size == 4;
}
// [/storage]

// [restok]
bool restok_example()
{
    int root = restok_define("", 0);  // ids above 0 are ids
    int tcb = root > 0 ? restok_define("tcb", root) : -1;
    int manager = restok_be_manager();  // now holds the credential of "tcb"
    std::printf("root %d, tcb %d, manager %d, lookup tcb %d\n", root, tcb, manager,
                restok_lookup("tcb"));
    return root > 0 && tcb > 0 && manager == 0;
}
// [/restok]

int main()
{
    struct {
        const char *name;
        bool (*run)();
    } examples[] = {
        {"support", support_example}, {"creds", creds_example},     {"cal", cal_example},
        {"secbins", secbins_example}, {"restok", restok_example},   {"crypto", crypto_example},
        {"storage", storage_example},
    };
    int failed = 0;
    for (auto &e : examples) {
        bool ok = e.run();
        std::printf("%s example: %s\n", e.name, ok ? "ok" : "FAILED");
        failed += ok ? 0 : 1;
    }
    return failed;
}
