// The simulated credentials module (see creds.h).
#include "sim/models/creds.h"

#include "creds/creds.h"
#include "sim/model.h"
#include "sim/models/restok_tokens.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ks_sim {

namespace {

constexpr int TYPE_AID = 4;
constexpr uint32_t TYPE_PAD = 0x7FFF;
constexpr size_t MAX_TEXT = 4096;
constexpr int MAX_ROOM = 1 << 20;

const char *const cap_names[34] = {
    "chown", "dac_override", "dac_read_search", "fowner", "fsetid", "kill", "setgid",
    "setuid", "setpcap", "linux_immutable", "net_bind_service", "net_broadcast",
    "net_admin", "net_raw", "ipc_lock", "ipc_owner", "sys_module", "sys_rawio",
    "sys_chroot", "sys_ptrace", "sys_pacct", "sys_admin", "sys_boot", "sys_nice",
    "sys_resource", "sys_time", "sys_tty_config", "mknod", "lease", "audit_write",
    "audit_control", "setfcap", "mac_override", "mac_admin",
};

uint32_t header(uint32_t type, uint32_t count) { return (count << 16) | (type & 0xFFFF); }

std::string hex_command(unsigned long request)
{
    char t[16];
    std::snprintf(t, sizeof t, "0x%lX", request);
    return t;
}

void record(const char *file, const std::string &text, long answer)
{
    std::string rec = text + " = " + std::to_string(answer);
    append_record(run_path(file), rec.data(), rec.size());
}

// Index of the first entry of a type in words, or words.size().
size_t find_entry(const std::vector<uint32_t> &w, uint32_t type)
{
    size_t i = 0;
    while (i < w.size()) {
        if ((w[i] & 0xFFFF) == type)
            return i;
        i += 1 + (w[i] >> 16);
    }
    return w.size();
}

// The process's own credentials as the kernel first sees them.
bool base_words(pid_t pid, std::vector<uint32_t> &w)
{
    uint32_t uid = 0, gid = 0;
    std::vector<uint32_t> groups;
    uint64_t caps = 0;
    if (pid == getpid()) {
        uid = geteuid();
        gid = getegid();
        int n = getgroups(0, nullptr);
        std::vector<gid_t> g(n > 0 ? size_t(n) : 0);
        n = n > 0 ? getgroups(n, g.data()) : 0;
        for (int i = 0; i < n; i++)
            groups.push_back(g[size_t(i)]);
        __user_cap_header_struct hdr{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (syscall(SYS_capget, &hdr, data) == 0)
            caps = uint64_t(data[0].effective) | (uint64_t(data[1].effective) << 32);
    } else {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        if (!in)
            return false;
        bool got_uid = false, got_gid = false;
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string key;
            fields >> key;
            unsigned long a, b;
            if (key == "Uid:" && fields >> a >> b) {
                uid = uint32_t(b);
                got_uid = true;
            } else if (key == "Gid:" && fields >> a >> b) {
                gid = uint32_t(b);
                got_gid = true;
            } else if (key == "Groups:") {
                while (fields >> a)
                    groups.push_back(uint32_t(a));
            } else if (key == "CapEff:") {
                std::string hex;
                fields >> hex;
                caps = std::strtoull(hex.c_str(), nullptr, 16);
            }
        }
        if (!got_uid || !got_gid)
            return false;
    }
    w = {header(1, 1), uid, header(2, 1), gid, header(3, uint32_t(groups.size()))};
    w.insert(w.end(), groups.begin(), groups.end());
    w.insert(w.end(), {header(0, 2), uint32_t(caps), uint32_t(caps >> 32)});
    return true;
}

std::string words_text(const std::vector<uint32_t> &w)
{
    std::string s;
    char t[16];
    for (uint32_t x : w) {
        std::snprintf(t, sizeof t, " %x", x);
        s += t;
    }
    return s;
}

// Kernel-defined names of one type, in value order (value = index + 1).
std::vector<std::string> names_of(int type)
{
    std::vector<std::string> recs, out;
    read_records(run_path(CREDS_NAMES_STATE), recs);
    std::string prefix = std::to_string(type) + " ";
    for (auto &r : recs)
        if (r.compare(0, prefix.size(), prefix) == 0)
            out.push_back(r.substr(prefix.size()));
    return out;
}

long name_value(int type, const std::string &name)
{
    auto names = names_of(type);
    auto it = std::find(names.begin(), names.end(), name);
    if (it != names.end())
        return long(it - names.begin()) + 1;
    std::string rec = std::to_string(type) + " " + name;
    if (append_record(run_path(CREDS_NAMES_STATE), rec.data(), rec.size()) < 0)
        return -1;
    return long(names_of(type).size());
}

// Id of a resource token named "a::b::c" (each inside the one before),
// or -1.
long token_value(const std::string &name)
{
    long owner = -1;
    size_t pos = 0;
    for (;;) {
        size_t end = name.find("::", pos);
        std::string part = name.substr(pos, end == std::string::npos ? end : end - pos);
        long found = restok_token_in(owner, part);
        if (found < 0 || part.empty())
            return -1;
        if (end == std::string::npos)
            return found;
        owner = found;
        pos = end + 2;
    }
}

int text_to_value(const std::string &text, uint32_t *value)
{
    if (text.compare(0, 5, "CAP::") == 0) {
        for (uint32_t i = 0; i < 34; i++)
            if (text.compare(5, std::string::npos, cap_names[i]) == 0) {
                *value = i;
                return 0;
            }
        return -ENOENT;
    }
    if (text.compare(0, 5, "AID::") == 0 && text.size() > 5) {
        long v = name_value(TYPE_AID, text.substr(5));
        if (v < 0)
            return -EIO;
        *value = uint32_t(v);
        return TYPE_AID;
    }
    // "SRC::name" is no name of its own: it is the token "name" defined
    // inside "SRC", the source's id, found with the other tokens below.
    std::string token = text.compare(0, 5, "GRP::") == 0 ? text.substr(5) : text;
    long id = token.empty() ? -1 : token_value(token);
    if (id > 0) {
        *value = uint32_t(id);
        return 3;
    }
    return -ENOENT;
}

int value_to_text(int type, uint32_t value, std::string &text)
{
    if (type == 0 && int32_t(value) >= 0) {
        text = value < 34 ? std::string("CAP::") + cap_names[value]
                          : "CAP::" + std::to_string(value);
        return 0;
    }
    if (type == TYPE_AID) {
        auto names = names_of(type);
        if (value >= 1 && value <= names.size()) {
            text = "AID::" + names[value - 1];
            return 0;
        }
    }
    return -ENOENT;
}

class read_file : public open_file {
public:
    int ioctl(unsigned long request, void *arg) override
    {
        if (!arg)
            return -EFAULT;
        switch (request) {
        case CREDS_IOC_TASK:
        case CREDS_IOC_PEER:
            return task(request, *static_cast<creds_task_request *>(arg));
        case CREDS_IOC_TO_TEXT:
            return to_text(*static_cast<creds_text_request *>(arg));
        case CREDS_IOC_FROM_TEXT:
            return from_text(*static_cast<creds_text_request *>(arg));
        default:
            record(CREDS_REQUESTS_STATE, hex_command(request) + " ?", -ENOTTY);
            return -ENOTTY;
        }
    }

private:
    int task(unsigned long request, const creds_task_request &r)
    {
        std::string text = hex_command(request) + " " + std::to_string(r.id) + " " +
                           std::to_string(r.room);
        int answer = task_answer(request, r);
        record(CREDS_REQUESTS_STATE, text, answer);
        return answer;
    }

