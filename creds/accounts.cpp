// Names of users and groups, read from the account files themselves. The
// C library's lookups would consult "/etc/nsswitch.conf" and whatever it
// names, opened in ways that wait on a FIFO or a terminal in a file's
// place; the boot's road must not, so the files are read here through the
// opener that refuses anything but a regular file, and no further.
#include "creds/internal.h"

#include "support/tarvo_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Far beyond the account files of any device.
constexpr off_t ACCOUNT_FILE_MAX = 1 << 20;

// The whole file, or false when it cannot be read whole.
bool read_account_file(const char *path, std::string &text)
{
    int fd = tarvo_open_regular_file(path, 0);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && st.st_size <= ACCOUNT_FILE_MAX;
    if (ok) {
        text.assign(size_t(st.st_size), '\0');
        text.resize(tarvo_read_fully(fd, &text[0], text.size()));
    }
    close(fd);
    return ok;
}

// The id field (the third) of a line "name:password:id:...", or false.
bool line_id(const std::string &line, long *id)
{
    size_t a = line.find(':');
    size_t b = a == std::string::npos ? a : line.find(':', a + 1);
    if (b == std::string::npos)
        return false;
    size_t c = line.find(':', b + 1);
    std::string field = line.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
    if (field.empty() || field.size() > 10 || field.find_first_not_of("0123456789") != field.npos)
        return false;
    long long v = std::strtoll(field.c_str(), nullptr, 10);
    if (v > 0xFFFFFFFFLL)
        return false;
    *id = long(int32_t(uint32_t(v)));
    return true;
}

// Calls fn(name, id) for each well-formed line until it returns true.
template <class Fn> bool each_account(const char *path, Fn fn)
{
    std::string text;
    if (!read_account_file(path, text))
        return false;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        long id;
        size_t colon = line.find(':');
        if (colon == 0 || colon == std::string::npos || !line_id(line, &id))
            continue;
        if (fn(line.substr(0, colon), id))
            return true;
    }
    return false;
}

}  // namespace

bool creds_account_id(const char *file, const char *name, long *id)
{
    return each_account(file, [&](const std::string &n, long v) {
        if (n != name)
            return false;
        *id = v;
        return true;
    });
}

bool creds_account_name(const char *file, long id, std::string &name)
{
    return each_account(file, [&](const std::string &n, long v) {
        if (v != id)
            return false;
        name = n;
        return true;
    });
}
