#include "init/security_policy.h"

#include "init/log.h"
#include "restok/policy.h"
#include "restok/restok.h"

namespace {

// Kept for the rest of the run; a later load replaces it.
RESTOK::configuration *loaded_policy = nullptr;

}  // namespace

int init_security_policy()
{
    log_trace("initialize security policy\n");
    int root = restok_define("", 0);
    if (root <= 0)
        return -1;
    if (restok_define("tcb", root) <= 0)
        return -2;
    return 0;
}

int load_security_policy(bool require_trusted)
{
    RESTOK::configuration *cfg = restok_load(nullptr, nullptr, 0);
    if (!cfg) {
        log_error("Could not load configuration\n");
        return -4;
    }
    if (require_trusted && restok_is_untrusted(cfg)) {
        log_error("Untrusted configuration\n");
        restok_destroy(cfg);
        return -5;
    }
    restok_destroy(loaded_policy);
    loaded_policy = cfg;
    log_trace(restok_is_untrusted(cfg) ? "Untrusted configuration\n" : "Trusted configuration\n");
    if (restok_be_manager() != 0)
        log_error("Could not become a manager\n");
    else
        log_trace("Become a manager\n");
    long source = restok_define("SRC", 0);
    log_trace("Define SRC %ld\n", source);
    if (source < 0)
        log_error("SRC %ld\n", source);
    int result = 0;
    int rc = restok_define_resources(cfg);
    if (rc != 0) {
        log_error("Failed to define resources (%d)\n", rc);
        result = -2;
    } else {
        log_trace("Policy defined\n");
    }
    if (restok_activate_policy(cfg) != 0) {
        log_error("Failed to activate policy\n");
        result = -3;
    } else {
        log_trace("Policy activated\n");
    }
    return result;
}
