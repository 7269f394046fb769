#include "creds/creds.h"
#include "creds/internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const creds_prefix creds_prefixes[4] = {
    {"CAP::", 5, CREDS_TYPE_CAP},
    {"UID::", 5, CREDS_TYPE_UID},
    {"GID::", 5, CREDS_TYPE_GID},
    {"GRP::", 5, CREDS_TYPE_GRP},
};

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// An optional '-' and decimal digits making up the whole text, within the
// range of a 32-bit id.
bool decimal_value(const char *text, long *out)
{
    const char *p = text + (*text == '-');
    if (!is_digit(*p))
        return false;
    int saved = errno;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    bool ok = errno == 0 && *end == '\0' && v >= INT32_MIN && v <= INT32_MAX;
    errno = saved;
    if (ok)
        *out = long(v);
    return ok;
}

// Value of a value text for the type: a number, else a user name for
// type 1 and a group name for types 2 and 3; -1 when there is none.
long value_for_type(int type, const char *text)
{
    long v;
    if (decimal_value(text, &v))
        return v;
    long id = -1;
    if (type == CREDS_TYPE_UID)
        creds_account_id(CREDS_PASSWD_PATH, text, &id);
    else if (type == CREDS_TYPE_GID || type == CREDS_TYPE_GRP)
        creds_account_id(CREDS_GROUP_PATH, text, &id);
    return id;
}

// Type number of the numeric form: one or more decimal digits, no sign or
// space, at most 0xFFFF. The position after the digits in *end.
int type_number(const char *text, const char **end)
{
    long t = 0;
    const char *p = text;
    if (!is_digit(*p))
        return -1;
    for (; is_digit(*p); p++) {
        t = t * 10 + (*p - '0');
        if (t > 0xFFFF)
            return -1;
    }
    *end = p;
    return int(t);
}

}  // namespace

int creds_from_text(const char *text, long *value)
{
    long local;
    if (!value)
        value = &local;
    *value = -1;
    if (!text)
        return -1;

    int type = kernel_text_to_creds(text, value);
    if (type >= 0)
        return type;
    *value = -1;

    for (const creds_prefix &p : creds_prefixes) {
        if (std::strncmp(text, p.prefix, p.length) != 0)
            continue;
        const char *rest = text + p.length;
        if (*rest == '\0')
            return p.type;
        long v = value_for_type(p.type, rest);
        if (v == -1)
            return -1;
        *value = v;
        return p.type;
    }

    const char *end = nullptr;
    type = type_number(text, &end);
    if (type < 0 || std::strncmp(end, "::", 2) != 0)
        return -1;
    const char *rest = end + 2;
    if (*rest == '\0')
        return type;
    long v = value_for_type(type, rest);
    if (v == -1)
        return -1;
    *value = v;
    return type;
}

int creds_to_text(int type, long value, char *buf, size_t size)
{
    if (!buf)
        size = 0;
    int n = kernel_creds_to_text(type, value, buf, size);
    if (n >= 0)
        return n;

    if (value == -1 && type >= 0 && type <= CREDS_TYPE_GRP)
        return std::snprintf(buf, size, "%s", creds_prefixes[type].prefix);

    if (type == CREDS_TYPE_UID || type == CREDS_TYPE_GID || type == CREDS_TYPE_GRP) {
        const char *prefix = creds_prefixes[type].prefix;
        std::string name;
        if (creds_account_name(type == CREDS_TYPE_UID ? CREDS_PASSWD_PATH : CREDS_GROUP_PATH,
                               long(int32_t(value)), name))
            return std::snprintf(buf, size, "%s%s", prefix, name.c_str());
        return std::snprintf(buf, size, "%s%ld", prefix, value);
    }
    // A type without a value reads back from its number and "::" alone.
    if (value == -1 && type >= 0)
        return std::snprintf(buf, size, "%d::", type);
    return std::snprintf(buf, size, "%d::%ld", type, value);
}

// A mismatch returns to the most recent '*' and lets it take one more
// character; every other character matches itself, case-sensitively.
bool creds_glob_match(const char *pattern, const char *text)
{
    const char *star = nullptr;  // just after the most recent '*'
    const char *resume = nullptr;  // where that '*' last started matching
    const char *p = pattern, *t = text;
    while (*t) {
        if (*p == '*') {
            star = ++p;
            resume = t;
        } else if (*p && (*p == '?' || *p == *t)) {
            p++;
            t++;
        } else if (star) {
            p = star;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (*p == '*')
        p++;
    return *p == '\0';
}

int creds_match(const creds_set *h, const char *pattern, char *buf, size_t size)
{
    if (!h || h->actual == 0 || !pattern || !buf)
        return -1;
    size_t head = std::strcspn(pattern, "*?");
    size_t cmp = head < 5 ? head : 5;

    uint32_t i = 0;
    while (i < h->actual) {
        uint32_t header = h->list[i];
        uint32_t count = creds_header_count(header);
        if (count >= h->actual - i)
            break;
        int type = int(creds_header_type(header));
        const uint32_t *v = h->list + i + 1;
        i += 1 + count;
        // The fixed types' texts all begin with their prefix; a literal
        // head that differs from it cannot match.
        if (type <= CREDS_TYPE_GID && head > 0 &&
            std::strncmp(pattern, creds_prefixes[type].prefix, cmp) != 0)
            continue;
        for (uint32_t w = 0; w < count; w++) {
            for (uint32_t b = 0; b < (type == CREDS_TYPE_CAP ? 32u : 1u); b++) {
                long value;
                if (type == CREDS_TYPE_CAP) {
                    if (!((v[w] >> b) & 1u))
                        continue;
                    value = long(32 * w + b);
                } else {
                    value = long(int32_t(v[w]));
                }
                int n = creds_to_text(type, value, buf, size);
                if (n < 0 || size_t(n) >= size)
                    return n;
                if (creds_glob_match(pattern, buf))
                    return n;
            }
        }
    }
    return -1;
}
