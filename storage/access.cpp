// Caller credentials and access checks: may the calling process act for a
// token, and may a process open a member by the permission bits recorded in
// the member's metadata.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <memory>

#include "creds/creds.h"

namespace {

const char *UNKNOWN_APPLICATION_ID = "unknown.unknown.";

struct creds_deleter {
    void operator()(creds_set *s) const { creds_release(s); }
};
using creds_ptr = std::unique_ptr<creds_set, creds_deleter>;

// Credential types translated once per process.
bool dac_looked_up = false;
int dac_type = -1;
long dac_value = -1;
bool grp_looked_up = false;
int grp_type = -1;

}  // namespace

int caller_has_token(const char *token, bool *is_credential)
{
    bool credential = false;
    int result = 0;
    if (token == nullptr || token[0] == '\0') {
        result = 0;
    } else if (strcmp(token, UNKNOWN_APPLICATION_ID) == 0) {
        result = 1;
    } else {
        long value = -1;
        int type = creds_from_text(token, &value);
        if (type != -1) {
            credential = true;
            creds_ptr own(creds_for_task(0));
            result = creds_has(own.get(), type, int(value)) == 1 ? 1 : 0;
        } else {
            result = tarvo_crypto_hw_mode() == 3 ? 1 : 0;
        }
    }
    if (is_credential != nullptr)
        *is_credential = credential;
    return result;
}

int has_dac_override(const creds_set *set)
{
    if (!dac_looked_up) {
        dac_type = creds_from_text("CAP::dac_override", &dac_value);
        dac_looked_up = true;
    }
    if (dac_type == -1)
        return 0;
    return creds_has(set, dac_type, int(dac_value)) == 1 ? 1 : 0;
}

int in_group(const creds_set *set, int, gid_t group)
{
    if (!grp_looked_up) {
        grp_type = creds_from_text("GRP::", nullptr);
        grp_looked_up = true;
    }
    if (grp_type == -1)
        return 0;
    return creds_has(set, grp_type, int(group)) == 1 ? 1 : 0;
}

int check_permission(const struct stat *record, int access, pid_t pid, uid_t euid, gid_t egid)
{
    creds_ptr set(creds_for_task(pid));
    if (access < reading || access > owning || record == nullptr)
        return 0;
    if (has_dac_override(set.get()))
        return 1;
    static const mode_t owner_bits[3] = {0400, 0200, 0100};
    static const mode_t group_bits[3] = {040, 020, 010};
    static const mode_t other_bits[3] = {04, 02, 01};
    bool granted;
    if (record->st_uid == euid) {
        granted = access == owning || (record->st_mode & owner_bits[access]) != 0;
    } else if (record->st_gid == egid || in_group(set.get(), 0, record->st_gid)) {
        granted = access != owning && (record->st_mode & group_bits[access]) != 0;
    } else {
        granted = access != owning && (record->st_mode & other_bits[access]) != 0;
    }
    if (!granted)
        errno = EACCES;
    return granted ? 1 : 0;
}