    int task_answer(unsigned long request, const creds_task_request &r)
    {
        if (r.room < 0 || r.room > MAX_ROOM || (r.room > 0 && !r.list))
            return -EINVAL;
        pid_t pid = r.id;
        if (request == CREDS_IOC_PEER) {
            ucred peer{};
            socklen_t len = sizeof peer;
            if (getsockopt(r.id, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0)
                return -errno;
            pid = peer.pid;
        } else if (pid == 0) {
            pid = getpid();
        }
        std::vector<uint32_t> w;
        if (pid <= 0 || !creds_task_words(pid, w))
            return -ESRCH;
        if (long pad = fault("creds.pad"); pad > 0 && pad <= MAX_ROOM) {
            w.push_back(header(TYPE_PAD, uint32_t(pad - 1)));
            w.resize(w.size() + size_t(pad - 1), 0);
        }
        if (fault("creds.unfit"))
            return r.room + 1;
        // A header that claims one value more than the answer holds.
        if (fault("creds.broken"))
            w.push_back(header(TYPE_PAD, 1));
        size_t n = std::min(w.size(), size_t(r.room));
        std::copy(w.begin(), w.begin() + long(n), r.list);
        return int(w.size());
    }

    int to_text(const creds_text_request &r)
    {
        uint32_t value = r.value ? *r.value : 0;
        std::string text;
        int answer = r.value ? value_to_text(r.type, value, text) : -EFAULT;
        if (answer == 0) {
            // Copied like the kernel would: the text's bytes as far as
            // they go, no terminator.
            size_t n = std::min(text.size(), size_t(r.length));
            if (n && !r.text)
                answer = -EFAULT;
            else {
                std::memcpy(r.text, text.data(), n);
                answer = int(text.size());
            }
        }
        record(CREDS_REQUESTS_STATE,
               "0x89F1 " + std::to_string(r.type) + " " + std::to_string(r.length) + " " +
                   std::to_string(int32_t(value)),
               answer);
        return answer;
    }

    int from_text(const creds_text_request &r)
    {
        if (!r.value || (r.length && !r.text) || r.length > MAX_TEXT)
            return -EFAULT;
        std::string text(r.text ? r.text : "", r.length);
        uint32_t value = 0;
        int answer = text_to_value(text, &value);
        if (answer >= 0)
            *r.value = value;
        std::string rec = "0x89F2 " + std::to_string(r.type) + " " + std::to_string(r.length) +
                          " " + text;
        if (answer >= 0)
            rec += " = " + std::to_string(answer) + " " + std::to_string(int32_t(value));
        else
            rec += " = " + std::to_string(answer);
        append_record(run_path(CREDS_REQUESTS_STATE), rec.data(), rec.size());
        return answer;
    }
};

class creds_model : public model {
public:
    const char *name() const override { return "creds"; }
    bool serves(std::string_view path) const override { return path == CREDS_READ_FILE; }
    std::unique_ptr<open_file> open(const std::string &path, int, mode_t) override
    {
        long err = fault("creds.open");
        if (err || !placeholder_exists(path)) {
            errno = err > 1 ? int(err) : ENOENT;
            return nullptr;
        }
        return creds_read_file();
    }
};

model_registration<creds_model> registration;

// ks-sim creds [PID]: the credential words of the processes that had a set
// applied, or of one process.
int show_creds(const std::vector<std::string> &args, FILE *out)
{
    if (!args.empty()) {
        std::vector<uint32_t> w;
        if (!creds_task_words(pid_t(std::atoi(args[0].c_str())), w)) {
            std::fprintf(out, "no process %s\n", args[0].c_str());
            return 1;
        }
        std::fprintf(out, "%s:%s\n", args[0].c_str(), words_text(w).c_str());
        return 0;
    }
    std::vector<std::string> recs;
    read_records(run_path(CREDS_TASKS_STATE), recs);
    for (auto &r : recs)
        std::fprintf(out, "applied %s\n", r.c_str());
    recs.clear();
    read_records(run_path(CREDS_NAMES_STATE), recs);
    for (auto &r : recs)
        std::fprintf(out, "name %s\n", r.c_str());
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("creds", "credential sets the credentials module keeps", show_creds);
    }
} commands_registered;

}  // namespace

