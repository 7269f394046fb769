// Simulated secure side of "/dev/omap_sec"; see omap_sec.h.
#include "sim/models/omap_sec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace ks_sim {

namespace {

using config = std::map<std::string, std::string>;

std::string hex(const void *data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    const uint8_t *p = static_cast<const uint8_t *>(data);
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Hex text to bytes; false on an odd length or a non-hex character.
bool unhex(const std::string &text, std::string &out)
{
    if (text.size() % 2)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char *end;
        unsigned long v = strtoul(pair, &end, 16);
        if (*end || !isxdigit((unsigned char)pair[0]))
            return false;
        out += char(v);
    }
    return true;
}

// The device's calls leave errno as a system call would: the state files
// behind them are none of the program's business.
struct errno_keeper {
    int saved = errno;
    ~errno_keeper() { errno = saved; }
};

void log_call(const std::string &text)
{
    errno_keeper keep;
    append_record(state_path(OMAP_SEC_TRANSCRIPT), text.data(), text.size());
}

config load_config()
{
    config c;
    FILE *f = fopen(state_path(OMAP_SEC_CONFIG).c_str(), "r");
    if (!f)
        return c;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        size_t eq = s.find('=');
        if (eq != std::string::npos)
            c[s.substr(0, eq)] = s.substr(eq + 1);
    }
    fclose(f);
    return c;
}

uint32_t config_word(const config &c, const std::string &key, uint32_t fallback)
{
    auto it = c.find(key);
    if (it == c.end())
        return fallback;
    return uint32_t(strtoll(it->second.c_str(), nullptr, 0));
}

std::string config_bytes(const config &c, const std::string &key, const std::string &fallback)
{
    auto it = c.find(key);
    std::string out;
    if (it == c.end() || !unhex(it->second, out))
        return fallback;
    return out;
}

// A recognisable default answer: n bytes counting up from start.
std::string pattern(uint8_t start, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += char(uint8_t(start + i));
    return s;
}

std::string word(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

uint32_t get_word(const std::string &args, size_t off)
{
    uint32_t v;
    memcpy(&v, args.data() + off, 4);
    return v;
}

uint64_t splitmix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Takes n positions of the device's random stream, shared by every open
// and every process of the device: returns the first.
uint64_t take_random_positions(size_t n)
{
    std::string path = state_path(OMAP_SEC_RANDOM_COUNTER);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX);
    char text[32] = {0};
    ssize_t r = pread(fd, text, sizeof text - 1, 0);
    uint64_t pos = r > 0 ? strtoull(text, nullptr, 10) : 0;
    int len = snprintf(text, sizeof text, "%llu\n", (unsigned long long)(pos + n));
    // Should the counter not be stored, the stream repeats; no more harm.
    bool stored = ftruncate(fd, 0) == 0 && pwrite(fd, text, size_t(len), 0) == len;
    (void)stored;
    flock(fd, LOCK_UN);
    close(fd);
    return pos;
}

struct response {
    uint32_t rom = 0;
    uint32_t second = 0;
    std::string results;
    std::string framing;  // why the request broke its layout, or empty
};

class omap_sec_file : public open_file {
public:
    ssize_t read(void *buf, size_t len) override;
    ssize_t write(const void *buf, size_t len) override;
    off_t lseek(off_t, int) override { return -ESPIPE; }
    int ioctl(unsigned long request, void *arg) override;
    int close() override
    {
        log_call("close");
        return 0;
    }

private:
    bool selected_ = false;
    uint32_t service_ = 0;
    std::string header_;  // the length word as it arrives
    std::string args_;
    std::vector<size_t> arg_writes_;  // sizes of the argument writes
    unsigned writes_ = 0;             // writes of this request, the length word's included
    std::string queue_;

    bool fault_applies() const
    {
        long only = fault("omap_sec.service");
        return only == 0 || uint32_t(only) == service_;
    }
    uint32_t announced() const { return get_word(header_, 0); }
    void run();
    response serve(const config &c);
};

ssize_t omap_sec_file::read(void *buf, size_t len)
{
    errno_keeper keep;
    std::string rec = "read " + std::to_string(len);
    if (queue_.empty()) {
        if (fault("omap_sec.empty_read_zero")) {
            log_call(rec + " EOF");
            return 0;
        }
        log_call(rec + " EAGAIN");
        return -EAGAIN;
    }
    size_t n = std::min(len, queue_.size());
    memcpy(buf, queue_.data(), n);
    queue_.erase(0, n);
    log_call(rec + " " + hex(buf, n));
    return ssize_t(n);
}

