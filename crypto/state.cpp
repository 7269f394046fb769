// Per-process set-up of the crypto services, their clean-up, the hardware
// error line and the small state queries.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "secbins/kz4_secbins.h"
#include "support/tarvo_common.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

crypto_state crypto;
std::map<std::string, std::string> crypto_invariants;

namespace {

// The atexit list is inherited through fork, so one registration serves
// the process image and every child made from it.
bool cleanup_registered = false;

}  // namespace

void crypto_log_hw_error(int line, const char *operation)
{
    int lib = 0, rom = 0, pa = 0;
    if (kz4_error_info(&lib, &rom, &pa) == -1)
        dlog_error("tarvo_crypto", line, "%s: KZ4 ERROR(-1) lib=%d rom=%d pa=%d", operation, lib,
                   rom, pa);
    else
        dlog_error("tarvo_crypto", line, "%s: KZ4 ERROR lib=%d rom=%d pa=%d", operation, lib, rom,
                   pa);
}

int tarvo_crypto_init()
{
    if (getpid() != crypto.pid) {
        if (!is_directory(TARVO_CRYPTO_DATA_DIR) && mkdir(TARVO_CRYPTO_DATA_DIR, 0755) != 0)
            return 0;
        // Error strings and algorithms, without reading a configuration.
        OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                                OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG,
                            nullptr);
        ERR_clear_error();
        crypto.pid = getpid();
        if (kz4_open(nullptr) == 0) {
            crypto.hw_usable = true;
            if (!cleanup_registered && atexit(tarvo_crypto_cleanup) == 0)
                cleanup_registered = true;
            free(crypto.application_id);
            process_application_id(0, &crypto.application_id);
        } else {
            crypto.hw_usable = false;
            CRYPTO_HW_ERROR("tarvo_crypto_init");
        }
    }
    // Without the hardware, existing absolute paths are taken as they are.
    if (!crypto.hw_usable)
        resolve_absolute_paths = 0;
    return 1;
}

void tarvo_crypto_cleanup()
{
    if (crypto.pid == -1)
        return;
    kz4_close();
    // The cryptography library frees its own tables at exit; what is left
    // to drop is the trust table and this thread's error queue.
    X509_TRUST_cleanup();
    ERR_clear_error();
    free(crypto.application_id);
    crypto.application_id = nullptr;
    crypto.pid = -1;
}

void crypto_process_check()
{
    if (getpid() == crypto.pid)
        return;
    int saved = errno;
    if (crypto.pid != -1)
        tarvo_crypto_cleanup();
    // A failed set-up is tried again by the next public call.
    tarvo_crypto_init();
    errno = saved;
}

const char *crypto_token(const char *token)
{
    return token ? token : crypto.application_id;
}

const char *tarvo_crypto_last_error_text()
{
    crypto_process_check();
    if (dlog_level0_text)
        return dlog_level0_text;
    if (errno == 0)
        return "";
    return strerror(errno);
}

int tarvo_crypto_hw_mode()
{
    crypto_process_check();
    if (!crypto.hw_usable)
        return 3;
    return kz4_mode() == 1 ? 1 : 0;
}

int tarvo_crypto_symkey_length()
{
    return 32;
}