std::unique_ptr<open_file> creds_read_file() { return std::make_unique<read_file>(); }

bool creds_whole_entries(const uint32_t *words, size_t count)
{
    size_t i = 0;
    while (i < count) {
        size_t n = words[i] >> 16;
        if (n >= count - i)
            return false;
        i += 1 + n;
    }
    return true;
}

bool creds_task_words(pid_t pid, std::vector<uint32_t> &words)
{
    std::vector<std::string> recs;
    read_records(run_path(CREDS_TASKS_STATE), recs);
    bool applied = false;
    for (auto &r : recs) {
        std::istringstream in(r);
        long p;
        if (!(in >> p) || p != long(pid))
            continue;
        words.clear();
        for (std::string hex; in >> hex;)
            words.push_back(uint32_t(std::strtoul(hex.c_str(), nullptr, 16)));
        applied = true;
    }
    if (!applied && !base_words(pid, words))
        return false;
    // The token manager holds the "tcb" credential as a supplementary group.
    long tcb = restok_manager_value(pid);
    if (tcb > 0)
        creds_merge_words(words, {header(3, 1), uint32_t(tcb)});
    return true;
}

int creds_store_task(pid_t pid, const std::vector<uint32_t> &words)
{
    std::string rec = std::to_string(pid) + words_text(words);
    return append_record(run_path(CREDS_TASKS_STATE), rec.data(), rec.size());
}

void creds_merge_words(std::vector<uint32_t> &w, const std::vector<uint32_t> &add)
{
    size_t i = 0;
    while (i < add.size()) {
        uint32_t type = add[i] & 0xFFFF, count = add[i] >> 16;
        std::vector<uint32_t> values(add.begin() + long(i) + 1,
                                     add.begin() + long(i) + 1 + long(count));
        i += 1 + count;
        size_t at = find_entry(w, type);
        if (type > 3 || at == w.size()) {
            // Kernel-defined entries are kept as given; a missing entry of
            // a fixed type is appended whole.
            bool same = false;
            for (size_t j = 0; j < w.size(); j += 1 + (w[j] >> 16))
                if (w[j] == header(type, count) &&
                    std::equal(values.begin(), values.end(), w.begin() + long(j) + 1))
                    same = true;
            if (!same) {
                w.push_back(header(type, count));
                w.insert(w.end(), values.begin(), values.end());
            }
            continue;
        }
        uint32_t have = w[at] >> 16;
        if (type == 1 || type == 2) {
            w.erase(w.begin() + long(at), w.begin() + long(at) + 1 + have);
            w.push_back(header(type, count));
            w.insert(w.end(), values.begin(), values.end());
        } else if (type == 0) {
            for (uint32_t k = 0; k < count; k++) {
                if (k < have)
                    w[at + 1 + k] |= values[k];
            }
        } else {
            for (uint32_t v : values) {
                size_t n = w[at] >> 16;
                if (std::find(w.begin() + long(at) + 1, w.begin() + long(at) + 1 + long(n), v) !=
                    w.begin() + long(at) + 1 + long(n))
                    continue;
                if (n == 0xFFFF)
                    break;
                w.insert(w.begin() + long(at) + 1 + long(n), v);
                w[at] = header(3, uint32_t(n + 1));
            }
        }
    }
}

}  // namespace ks_sim
