#include "init/pending.h"

#include "init/log.h"

#include <cstdlib>

// ---- load_rd_certificate: the certificate import fails.
int load_rd_certificate()
{
    return -1;
}

// ---- load_security_policy: the policy cannot be loaded.
int load_security_policy()
{
    return -4;
}

// ---- developer_mode_load_settings: the MAC cannot be checked.
int developer_mode_load_settings(developer_settings **out)
{
    if (!out)
        return -22;
    free_developer_settings(*out);
    *out = nullptr;
    return 0;
}

// ---- free_developer_settings
void free_developer_settings(developer_settings *settings)
{
    if (!settings)
        return;
    free(settings->developer_origin);
    free(settings);
}

// ---- get_vdata_hash: the software certificate cannot be read.
int get_vdata_hash(uint8_t *)
{
    return -1;
}

// ---- verify_file_signature: not verified.
int verify_file_signature(const char *)
{
    return -22;
}

// ---- check_file_sha1: does not match.
int check_file_sha1(const char *, const uint8_t *)
{
    return -22;
}

// ---- create_journal: no journal instance.
Journal *create_journal(const char *, const char *)
{
    return nullptr;
}
