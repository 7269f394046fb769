// The kernel integrity module: its securityfs files take what the boot
// program writes and keep every open, write and close in one ordered log
// of the boot (run/keepstone). Malformed writes are refused with EINVAL.
//
// Faults (state file "faults"):
//   keepstone.FILE.open[=ERRNO]   the open is refused (default EPERM)
//   keepstone.FILE.write_fail=N   the N-th write of the boot to FILE fails with EINVAL
//   keepstone.FILE.short          writes to FILE take one byte less than given
//   keepstone.FILE.close[=ERRNO]  the close reports an error (default EIO)
#include "sim/models/keepstone.h"

#include "sim/model.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ks_sim {

namespace {

const char *const dir = "/sys/kernel/security/keepstone/";
const char *const files[] = {"hashlist", "modlist", "flush", "enforce", "enabled", "devorig"};

int log_event(char op, const std::string &file, const std::string &data)
{
    std::string rec(1, op);
    rec += file;
    rec += '\0';
    rec += data;
    return append_record(run_path("keepstone"), rec.data(), rec.size());
}


// Parses the text part of a hash record: " %d %d %d %d %d %ld %d" then
// " %ld %ld" per credential. Gives the numbers, or false.
bool parse_numbers(const std::string &text, std::vector<long long> &nums)
{
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] != ' ')
            return false;
        pos++;
        size_t start = pos;
        if (pos < text.size() && text[pos] == '-')
            pos++;
        size_t digits = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            pos++;
        if (pos == digits)
            return false;
        nums.push_back(std::strtoll(text.c_str() + start, nullptr, 10));
    }
    if (nums.size() < 7)
        return false;
    long long creds = nums[6];
    return creds >= 0 && nums.size() == 7 + 2 * size_t(creds);
}

bool valid_hash_record(const std::string &d, std::string *why, std::string *text)
{
    if (d.size() < 3) {
        *why = "record too short";
        return false;
    }
    char type = d[0];
    size_t start;
    if (type == 's' || type == 't')
        start = 21;
    else if (type == 'x' || type == 'd' || type == 'p')
        start = 1;
    else {
        *why = "unknown type letter";
        return false;
    }
    if (d.size() < start + 2 || d[d.size() - 2] != '\0' || d[d.size() - 1] != '\n') {
        *why = "record does not end in NUL and newline";
        return false;
    }
    std::string t = d.substr(start, d.size() - start - 2);
    std::vector<long long> nums;
    if (t.find('\0') != std::string::npos || !parse_numbers(t, nums)) {
        *why = "malformed numbers";
        return false;
    }
    if (text)
        *text = t;
    return true;
}

class keepstone_file : public open_file {
public:
    explicit keepstone_file(std::string name) : name_(std::move(name)) {}

    ssize_t read(void *, size_t) override { return 0; }

    ssize_t write(const void *buf, size_t len) override
    {
        std::string data(static_cast<const char *>(buf), len);
        long n = bump_counter("keepstone." + name_ + ".write");
        long nth = fault("keepstone." + name_ + ".write_fail");
        std::string why;
        if ((nth > 0 && n == nth) || !keepstone_valid(name_, data, &why)) {
            int r = log_event('X', name_, data);
            return r < 0 ? r : -EINVAL;
        }
        if (fault("keepstone." + name_ + ".short") && len > 1) {
            data.pop_back();
            len--;
        }
        // What the module could not keep, it did not take.
        int r = log_event('W', name_, data);
        return r < 0 ? r : ssize_t(len);
    }

    off_t lseek(off_t, int) override { return 0; }

    int close() override
    {
        long err = fault("keepstone." + name_ + ".close");
        int r = err ? -int(err == 1 ? EIO : err) : 0;
        int l = log_event('C', name_, std::to_string(r));
        return r < 0 ? r : l;
    }

private:
    std::string name_;
};

class keepstone_model : public model {
public:
    const char *name() const override { return "keepstone"; }

    bool serves(std::string_view path) const override
    {
        if (path.compare(0, std::strlen(dir), dir) != 0)
            return false;
        std::string_view rest = path.substr(std::strlen(dir));
        for (const char *f : files)
            if (rest == f)
                return true;
        return false;
    }

    std::unique_ptr<open_file> open(const std::string &path, int flags, mode_t) override
    {
        std::string file = path.substr(std::strlen(dir));
        if (!placeholder_exists(path)) {
            errno = ENOENT;
            return nullptr;
        }
        if (long err = fault("keepstone." + file + ".open")) {
            log_event('R', file, std::to_string(flags));
            errno = int(err);
            return nullptr;
        }
        if (int r = log_event('O', file, std::to_string(flags)); r < 0) {
            errno = -r;
            return nullptr;
        }
        return std::make_unique<keepstone_file>(file);
    }
};

model_registration<keepstone_model> registration;

