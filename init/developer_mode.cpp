#include "init/developer_mode.h"

#include "init/log.h"
#include "init/safe_open.h"
#include "init/le32.h"
#include "secbins/kz4_secbins.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

const unsigned char DEVELOPER_MODE_MAGIC[24] = {'t', 'a', 'r', 'v', 'o', ' ', 'd', 'e',
                                                'v', 'e', 'l', 'o', 'p', 'e', 'r', ' ',
                                                'm', 'o', 'd', 'e', 'c', 'f', 'g', 0x1A};

namespace {

constexpr const char ORIGIN_NAME[] = "developer_origin";
constexpr const char RELAXED_NAME[] = "relaxed_exec_validation";
constexpr const char MAC_TOKEN[] = "tcb";
constexpr size_t VERSION_OFFSET = 24;
constexpr size_t COUNT_OFFSET = 28;

// A name of the file (length given, no NUL) equals a known name.
bool name_is(const char *name, uint32_t length, const char *known)
{
    return length == strlen(known) && memcmp(name, known, length) == 0;
}

// Descriptor closed when the load ends, whichever way.
struct file_closer {
    int fd;
    ~file_closer()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Applies one entry to the settings: 0, or -1 when the name does not fit
// its type or the origin is empty.
int apply_setting(developer_settings *settings, uint32_t type, const char *name,
                  uint32_t name_length, const char *value)
{
    if (type == DEVELOPER_SETTING_STRING && name_is(name, name_length, ORIGIN_NAME) &&
        value[0] != '\0') {
        char *origin = strdup(value);
        if (!origin)
            return -12;
        free(settings->developer_origin);
        settings->developer_origin = origin;
        return 0;
    }
    if (type == DEVELOPER_SETTING_U32 && name_is(name, name_length, RELAXED_NAME)) {
        settings->relaxed_exec_validation = get_le32(reinterpret_cast<const unsigned char *>(value));
        return 0;
    }
    return -1;
}

}  // namespace

int developer_mode_parse_entries(const unsigned char *data, size_t size, uint32_t count,
                                 developer_settings *settings)
{
    if (count == 0) {
        if (size != DEVELOPER_MODE_HEADER_SIZE) {
            log_trace("failed to set value\n");
            return -22;
        }
        return 0;
    }
    if (size < DEVELOPER_MODE_HEADER_SIZE + DEVELOPER_MODE_ENTRY_HEADER) {
        log_trace("invalid entry %d\n", 0);
        return -22;
    }
    uint64_t h = DEVELOPER_MODE_HEADER_SIZE;
    for (uint32_t index = 0; index < count; ++index) {
        uint32_t type = get_le32(data + h);
        uint32_t name_length = get_le32(data + h + 4);
        uint32_t value_length = get_le32(data + h + 8);
        // 64-bit sums: neither length can wrap the bound.
        uint64_t end = h + DEVELOPER_MODE_ENTRY_HEADER + uint64_t(name_length) + value_length;
        if (end > size) {
            log_trace("pre-sanity check failed\n");
            return -22;
        }
        if (name_length == 0 || name_length > DEVELOPER_MODE_MAX_NAME) {
            log_trace("name missing\n");
            return -22;
        }
        if (type == DEVELOPER_SETTING_U32 && value_length != 4)
            return -22;
        if (type != DEVELOPER_SETTING_STRING && type != DEVELOPER_SETTING_U32) {
            log_trace("unknown type\n");
            return -22;
        }
        const unsigned char *name_bytes = data + h + DEVELOPER_MODE_ENTRY_HEADER;
        char *name = static_cast<char *>(calloc(1, size_t(name_length) + 1));
        if (!name) {
            log_trace("entry name length malloc failed\n");
            return -12;
        }
        char *value = static_cast<char *>(calloc(1, size_t(value_length) + 1));
        if (!value) {
            free(name);
            return -12;
        }
        memcpy(name, name_bytes, name_length);
        memcpy(value, name_bytes + name_length, value_length);
        int applied = apply_setting(settings, type, name, name_length, value);
        free(name);
        free(value);
        if (applied == -12)
            return -12;
        if (applied != 0) {
            log_trace("process settings has failed %d\n", 0);
            return -22;
        }
        if (index + 1 == count) {
            if (end != size) {
                log_trace("failed to set value\n");
                return -22;
            }
            break;
        }
        h = end;
        if (h + DEVELOPER_MODE_ENTRY_HEADER > size) {
            log_trace("invalid entry %d\n", int(index + 1));
            return -22;
        }
    }
    return 0;
}

namespace {

// Checks the file's MAC under "tcb": true only for the verdict "valid".
// buffer is the whole file with its MAC field already zeroed.
bool mac_accepted(const unsigned char *buffer, size_t size, const unsigned char *stored_mac)
{
    if (kz4_set_programid(MAC_TOKEN) < 0)
        return false;
    int verdict = kz4_fprot_check_mac(MAC_TOKEN, buffer, uint32_t(size), stored_mac,
                                      uint32_t(DEVELOPER_MODE_MAC_SIZE));
    if (verdict == KZ4_MAC_VALID)
        return true;
    // A mismatch is a refusal like any failed check: the file is not ours.
    kz4_print_error("kz4_fprot_check_mac");
    log_trace("kz4_fprot_check_mac error %d\n", verdict);
    return false;
}

}  // namespace

int developer_mode_load_settings(developer_settings **out)
{
    log_trace("Developer mode settings:\n");
    if (!out) {
        log_trace("Invalid calling arguments\n");
        return -22;
    }
    free_developer_settings(*out);
    *out = nullptr;

    file_closer file{open_regular_file(DEVELOPER_MODE_PATH, O_NOFOLLOW)};
    if (file.fd < 0) {
        int error = errno;
        log_trace("Developer mode configuration data not found.\n");
        return -error;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0) {
        int error = errno;
        log_trace("fstat failed\n");
        return -error;
    }
    if (st.st_size == 0) {
        log_trace("zero size\n");
        return 0;
    }
    if (st.st_size < 0 || uint64_t(st.st_size) > DEVELOPER_MODE_MAX_SIZE) {
        log_trace("file size larger than max size\n");
        return -22;
    }
    size_t size = size_t(st.st_size);
    unsigned char *buffer = static_cast<unsigned char *>(malloc(size));
    if (!buffer) {
        log_trace("malloc failed\n");
        return -12;
    }
    struct buffer_freer {
        unsigned char *p;
        ~buffer_freer() { free(p); }
    } freer{buffer};

    ssize_t got;
    do
        got = read(file.fd, buffer, size);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        int error = errno;
        log_trace("other error in reading\n");
        return -error;
    }
    if (size_t(got) != size) {
        log_trace("-EIO in reading\n");
        return -5;
    }
    if (size < DEVELOPER_MODE_HEADER_SIZE) {
        log_trace("invalid header\n");
        return -22;
    }
    unsigned char header[DEVELOPER_MODE_HEADER_SIZE];
    memcpy(header, buffer, sizeof header);
    if (memcmp(header, DEVELOPER_MODE_MAGIC, sizeof DEVELOPER_MODE_MAGIC) != 0) {
        log_trace("bad magic\n");
        return -22;
    }
    if (get_le32(header + VERSION_OFFSET) != DEVELOPER_MODE_VERSION) {
        log_trace("bad version\n");
        return -22;
    }
    memset(buffer + DEVELOPER_MODE_MAC_OFFSET, 0, DEVELOPER_MODE_MAC_SIZE);
    if (!mac_accepted(buffer, size, header + DEVELOPER_MODE_MAC_OFFSET))
        return 0;