ssize_t omap_sec_file::write(const void *buf, size_t len)
{
    errno_keeper keep;
    std::string rec = "write " + hex(buf, len);
    if (!selected_) {
        log_call(rec + " = " + std::to_string(-EINVAL));
        return -EINVAL;
    }
    writes_++;
    size_t take = len;
    long k = fault("omap_sec.short_write");
    if (k > 0 && unsigned(k) == writes_ && take > 0 && fault_applies())
        take--;
    const char *p = static_cast<const char *>(buf);
    size_t for_header = std::min(take, 4 - header_.size());
    std::string header = header_ + std::string(p, for_header);
    if (header.size() == 4 && take - for_header > get_word(header, 0) - args_.size()) {
        // More than the announced length: the driver refuses the write.
        log_call(rec + " = " + std::to_string(-EINVAL));
        return -EINVAL;
    }
    header_ = header;
    if (take > for_header) {
        args_.append(p + for_header, take - for_header);
        arg_writes_.push_back(take - for_header);
    }
    log_call(take == len ? rec : rec + " = " + std::to_string(take));
    if (header_.size() == 4 && args_.size() == announced())
        run();
    return ssize_t(take);
}

int omap_sec_file::ioctl(unsigned long request, void *arg)
{
    errno_keeper keep;
    if (request != OMAP_SEC_SELECT) {
        char text[48];
        snprintf(text, sizeof text, "ioctl 0x%lx", request);
        log_call(text);
        return -ENOTTY;
    }
    uint32_t service = uint32_t(uintptr_t(arg));
    std::string rec = "select " + std::to_string(service);
    long only = fault("omap_sec.service");
    bool applies = only == 0 || uint32_t(only) == service;
    if (long e = fault("omap_sec.select"); e > 0 && applies) {
        log_call(rec + " = " + std::to_string(-e));
        return int(-e);
    }
    if (long v = fault("omap_sec.select_result"); v > 0 && applies) {
        log_call(rec + " = " + std::to_string(v));
        return int(v);
    }
    log_call(rec);
    // A new selection abandons arguments still missing; the queued
    // response stays for the client to drain.
    selected_ = true;
    service_ = service;
    header_.clear();
    args_.clear();
    arg_writes_.clear();
    writes_ = 0;
    return 0;
}

void omap_sec_file::run()
{
    selected_ = false;
    config c = load_config();
    response r = serve(c);
    if (!r.framing.empty()) {
        log_call("framing " + std::to_string(service_) + ": " + r.framing);
        r.results.clear();
        if (service_ < 256) {
            r.rom = OMAP_SEC_ROM_FAIL;
            r.second = OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL;
        } else {
            r.rom = 0;
            r.second = OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL;
        }
    }
    bool faults = fault_applies();
    if (faults) {
        if (long v = fault("omap_sec.rom")) {
            r.rom = uint32_t(v);
            if (service_ != 85)
                r.results.clear();
        }
        if (long v = fault("omap_sec.pa"); v && service_ >= 256) {
            r.second = uint32_t(v);
            r.results.clear();
        }
    }
    std::string out = word(r.rom);
    if (!(faults && fault("omap_sec.no_second_word")))
        out += word(r.second) + r.results;
    if (faults) {
        if (long k = fault("omap_sec.short_response"); k > 0)
            out.resize(out.size() > size_t(k) ? out.size() - size_t(k) : 0);
        if (long k = fault("omap_sec.leftover"); k > 0)
            out.append(size_t(k), char(0xEE));
    }
    queue_ += out;
}

response omap_sec_file::serve(const config &c)
{
    response r;
    r.second = service_ < 256 ? OMAP_SEC_FILLER : 0;
    // Argument layout: the sizes of the writes expected, when fixed.
    auto expect = [&](std::vector<size_t> writes) {
        if (arg_writes_ != writes)
            r.framing = "argument writes differ from the service's fields";
        return r.framing.empty();
    };
    switch (service_) {
    case 2:  // announce a program name, NUL-terminated
        if (args_.empty() || args_.back() != '\0' || arg_writes_.size() != 1)
            r.framing = "name without its terminating zero";
        break;
    case 80:  // random bytes: n, n, 16
        if (expect({4, 4, 4})) {
            uint32_t n = get_word(args_, 0);
            if (get_word(args_, 4) != n || get_word(args_, 8) != 16) {
                r.framing = "arguments are not n, n, 16";
                break;
            }
            uint64_t seed = config_word(c, "random_seed", 0x4B5A3453u);
            r.results = omap_sec_random_bytes(seed, take_random_positions(n), n);
        }
        break;
    case 81:
        if (expect({}))
            r.results = config_bytes(c, "info20", pattern(0x81, 20)).substr(0, 20);
        break;
    case 84:
        if (expect({}))
            r.results = word(config_word(c, "rdc0", 0)) + word(config_word(c, "rdc1", 0)) +
                        word(config_word(c, "rdc2", 0));
        break;
    case 85:
        if (expect({}))
            r.rom = config_word(c, "mode", 1);
        break;
    case 86:
        if (expect({}))
            r.results = config_bytes(c, "id", std::string("\x35\x21\x43\x65\x87\x09\x21\x43", 8))
                            .substr(0, 8);
        break;
    case 577:
        if (expect({}))
            r.results = config_bytes(c, "info52", pattern(0x77, 52)).substr(0, 52);
        break;
    case 579:  // length of a numbered object
        if (expect({4})) {
            std::string key = "object." + std::to_string(get_word(args_, 0));
            auto data = c.find(key);
            uint32_t fallback = data == c.end() ? uint32_t(-ENOENT)
                                                : uint32_t(data->second.size() / 2);
            r.results = word(config_word(c, key + ".length", fallback));
        }
        break;
    case 578:  // data of a numbered object: id, L
        if (expect({4, 4})) {
            std::string key = "object." + std::to_string(get_word(args_, 0));
            std::string data;
            if (c.find(key) == c.end() || !unhex(c.at(key), data))
                r.second = OMAP_SEC_PA_DEFAULT_FAIL;
            else
                r.results = word(config_word(c, key + ".size", uint32_t(data.size()))) + data;
        }
        break;
    default:
        if (service_ < 256)
            r.rom = OMAP_SEC_ROM_NON_SUPPORTED;
        else
            r.second = OMAP_SEC_PA_FUNC_INDEX_FAIL;
        break;
    }
    return r;
}

