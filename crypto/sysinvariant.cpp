// Device invariants: the IMEI, read once from the hardware and kept for
// the life of the process, after the hardware's one-time ESN set-up.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "secbins/kz4_secbins.h"

const char *tarvo_crypto_sysinvariant(int which)
{
    crypto_process_check();
    // The set-up is tried at every call until it succeeds; a failure is
    // not reported here.
    if (!crypto.esn_done && kz4_esn_init(nullptr, 0) == 0)
        crypto.esn_done = true;
    if (which != 0) {
        CRYPTO_ERROR("Not yet implemented: sysinvariant %d", which);
        return "";
    }
    auto kept = crypto_invariants.find("IMEI");
    if (kept != crypto_invariants.end())
        return kept->second.c_str();
    uint8_t digits[15];
    if (kz4_read_imei(digits) != 0)
        return "12345678901234";  // not kept: the next call reads again
    std::string imei(15, '0');
    for (int i = 0; i < 15; i++)
        imei[size_t(i)] = char('0' + digits[i]);
    return crypto_invariants.emplace("IMEI", imei).first->second.c_str();
}
