#include "creds/creds.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

const creds_flag_word creds_flag_words[9] = {
    {"none", 4, 0x07, 0},
    {"set", 3, 0x07, 1},
    {"add", 3, 0x07, 2},
    {"inherit", 7, 0x07, 3},
    {"not-inheritable", 15, 0x08, 0},
    {"inheritable", 11, 0x08, 0x08},
    {"realxid", 7, 0x10, 0x10},
    {"setxid", 6, 0x10, 0},
    {"trust-zone", 10, 0x20, 0x20},
};

int creds_flags_from_text(const char *text, int *mask)
{
    int local;
    if (!mask)
        mask = &local;
    if (!text) {
        *mask = CREDS_FLAGS_DEFAULT_MASK;
        return CREDS_FLAGS_DEFAULT;
    }
    *mask = 0;
    int result = CREDS_FLAGS_DEFAULT;
    const char *p = text;
    while (*p) {
        size_t len = 0;
        while (p[len] && !std::isspace(static_cast<unsigned char>(p[len])))
            len++;
        if (len == 0) {
            p++;
            continue;
        }
        const creds_flag_word *row = nullptr;
        for (const creds_flag_word &w : creds_flag_words)
            if (w.length == len && std::memcmp(w.word, p, len) == 0) {
                row = &w;
                break;
            }
        if (!row) {
            *mask = 0;
            return -1;
        }
        if (*mask & row->group) {
            *mask = row->group;
            return -1;
        }
        *mask |= row->group;
        result = (result & ~row->group) | row->value;
        p += len;
        if (*p)
            p++;
    }
    return result;
}

int creds_flags_to_text(int flags, int mask, char *buf, size_t size)
{
    if (!buf)
        size = 0;
    if (size > 0)
        buf[0] = '\0';
    size_t total = 0;
    // Copies a piece as far as the buffer has room; counts all of it.
    auto put = [&](const char *s, size_t len) {
        if (total < size) {
            size_t room = size - 1 - total;
            size_t n = len < room ? len : room;
            std::memcpy(buf + total, s, n);
            buf[total + n] = '\0';
        }
        total += len;
    };
    for (const creds_flag_word &w : creds_flag_words) {
        if (!(w.group & mask) || (flags & w.group) != w.value)
            continue;
        if (total)
            put(" ", 1);
        put(w.word, w.length);
    }
    return int(total);
}

int credp_ioctl(int command, int flags, const char *name, const uint32_t *list, int count)
{
    int fd = open(CREDP_POLICY_PATH, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    credp_policy_request req{};
    req.flags = flags;
    req.name_length = name ? uint32_t(std::strlen(name)) : 0;
    req.name = name;
    req.count = list ? count : 0;
    req.list = count > 0 ? list : nullptr;
    int r = ioctl(fd, static_cast<unsigned long>(unsigned(command)), &req);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

namespace {

// The set's words for a request: its list and length, null and 0 when the
// set is empty.
int send_set(int command, int flags, const char *name, const creds_set *h)
{
    int count = 0;
    const uint32_t *list = creds_raw_list(h, &count);
    return credp_ioctl(command, flags, name, count > 0 ? list : nullptr, count);
}

}  // namespace

int creds_define_policy(int flags, const char *name, const creds_set *handle)
{
    return send_set(int(CREDP_IOC_DEFINE), flags, name, handle);
}

int creds_apply(const creds_set *handle)
{
    return creds_apply_with_flags(handle, 0x09);  // "set" and "inheritable"
}

int creds_apply_with_flags(const creds_set *handle, int flags)
{
    return send_set(int(CREDP_IOC_APPLY), flags, nullptr, handle);
}

int creds_policy_request(const char *name, int flags, const creds_set *handle)
{
    int r = send_set(int(CREDP_IOC_REQUEST), flags, name, handle);
    // A kernel that does not know the request is asked by name alone.
    if (r == -1 && errno == ENOTTY)
        return credp_name_request_89f2(name);
    return r;
}

int creds_policy_request_default(const char *name)
{
    return creds_policy_request(name, 1, nullptr);
}

int credp_name_request_89f1(const char *name)
{
    return credp_ioctl(int(CREDP_IOC_NAME_89F1), 0, name, nullptr, 0);
}

int credp_name_request_89f2(const char *name)
{
    return credp_ioctl(int(CREDP_IOC_NAME_89F2), 0, name, nullptr, 0);
}
