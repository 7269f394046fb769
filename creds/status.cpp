// Credentials of a process read from its status file, for kernels without
// the credentials module.
#include "creds/creds.h"
#include "creds/internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t reader_size = 200;

// Line reader over a descriptor with a 200-byte buffer that is refilled as
// the reading goes; lines may be longer than the buffer.
struct line_reader {
    int fd;
    bool eol = false;  // a blank skip stopped at a newline
    size_t pos = 0;
    size_t fill = 0;
    char buf[reader_size];

    explicit line_reader(int d) : fd(d) {}
    ~line_reader() { finish(); }
    line_reader(const line_reader &) = delete;
    line_reader &operator=(const line_reader &) = delete;

    void finish()
    {
        if (fd >= 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            fd = -1;
        }
    }

    // Makes at least n bytes available when the input still has them;
    // returns the number available.
    size_t want(size_t n)
    {
        while (fill - pos < n && fd >= 0) {
            std::memmove(buf, buf + pos, fill - pos);
            fill -= pos;
            pos = 0;
            ssize_t got = read(fd, buf + fill, reader_size - fill);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                finish();
                break;
            }
            fill += size_t(got);
        }
        return fill - pos;
    }

    // Next byte without consuming it, or -1 at the end of the input.
    int peek() { return want(1) ? static_cast<unsigned char>(buf[pos]) : -1; }
    void take() { pos++; }

    bool starts_with(const char *key, size_t len)
    {
        return want(len) >= len && std::memcmp(buf + pos, key, len) == 0;
    }

    // Passes over spaces and tabs; stops at a newline without consuming
    // it and sets the end-of-line flag.
    void skip_blanks()
    {
        for (int c; (c = peek()) == ' ' || c == '\t';)
            take();
        if (peek() == '\n')
            eol = true;
    }

    // A decimal number after blanks, or -1 (no digit, or at end of line).
    long long number()
    {
        skip_blanks();
        if (eol)
            return -1;
        int c = peek();
        if (c < '0' || c > '9')
            return -1;
        unsigned long long v = 0;
        for (; (c = peek()) >= '0' && c <= '9'; take())
            if (v <= UINT32_MAX)
                v = v * 10 + unsigned(c - '0');
        // An id beyond 32 bits is no id.
        return v > UINT32_MAX ? -1 : (long long)v;
    }

    // Passes over the rest of the line and its newline.
    void next_line()
    {
        for (int c; (c = peek()) >= 0;) {
            take();
            if (c == '\n')
                break;
        }
        eol = false;
    }
};

int hex_value(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

enum key { key_uid, key_gid, key_groups, key_capprm, key_capinh, key_capeff, key_count };

}  // namespace

int proc_status_read(int fd, uint32_t *list, int room_arg)
{
    line_reader in(fd);
    const long long room = room_arg > 0 ? room_arg : 0;
    long long n = 0;  // words needed so far
    auto fits = [&] { return n <= room; };

    while (in.peek() >= 0) {
        int k = 0;
        for (; k < key_count; k++) {
            const creds_name &key = creds_capability_names[CREDS_CAPABILITY_NAMED + 1 + k];
            if (in.starts_with(key.name, key.length)) {
                in.pos += key.length;
                break;
            }
        }
        switch (k) {
        case key_uid:
        case key_gid: {
            long long real = in.number();
            long long effective = in.number();
            if (real < 0 || effective < 0)
                break;  // a line without its ids gives no entry
            n += 2;
            if (fits()) {
                list[n - 2] = creds_header(k == key_uid ? CREDS_TYPE_UID : CREDS_TYPE_GID, 1);
                list[n - 1] = uint32_t(effective);
            }
            break;
        }
        case key_groups: {
            n += 1;
            long long header = fits() ? n - 1 : -1;
            if (header >= 0)
                list[header] = creds_header(CREDS_TYPE_GRP, 0);
            uint32_t groups = 0;
            for (long long g; (g = in.number()) >= 0;) {
                if (groups == CREDS_MAX_VALUES)
                    return -EOVERFLOW;  // more groups than an entry can count
                groups++;
                n += 1;
                if (fits()) {
                    list[n - 1] = uint32_t(g);
                    list[header] = creds_header(CREDS_TYPE_GRP, groups);
                }
            }
            break;
        }
        case key_capeff: {
            n += 3;
            if (!fits())
                break;
            uint32_t *cap = list + n - 3;
            cap[0] = creds_header(CREDS_TYPE_CAP, 2);
            cap[1] = cap[2] = 0;
            in.skip_blanks();
            if (in.eol || hex_value(in.peek()) < 0) {
                in.finish();
                errno = EINVAL;
                return 0;
            }
            // The run of hex digits and blanks; the last 16 digits count,
            // the last one giving bits 0 to 3.
            uint64_t bits = 0;
            for (int c; (c = in.peek()) >= 0; in.take()) {
                if (c == ' ' || c == '\t')
                    continue;
                int d = hex_value(c);
                if (d < 0)
                    break;
                bits = (bits << 4) | uint64_t(d);
            }
            cap[1] = uint32_t(bits);
            cap[2] = uint32_t(bits >> 32);
            break;
        }
        default:  // CapPrm, CapInh and other lines are passed over
            break;
        }
        in.next_line();
    }
    if (n > INT32_MAX)
        return -EOVERFLOW;
    return int(n);
}

int proc_status_creds(int pid, uint32_t *list, int room)
{
    char path[reader_size];
    if (pid == 0)
        std::snprintf(path, sizeof path, "/proc/self/status");
    else
        std::snprintf(path, sizeof path, "/proc/%d/status", pid);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -errno;
    return proc_status_read(fd, list, room);
}
