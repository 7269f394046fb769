// State and report helpers shared by the crypto services' sources.
#pragma once

#include "support/dlog_send.h"

#include <map>
#include <string>

// Directory that must exist before the services start.
#define TARVO_CRYPTO_DATA_DIR "/var/lib/tarvo"
// The token of the trusted computing base.
#define TARVO_CRYPTO_TCB_TOKEN "tcb"

// Process-wide state, one set per process image. A forked child starts
// with a copy of its parent's and replaces it at its first public call.
struct crypto_state {
    int pid = -1;                        // process of the last set-up; -1 none
    bool hw_usable = true;               // the hardware opened at the last set-up
    char *application_id = nullptr;      // set when the hardware opened
    bool vdata_digest_cached = false;    // kept for the process image
    unsigned char vdata_digest[20] = {};
    bool esn_done = false;               // the one-time ESN set-up succeeded
};
extern crypto_state crypto;
// Device invariants by name, built before main and destroyed at exit.
extern std::map<std::string, std::string> crypto_invariants;

// The check every public operation runs first: sets the services up for
// this process, cleaning up a parent's state in a forked child. errno is
// the same afterwards as before.
void crypto_process_check();
// The token an operation uses: the given one, else the application id
// (null when none is kept).
const char *crypto_token(const char *token);
// The text shown for a token in a message.
inline const char *shown(const char *text) { return text ? text : "(null)"; }

// "tarvo_crypto(LINE): ERROR " and the formatted text, at error priority.
#define CRYPTO_ERROR(...) dlog_error("tarvo_crypto", __LINE__, __VA_ARGS__)
// The hardware error line after a failed hardware call of the operation.
void crypto_log_hw_error(int line, const char *operation);
#define CRYPTO_HW_ERROR(operation) crypto_log_hw_error(__LINE__, (operation))