std::string flags_text(const std::string &decimal)
{
    int flags = std::atoi(decimal.c_str());
    std::string s;
    switch (flags & O_ACCMODE) {
    case O_RDONLY: s = "O_RDONLY"; break;
    case O_WRONLY: s = "O_WRONLY"; break;
    default: s = "O_RDWR"; break;
    }
    if (flags & O_CREAT)
        s += "|O_CREAT";
    if (flags & O_TRUNC)
        s += "|O_TRUNC";
    if (flags & O_APPEND)
        s += "|O_APPEND";
    return s;
}

std::string printable(const std::string &d)
{
    std::string s;
    for (unsigned char c : d) {
        if (c == '\n')
            s += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            s += b;
        } else
            s += char(c);
    }
    return s;
}

int kernel_command(const std::vector<std::string> &args, FILE *out)
{
    std::vector<keepstone_event> events;
    int r = read_keepstone_log(events, args.empty() ? "" : args[0]);
    if (r < 0) {
        std::fprintf(out, "cannot read the module's log: %s\n", std::strerror(-r));
        return 1;
    }
    size_t records = 0, modules = 0;
    for (const auto &e : events) {
        std::fprintf(out, "%s\n", keepstone_describe(e).c_str());
        if (e.op == 'W' && e.file == "hashlist")
            records++;
        if (e.op == 'W' && e.file == "modlist")
            modules++;
    }
    std::fprintf(out, "keepstone: %zu hashlist records, %zu module hashes\n", records, modules);
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("kernel",
                         "what the integrity module received in this boot, decoded",
                         kernel_command);
    }
} command_reg;

}  // namespace

int read_keepstone_log(std::vector<keepstone_event> &out, const std::string &file)
{
    out.clear();
    std::vector<std::string> recs;
    int r = read_records(file.empty() ? run_path("keepstone") : file, recs);
    if (r < 0)
        return r;
    for (const auto &rec : recs) {
        size_t nul = rec.find('\0');
        if (rec.empty() || nul == std::string::npos)
            return -EBADMSG;
        out.push_back({rec[0], rec.substr(1, nul - 1), rec.substr(nul + 1)});
    }
    return 0;
}

bool keepstone_valid(const std::string &file, const std::string &data, std::string *why)
{
    std::string dummy;
    if (!why)
        why = &dummy;
    if (file == "hashlist")
        return valid_hash_record(data, why, nullptr);
    if (file == "modlist") {
        if (data.size() != 20)
            *why = "a module hash is 20 bytes";
        return data.size() == 20;
    }
    if (file == "flush") {
        if (data != "1")
            *why = "flush takes the single character 1";
        return data == "1";
    }
    if (file == "enforce" || file == "enabled") {
        bool ok = data.size() >= 2 && data.back() == '\n';
        for (size_t i = 0; ok && i + 1 < data.size(); i++)
            ok = (data[i] >= '0' && data[i] <= '9') || (data[i] >= 'a' && data[i] <= 'f');
        if (!ok)
            *why = "a mask is lowercase hex and a newline";
        return ok;
    }
    if (file == "devorig") {
        size_t i = (!data.empty() && data[0] == '-') ? 1 : 0;
        bool ok = data.size() > i;
        for (; ok && i < data.size(); i++)
            ok = data[i] >= '0' && data[i] <= '9';
        if (!ok)
            *why = "the developer origin is a decimal number without newline";
        return ok;
    }
    *why = "unknown file";
    return false;
}

std::vector<std::string> keepstone_writes(const std::vector<keepstone_event> &events,
                                          const std::string &file)
{
    std::vector<std::string> out;
    for (const keepstone_event &e : events)
        if (e.op == 'W' && e.file == file)
            out.push_back(e.data);
    return out;
}

std::string keepstone_describe(const keepstone_event &e)
{
    switch (e.op) {
    case 'O':
        return "open    " + e.file + " " + flags_text(e.data);
    case 'C':
        return "close   " + e.file + (e.data == "0" ? "" : " -> " + e.data);
    case 'R':
        return "REFUSED open " + e.file + " " + flags_text(e.data);
    case 'X':
        return "REFUSED " + e.file + " " + printable(e.data);
    default:
        break;
    }
    std::string s = "write   " + e.file + " ";
    if (e.file == "hashlist") {
        std::string why, text;
        if (!valid_hash_record(e.data, &why, &text))
            return s + "(" + why + ") " + printable(e.data);
        if (e.data[0] == 's' || e.data[0] == 't')
            return s + e.data[0] + " " + hex_text(e.data.substr(1, 20)) + text;
        return s + e.data[0] + text;
    }
    if (e.file == "modlist")
        return s + hex_text(e.data);
    return s + printable(e.data);
}

std::string hex_text(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : bytes) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

}  // namespace ks_sim
