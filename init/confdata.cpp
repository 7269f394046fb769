#include "init/confdata.h"

#include "creds/creds.h"
#include "init/digest.h"
#include "init/hash_entry.h"
#include "init/log.h"
#include "init/refhashlist.h"

#include <cstring>

namespace {

const char *const IMMUTABLE_PATHS[] = {
    "/etc/init", "/etc/init/xsession", "/etc/init/xsession/ui-startup", "/etc/init.d",
    "/etc/prestart",
};
const char *const PROTECTED_PATHS[] = {
    "/etc", "/usr", "/bin", "/sbin", "/usr/bin", "/usr/sbin", "/etc/memnotify",
};

constexpr int TYPE_IMMUTABLE = 2;  // d
constexpr int TYPE_PROTECTED = 4;  // p

template <size_t N>
void add_entries(const char *const (&paths)[N], int type, int count, const long *types,
                 const long *values)
{
    static const uint8_t no_hash[SHA1_DIGEST_LENGTH] = {};
    for (const char *path : paths) {
        uint32_t inode, device;
        if (stat_ids(path, &inode, &device) != 0)
            continue;
        new_hash_entry(device, inode, platform_source_id, 0, 0, 0, type, no_hash, path,
                       count, types, values, 0);
    }
}

}  // namespace

int add_protection_entries()
{
    long value = -1;
    long type = creds_from_text("tcb", &value);
    int count = type == -1 ? 0 : 1;
    add_entries(IMMUTABLE_PATHS, TYPE_IMMUTABLE, count, &type, &value);
    log_trace("Configuration data protection immutable entries added\n");
    add_entries(PROTECTED_PATHS, TYPE_PROTECTED, count, &type, &value);
    log_trace("Configuration data protection protected entries added\n");
    return 0;
}

int check_init_conf()
{
    // The lookup key lives on the stack: there is no allocation to fail.
    hash_entry key{};
    if (stat_ids(INIT_CONF_PATH, &key.inode, &key.device) != 0) {
        log_trace("%s is missing\n", INIT_CONF_PATH);
        return -1;
    }
    const hash_entry *entry = find_entry(&key);
    if (!entry) {
        log_trace("%s has no reference hash\n", INIT_CONF_PATH);
        return 0;
    }
    uint8_t digest[SHA1_DIGEST_LENGTH];
    if (hash_calculate(INIT_CONF_PATH, digest) != 0) {
        log_trace("Unable to calculate hash for %s\n", INIT_CONF_PATH);
        return -1;
    }
    if (std::memcmp(digest, entry->sha1, SHA1_DIGEST_LENGTH) != 0) {
        log_trace("Hash mismatch %s\n", INIT_CONF_PATH);
        return -1;
    }
    return 0;
}