std::string open_flags(int flags)
{
    std::string s = "open";
    switch (flags & O_ACCMODE) {
    case O_RDONLY: s += " rdonly"; break;
    case O_WRONLY: s += " wronly"; break;
    default: s += " rdwr"; break;
    }
    if (flags & O_NONBLOCK)
        s += " nonblock";
    if (flags & O_NOFOLLOW)
        s += " nofollow";
    if (flags & O_CLOEXEC)
        s += " cloexec";
    return s;
}

}  // namespace

std::string omap_sec_random_bytes(uint64_t seed, uint64_t pos, size_t n)
{
    std::string s;
    s.reserve(n);
    for (uint64_t k = pos; k < pos + n; k++)
        s += char(uint8_t(splitmix64(seed ^ (k / 8) * 0x100000001B3ull) >> (8 * (k % 8))));
    return s;
}

std::unique_ptr<open_file> omap_sec_model::open(const std::string &path, int flags, mode_t)
{
    int saved = errno;
    std::string rec = open_flags(flags);
    int err = int(fault("omap_sec.open"));
    if (err == 0 && (flags & O_NOFOLLOW))
        err = int(fault("omap_sec.open_nofollow"));
    // The device node is the sandbox's placeholder: without it there is
    // no device; a link in its place is refused with O_NOFOLLOW and
    // followed otherwise.
    struct stat st;
    if (err == 0 && lstat(path.c_str(), &st) != 0)
        err = ENOENT;
    if (err == 0 && S_ISLNK(st.st_mode)) {
        if (flags & O_NOFOLLOW)
            err = ELOOP;
        else if (stat(path.c_str(), &st) != 0)
            err = ENOENT;  // a dangling link
    }
    if (err) {
        log_call(rec + " = " + std::to_string(-err));
        errno = err;
        return nullptr;
    }
    log_call(rec);
    errno = saved;
    return std::make_unique<omap_sec_file>();
}

namespace {

model_registration<omap_sec_model> registered;

// ks-sim omap_sec [KEY=VALUE...]: with settings, merges them into the
// configuration (an empty value removes the key); without, prints the
// configuration and the transcript.
int omap_sec_command(const std::vector<std::string> &args, FILE *out)
{
    config c = load_config();
    if (!args.empty()) {
        for (const auto &a : args) {
            size_t eq = a.find('=');
            if (eq == std::string::npos || eq == 0) {
                std::fprintf(out, "omap_sec: not KEY=VALUE: %s\n", a.c_str());
                return 2;
            }
            if (eq + 1 == a.size())
                c.erase(a.substr(0, eq));
            else
                c[a.substr(0, eq)] = a.substr(eq + 1);
        }
        std::string text;
        for (const auto &kv : c)
            text += kv.first + "=" + kv.second + "\n";
        int r = write_state(OMAP_SEC_CONFIG, text);
        if (r < 0) {
            std::fprintf(out, "omap_sec: cannot write the configuration: %s\n", std::strerror(-r));
            return 1;
        }
        return 0;
    }
    for (const auto &kv : c)
        std::fprintf(out, "%s=%s\n", kv.first.c_str(), kv.second.c_str());
    std::vector<std::string> calls;
    read_records(state_path(OMAP_SEC_TRANSCRIPT), calls);
    for (const auto &call : calls)
        std::fprintf(out, "  %s\n", call.c_str());
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("omap_sec", "[KEY=VALUE...]  configure the secure side, or show its "
                                     "configuration and calls", omap_sec_command);
    }
} command_registered;

}  // namespace

}  // namespace ks_sim