    developer_settings *settings =
        static_cast<developer_settings *>(calloc(1, sizeof(developer_settings)));
    if (!settings) {
        log_trace("settings malloc failed\n");
        return -12;
    }
    int result =
        developer_mode_parse_entries(buffer, size, get_le32(header + COUNT_OFFSET), settings);
    if (result != 0) {
        free_developer_settings(settings);
        return result;
    }
    *out = settings;
    return 1;
}

int developer_setting_type(const char *name)
{
    if (!name)
        return -1;
    if (strcmp(name, ORIGIN_NAME) == 0)
        return DEVELOPER_SETTING_STRING;
    if (strcmp(name, RELAXED_NAME) == 0)
        return DEVELOPER_SETTING_U32;
    return -1;
}

int developer_setting_length(const char *name, const void *value)
{
    switch (developer_setting_type(name)) {
    case DEVELOPER_SETTING_U32:
        return 4;
    case DEVELOPER_SETTING_STRING:
        return value ? int(strlen(static_cast<const char *>(value))) : -1;
    default:
        log_trace("Unknown developer mode setting '%s'\n", name ? name : "(null)");
        return -1;
    }
}

int developer_mode_save_settings(const developer_settings *settings)
{
    if (!settings)
        return -22;
    const char *origin = settings->developer_origin;
    size_t origin_length = origin ? strlen(origin) : 0;
    size_t size = DEVELOPER_MODE_HEADER_SIZE;
    uint32_t count = 0;
    if (settings->relaxed_exec_validation != 0) {
        size += DEVELOPER_MODE_ENTRY_HEADER + strlen(RELAXED_NAME) + 4;
        ++count;
    }
    if (origin) {
        // An empty origin, or one too long for the file, would make a file
        // that the loader refuses.
        if (origin_length == 0 || origin_length > DEVELOPER_MODE_MAX_SIZE)
            return -22;
        size += DEVELOPER_MODE_ENTRY_HEADER + strlen(ORIGIN_NAME) + origin_length;
        ++count;
    }
    if (size > DEVELOPER_MODE_MAX_SIZE)
        return -22;

    file_closer file{open(DEVELOPER_MODE_PATH,
                          O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (file.fd < 0)
        return -errno;
    unsigned char *buffer = static_cast<unsigned char *>(calloc(1, size));
    if (!buffer)
        return -12;
    struct buffer_freer {
        unsigned char *p;
        ~buffer_freer() { free(p); }
    } freer{buffer};

    memcpy(buffer, DEVELOPER_MODE_MAGIC, sizeof DEVELOPER_MODE_MAGIC);
    put_le32(buffer + VERSION_OFFSET, DEVELOPER_MODE_VERSION);
    put_le32(buffer + COUNT_OFFSET, count);
    size_t at = DEVELOPER_MODE_HEADER_SIZE;
    auto put_entry = [&](uint32_t type, const char *name, const void *value, size_t length) {
        size_t name_length = strlen(name);
        put_le32(buffer + at, type);
        put_le32(buffer + at + 4, uint32_t(name_length));
        put_le32(buffer + at + 8, uint32_t(length));
        at += DEVELOPER_MODE_ENTRY_HEADER;
        memcpy(buffer + at, name, name_length);
        at += name_length;
        memcpy(buffer + at, value, length);
        at += length;
    };
    if (settings->relaxed_exec_validation != 0) {
        unsigned char value[4];
        put_le32(value, settings->relaxed_exec_validation);
        put_entry(DEVELOPER_SETTING_U32, RELAXED_NAME, value, sizeof value);
    }
    if (origin)
        put_entry(DEVELOPER_SETTING_STRING, ORIGIN_NAME, origin, origin_length);
    if (at != size) {
        log_trace("error: developer_mode_save_settings() - internal error.\n");
        return -22;
    }

    if (kz4_set_programid(MAC_TOKEN) < 0)
        return -13;
    uint8_t *mac = nullptr;
    int made = kz4_fprot_mac(buffer, uint32_t(size), &mac);
    if (made == int(DEVELOPER_MODE_MAC_SIZE) && mac)
        memcpy(buffer + DEVELOPER_MODE_MAC_OFFSET, mac, DEVELOPER_MODE_MAC_SIZE);
    kz4_free(mac);
    if (made == -2)
        return -13;
    if (made != int(DEVELOPER_MODE_MAC_SIZE))
        return -22;

    ssize_t written;
    do
        written = write(file.fd, buffer, size);
    while (written < 0 && errno == EINTR);
    if (written < 0)
        return -errno;
    if (size_t(written) != size)
        return -5;
    return 1;
}

void free_developer_settings(developer_settings *settings)
{
    if (!settings)
        return;
    free(settings->developer_origin);
    free(settings);
}
