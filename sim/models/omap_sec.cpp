// Simulated secure side of "/dev/omap_sec"; see omap_sec.h.
#include "sim/models/omap_sec.h"
#include "sim/models/omap_sec_crypto.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
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


// A key of the secure side kept in a state file of mode 0600: read when
// it is there, made from system randomness at its first use. Two
// processes that make it at once agree on the first one stored, since a
// link never replaces a file. A key file found open to others (left by
// an older simulator) is closed to them; one that cannot be read or does
// not hold a key is a key that cannot be had, never replaced.
bool private_key(const char *file, std::string &key)
{
    std::string path = state_path(file);
    for (int attempt = 0; attempt < 2; attempt++) {
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            struct stat st;
            if (fstat(fd, &st) == 0 && (st.st_mode & 077))
                (void)fchmod(fd, 0600);
            std::string text;
            char buf[256];
            ssize_t n;
            while ((n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < 4096)
                text.append(buf, size_t(n));
            ::close(fd);
            while (!text.empty() && text.back() == '\n')
                text.pop_back();
            return n == 0 && unhex(text, key) && !key.empty();
        }
        if (errno != ENOENT)
            return false;
        uint8_t fresh[32];
        size_t got = 0;
        while (got < sizeof fresh) {
            ssize_t r = getrandom(fresh + got, sizeof fresh - got, 0);
            if (r <= 0)
                return false;
            got += size_t(r);
        }
        std::string tmp = path + ".new." + std::to_string(getpid());
        int w = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (w < 0)
            return false;
        std::string text = hex(fresh, got) + "\n";
        bool written = ::write(w, text.data(), text.size()) == ssize_t(text.size());
        written = ::close(w) == 0 && written;
        int linked = written ? ::link(tmp.c_str(), path.c_str()) : -1;
        int link_errno = errno;
        ::unlink(tmp.c_str());
        if (linked == 0) {
            key.assign(reinterpret_cast<const char *>(fresh), got);
            return true;
        }
        if (!written || link_errno != EEXIST)
            return false;
        // Another process stored its key first: read that one.
    }
    return false;
}

// The device key: "device_key=HEX" of the configuration, else the key in
// state file "omap_sec.key", kept with the device so that what one boot
// protected the next boot can open. Empty when it cannot be had.
std::string device_key(const config &c)
{
    std::string key = config_bytes(c, "device_key", "");
    if (!key.empty())
        return key;
    if (!private_key(OMAP_SEC_KEY, key))
        key.clear();
    return key;
}

// A file-protection request (services 896 to 901) taken apart: the
// program id, the optional name, the inputs and the output length.
struct fprot_request {
    std::string id;
    bool has_name = false;
    std::string name;
    std::string in1, in2;
    uint32_t out_len = 0;
};

// Parses the arguments by their write boundaries: id length and id, an
// optional name length and name, the total input length, an optional
// second input length, the output length, then the inputs. Every field
// must have come in a write of its own and every length must agree.
bool parse_fprot(const std::string &args, const std::vector<size_t> &writes,
                 fprot_request &q)
{
    for (int with_name = 0; with_name < 2; with_name++) {
        for (int with_second = 0; with_second < 2; with_second++) {
            size_t w = 0, off = 0;
            auto field = [&](size_t n, std::string &out) {
                if (w >= writes.size() || writes[w] != n || off + n > args.size())
                    return false;
                out = args.substr(off, n);
                off += n;
                w++;
                return true;
            };
            auto u32 = [&](uint32_t &v) {
                std::string s;
                if (!field(4, s))
                    return false;
                memcpy(&v, s.data(), 4);
                return true;
            };
            fprot_request r;
            uint32_t idlen, namelen = 0, total, second = 0;
            if (!u32(idlen) || idlen == 0 || !field(idlen, r.id) || r.id.back() != '\0')
                continue;
            r.id.pop_back();
            if (with_name) {
                if (!u32(namelen) || namelen == 0 || !field(namelen, r.name) ||
                    r.name.back() != '\0')
                    continue;
                r.name.pop_back();
                r.has_name = true;
            }
            if (!u32(total))
                continue;
            if (with_second && (!u32(second) || second == 0 || second > total))
                continue;
            if (!u32(r.out_len))
                continue;
            uint32_t first = total - second;
            if (first && !field(first, r.in1))
                continue;
            if (second && !field(second, r.in2))
                continue;
            if (w != writes.size() || off != args.size())
                continue;
            q = r;
            return true;
        }
    }
    return false;
}

// The secure side's object store of this boot: records "store HANDLE
// NAME HEX" and "release HANDLE" in run file "omap_sec.objects".
struct stored_object {
    std::string name;
    std::string data;
};

