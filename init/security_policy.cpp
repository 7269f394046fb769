#include "init/security_policy.h"

#include "init/log.h"
#include "restok/restok.h"

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
