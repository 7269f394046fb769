#include "init/value_files.h"

#include "init/safe_open.h"
#include "support/tarvo_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Value files hold a few bytes; a number after this much leading white
// space is not looked for.
constexpr size_t VALUE_TEXT_MAX = 4096;

int write_value(const char *path, const char *format, int value)
{
    char text[32];
    int length = snprintf(text, sizeof text, format, value);
    if (length < 0 || size_t(length) >= sizeof text)
        return -22;
    return write_kernel_file(path, text, size_t(length));
}

// Reads the start of a regular file without ever blocking: a FIFO or a
// device put in place of a value file is refused.
int read_value(const char *path, int base, int *value)
{
    int fd = open_regular_file(path);
    if (fd < 0)
        return -1;
    char text[VALUE_TEXT_MAX + 1];
    size_t length = tarvo_read_fully(fd, text, VALUE_TEXT_MAX);
    close(fd);
    text[length] = '\0';
    return parse_value_text(text, base, value);
}

}  // namespace

int parse_value_text(const char *text, int base, int *value)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (isspace(*p))
        p++;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        p++;
    }
    if (base == 16 ? !isxdigit(*p) : !isdigit(*p))
        return -1;
    errno = 0;
    unsigned long long magnitude = strtoull(reinterpret_cast<const char *>(p), nullptr, base);
    bool overflow = errno == ERANGE;
    if (base == 16) {
        uint32_t v;
        if (overflow || magnitude > 0xffffffffull)
            v = 0xffffffffu;
        else
            v = negative ? uint32_t(0u - uint32_t(magnitude)) : uint32_t(magnitude);
        *value = int(v);
    } else {
        if (negative)
            *value = (overflow || magnitude > 0x80000000ull) ? INT_MIN
                                                             : int(-(long long)magnitude);
        else
            *value = (overflow || magnitude > unsigned(INT_MAX)) ? INT_MAX : int(magnitude);
    }
    return 0;
}

int write_kernel_file(const char *path, const void *data, size_t length)
{
    FILE *f = fopen_kernel_file_for_writing(path);
    if (!f)
        return -2;
    size_t written = fwrite(data, 1, length, f);
    // A kernel file refuses what it is given when the buffered bytes reach
    // it, at the flush; that is a failed write too.
    int flushed = fflush(f);
    int closed = fclose(f);
    if (written != length || flushed != 0 || closed != 0)
        return -5;
    return 0;
}

int write_hex_value(const char *path, int value)
{
    return write_value(path, "%x\n", value);
}

int write_int_value(const char *path, int value)
{
    return write_value(path, "%d\n", value);
}

int read_hex_value(const char *path, int *value)
{
    return read_value(path, 16, value);
}

int read_int_value(const char *path, int *value)
{
    return read_value(path, 10, value);
}

int load_keepstone_rd_config(const char *directory, int *enable, int *enforce)
{
    char *enable_path = nullptr;
    char *enforce_path = nullptr;
    if (asprintf(&enable_path, "%s/%s", directory, "enable") < 0)
        return -12;
    if (asprintf(&enforce_path, "%s/%s", directory, "enforce") < 0) {
        free(enable_path);
        return -12;
    }
    read_hex_value(enable_path, enable);
    read_hex_value(enforce_path, enforce);
    free(enable_path);
    free(enforce_path);
    return 0;
}