std::map<uint32_t, stored_object> load_objects(uint32_t *last_handle = nullptr)
{
    std::map<uint32_t, stored_object> objects;
    if (last_handle)
        *last_handle = 0;
    std::vector<std::string> recs;
    read_records(run_path(OMAP_SEC_OBJECTS), recs);
    for (const auto &rec : recs) {
        std::istringstream in(rec);
        std::string op, name, data;
        uint32_t handle = 0;
        in >> op >> handle;
        if (op == "store") {
            if (last_handle && handle > *last_handle)
                *last_handle = handle;
            in >> name >> data;
            std::string bytes;
            unhex(data == "-" ? "" : data, bytes);
            objects[handle] = {name == "-" ? "" : name, bytes};
        } else if (op == "release") {
            objects.erase(handle);
        }
    }
    return objects;
}

void record_run(const char *file, const std::string &text)
{
    errno_keeper keep;
    append_record(run_path(file), text.data(), text.size());
}

// The 16-byte name field: the text up to its first zero.
std::string name_field(const std::string &field) { return field.substr(0, field.find('\0')); }

struct response {
    uint32_t rom = 0;
    uint32_t second = 0;
    std::string results;
    std::string framing;  // why the request broke its layout, or empty
    // What the secure side keeps of the request (run file, record), kept
    // only when the answer, faults included, is a success.
    std::vector<std::pair<const char *, std::string>> records;
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
    bool answered = (r.rom == 0 || service_ == 85) && (service_ < 256 || r.second == 0) &&
                    r.framing.empty();
    if (answered)
        for (const auto &rec : r.records)
            record_run(rec.first, rec.second);
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
    case 3: {  // store an object: length, name field, data when given
        std::string name, data;
        if (arg_writes_.size() < 2 || arg_writes_[0] != 4 || arg_writes_[1] != 16) {
            r.framing = "argument writes differ from the service's fields";
            break;
        }
        uint32_t length = get_word(args_, 0);
        if (arg_writes_.size() == 2) {
            data.assign(length, '\0');  // room the secure side sets aside
        } else if (arg_writes_.size() == 3 && arg_writes_[2] == length) {
            data = args_.substr(20);
        } else {
            r.framing = "data differs from its length word";
            break;
        }
        // Handles count from 1 through the boot, released ones included.
        uint32_t handle = 0;
        load_objects(&handle);
        handle++;
        name = name_field(args_.substr(4, 16));
        r.records.emplace_back(OMAP_SEC_OBJECTS,
                               "store " + std::to_string(handle) + " " +
                                   (name.empty() ? "-" : name) + " " +
                                   (data.empty() ? "-" : hex(data.data(), data.size())));
        r.results = word(handle);
        break;
    }
    case 4:    // read a stored object: handle, name field
    case 5: {  // release it
        if (!expect({4, 16}))
            break;
        uint32_t handle = get_word(args_, 0);
        std::string name = name_field(args_.substr(4, 16));
        auto objects = load_objects();
        auto it = objects.find(handle);
        if (it == objects.end() || (!name.empty() && name != it->second.name)) {
            // Below 256 only the ROM word can tell a failure.
            r.rom = OMAP_SEC_ROM_FAIL;
            break;
        }
        if (service_ == 4)
            r.results = word(uint32_t(it->second.data.size())) + it->second.data;
        else
            r.records.emplace_back(OMAP_SEC_OBJECTS, "release " + std::to_string(handle));
        break;
    }
    case 83: {  // software certificate: length, certificate, 0
        if (arg_writes_.size() != 3 || arg_writes_[0] != 4 || arg_writes_[2] != 4 ||
            arg_writes_[1] != get_word(args_, 0) || get_word(args_, 4 + arg_writes_[1]) != 0) {
            r.framing = "arguments are not length, certificate, 0";
            break;
        }
        std::string cert = args_.substr(4, arg_writes_[1]);
        // Only a certificate the manufacturer's key vouches for is taken.
        std::string key;
        if (!private_key(OMAP_SEC_MANUFACTURER_KEY, key) || !omap_sec_sw_cert_signed(key, cert)) {
            r.rom = OMAP_SEC_ROM_FAIL;
            break;
        }
        std::string digest = omap_sec_sha1(cert);
        r.records.emplace_back(OMAP_SEC_IMPORTS, "SW " + std::to_string(cert.size()) + " " +
                                                     hex(digest.data(), digest.size()));
        break;
    }
    case 496:    // import the NPC certificate stored under a handle
    case 576:    // the CCC certificate
    case 580: {  // the HWC certificate
        if (!expect({4}))
            break;
        const char *kind = service_ == 496 ? "NPC" : service_ == 576 ? "CCC" : "HWC";
        uint32_t handle = get_word(args_, 0);
        auto objects = load_objects();
        auto it = objects.find(handle);
        if (it == objects.end()) {
            r.second = OMAP_SEC_PA_CERTIFICATE_MISSING_FAIL;
        } else if (it->second.name != kind) {
            r.second = OMAP_SEC_PA_CERTIFICATE_TYPE_FAIL;
        } else if (it->second.data.empty()) {
            r.second = OMAP_SEC_PA_CERTIFICATE_LENGTH_FAIL;
        } else {
            std::string digest = omap_sec_sha1(it->second.data);
            r.records.emplace_back(OMAP_SEC_IMPORTS,
                                   std::string(kind) + " " + std::to_string(handle) + " " +
                                       std::to_string(it->second.data.size()) + " " +
                                       hex(digest.data(), digest.size()));
        }
        break;
    }
    case 896:  // encrypt under the program id
    case 897:  // the same, second entry
    case 898:  // decrypt
    case 899:  // MAC
    case 900:  // MAC check, keyed by the name when one is given
    case 901: {  // MAC over a composed record
        fprot_request q;
        if (!parse_fprot(args_, arg_writes_, q)) {
            r.framing = "file-protection arguments do not add up";
            break;
        }
        std::string key = device_key(c);
        if (key.empty()) {
            r.second = OMAP_SEC_PA_DEFAULT_FAIL;
            break;
        }
        std::string output;
        uint32_t result = 0;
        std::string data = q.in1 + q.in2;
        bool length_ok = true;
        switch (service_) {
        case 896:
        case 897: {
            length_ok = q.out_len == (uint64_t(data.size()) + 15) / 16 * 16 + 32;
            uint64_t pos = take_random_positions(16);
            std::string nonce =
                omap_sec_random_bytes(config_word(c, "random_seed", 0x4B5A3453u), pos, 16);
            output = omap_sec_seal(key, q.id, nonce, data);
            result = uint32_t(output.size());
            break;
        }
        case 898: {
            length_ok = data.size() >= 48 && data.size() % 16 == 0 &&
                        q.out_len == data.size() - 32;
            if (length_ok && !omap_sec_open_sealed(key, q.id, data, output, &result)) {
                r.second = OMAP_SEC_PA_DECRYPT_FAIL;
                return r;
            }
            break;
        }
        case 899:
        case 901:
            length_ok = q.out_len == 20;
            output = omap_sec_mac(key, q.id, q.in1 + q.in2);
            result = 20;
            break;
        case 900: {
            length_ok = q.out_len == 4;
            std::string expected = omap_sec_mac(key, q.has_name ? q.name : q.id, q.in1);
            output = word(q.in2.size() == 20 && q.in2 == expected ? 1 : 3);
            result = 0;
            break;
        }
        }
        if (!length_ok) {
            r.second = OMAP_SEC_PA_RESULTS_LENGTH_FAIL;
            break;
        }
        if (long v = fault("omap_sec.result"); v && fault_applies())
            result = uint32_t(v);
        r.results = output + word(result);
        break;
    }
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

std::string omap_sec_device_key() { return device_key(load_config()); }

bool omap_sec_sw_cert_signed(const std::string &key, const std::string &cert)
{
    if (cert.size() < OMAP_SEC_SW_CERT_MAC_END)
        return false;
    std::string expected = omap_sec_sw_cert_mac(key, cert);
    // Compared in full, whatever the first difference.
    unsigned char diff = 0;
    for (size_t i = 0; i < expected.size(); i++)
        diff |= uint8_t(expected[i] ^ cert[OMAP_SEC_SW_CERT_MAC_AT + i]);
    return diff == 0;
}

std::string omap_sec_sw_cert_mac(const std::string &key, const std::string &cert)
{
    std::string covered = cert;
    if (covered.size() >= OMAP_SEC_SW_CERT_MAC_END)
        covered.replace(OMAP_SEC_SW_CERT_MAC_AT, 20, 20, '\0');
    return omap_sec_hmac_sha1(key, std::string("keepstone sw certificate") + '\0' + covered);
}

}  // namespace ks_sim

// The factory's signing of a software certificate (see omap_sec.h).
extern "C" __attribute__((visibility("default"))) int ks_sim_sign_sw_cert(uint8_t *cert,
                                                                 uint32_t length)
{
    using namespace ks_sim;
    std::string key;
    if (!cert || length < OMAP_SEC_SW_CERT_MAC_END || !private_key(OMAP_SEC_MANUFACTURER_KEY, key))
        return -1;
    std::string mac =
        omap_sec_sw_cert_mac(key, std::string(reinterpret_cast<const char *>(cert), length));
    memcpy(cert + OMAP_SEC_SW_CERT_MAC_AT, mac.data(), mac.size());
    return 0;
}

namespace ks_sim {

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
    // The node's owner and mode decide who may use the device, as the
    // driver's node does: the access the open asks for, under the
    // caller's effective ids.
    if (err == 0) {
        int want = (flags & O_ACCMODE) == O_RDONLY   ? R_OK
                   : (flags & O_ACCMODE) == O_WRONLY ? W_OK
                                                     : R_OK | W_OK;
        if (faccessat(AT_FDCWD, path.c_str(), want, AT_EACCESS) != 0)
            err = errno == ENOENT ? ENOENT : EACCES;
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
