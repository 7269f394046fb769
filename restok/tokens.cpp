// Token requests on the kernel's resource-token module and the token
// manager start.
#include "restok/restok.h"

#include "creds/creds.h"

#include <err.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

const char RESTOK_TOKENS_PATH[] = "/sys/kernel/security/restok/tokens";

namespace {

// Room for the caller's supplementary groups in the old way of becoming the
// manager; a caller with more groups has them replaced.
constexpr int MANAGER_GROUP_ROOM = 32;

int grp_type_from_text()
{
    long value = -1;
    return creds_from_text("GRP::", &value);
}

// One request: open, one ioctl, close. -1 when the file cannot be opened.
int token_request(unsigned long command, int32_t id, int32_t length, uintptr_t data)
{
    int fd = open(RESTOK_TOKENS_PATH, O_RDONLY);
    if (fd < 0)
        return -1;
    restok_token_request rec{id, length, data};
    int answer = ioctl(fd, command, &rec);
    int saved = errno;
    close(fd);
    errno = saved;
    return answer;
}

int named_request(unsigned long command, int32_t id, const char *name)
{
    if (!name)
        return -1;
    return token_request(command, id, int32_t(std::strlen(name)),
                         reinterpret_cast<uintptr_t>(name));
}

}  // namespace

// Set before main: the library reads it whenever it builds credential sets
// of tokens.
int restok_grp_type = grp_type_from_text();

int restok_lookup(const char *name) { return named_request(RESTOK_LOOKUP, 0, name); }

int restok_define(const char *name, int owner)
{
    return named_request(RESTOK_DEFINE, owner, name);
}

int restok_request_89f2(int32_t first, int32_t second, int32_t third)
{
    return token_request(RESTOK_REQUEST_89F2, first, third,
                         static_cast<uintptr_t>(static_cast<uint32_t>(second)));
}

int restok_register_manager(int value)
{
    return token_request(RESTOK_BE_MANAGER, value, 0, 0);
}

namespace {

// The old way: the manager is whoever has the "tcb" token among its
// supplementary groups.
int become_manager_by_groups()
{
    warnx("No tcb -- trying old way");
    int root = restok_lookup("");
    // A failed lookup gives no owner to define "tcb" in; sending it would
    // ask the kernel for a token under id -1.
    if (root > 0)
        restok_define("tcb", root);
    int tcb = restok_lookup("tcb");
    if (tcb <= 0) {
        warnx("Could not get 'tcb'");
        return -1;
    }
    gid_t groups[MANAGER_GROUP_ROOM];
    int n = getgroups(MANAGER_GROUP_ROOM, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == gid_t(tcb))
            return 0;
    gid_t only = gid_t(tcb);
    if (setgroups(1, &only) == 0)
        return 0;
    warn("Failed setgroups for resource manager");
    warnx("Could not get 'tcb'");
    return -1;
}

}  // namespace

int restok_be_manager()
{
    int root = restok_define("", 0);
    if (root <= 0)
        return become_manager_by_groups();
    int t = restok_define("tcb", root);
    if (t < 0) {
        warn("Failed defining the 'tcb'");
        return t;
    }
    long value = -1;
    int type = creds_from_text("tcb", &value);
    if (type == -1) {
        warnx("Failed translation of 'tcb'");
        return -22;
    }
    // Give the process the token's credential. When its own credentials
    // cannot be read, applying a set holding only the token would take
    // every other credential away from the caller: skip it and let the
    // kernel decide on the registration.
    creds_handle own = creds_for_task(0);
    if (own) {
        creds_add(&own, type, int(value));
        creds_apply(own);
        creds_release(own);
    } else {
        warn("Cannot read own credentials; 'tcb' not applied");
    }
    if (restok_register_manager(int(value)) == 0)
        return 0;
    return become_manager_by_groups();
}
