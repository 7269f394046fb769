// The simulated resource-token module (see restok_tokens.h).
#include "sim/models/restok_tokens.h"

#include "sim/core/kept_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace ks_sim {

namespace {

// The record as the program passes it.
struct token_request {
    int32_t word0;
    int32_t word1;
    uintptr_t word2;
};

constexpr size_t MAX_NAME = 4096;

// Serialises the read-decide-append of a definition across processes
// (and, through the kept file's own lock, across threads).
class tree_lock {
public:
    tree_lock() : use_(run_path("restok.lock"), O_RDWR | O_CREAT, true)
    {
        if (use_.fd() >= 0)
            while (flock(use_.fd(), LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~tree_lock()
    {
        if (use_.fd() >= 0)
            flock(use_.fd(), LOCK_UN);
    }
    tree_lock(const tree_lock &) = delete;
    tree_lock &operator=(const tree_lock &) = delete;

private:
    kept_use use_;
};

bool parse_token(const std::string &rec, restok_token &t)
{
    size_t a = rec.find(' ');
    if (a == std::string::npos)
        return false;
    size_t b = rec.find(' ', a + 1);
    if (b == std::string::npos)
        return false;
    t.id = std::strtol(rec.substr(0, a).c_str(), nullptr, 10);
    t.owner = std::strtol(rec.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
    t.name = rec.substr(b + 1);
    return true;
}

void record_request(const std::string &text, long answer, int err)
{
    std::string rec = text + " = " + std::to_string(answer);
    if (answer < 0)
        rec += std::string(" (") + std::strerror(err) + ")";
    append_record(run_path(RESTOK_REQUESTS_STATE), rec.data(), rec.size());
}

std::string hex_command(unsigned long request)
{
    char t[16];
    std::snprintf(t, sizeof t, "0x%lX", request);
    return t;
}

// The token tree of this boot as an index, brought up to date from the
// tokens file before each request: the file only grows within a boot, so
// only the records appended since the last request are read. A file that
// was replaced (another inode, shorter, or a different record where the
// last one read was) is read again from the start.
class token_index {
public:
    void sync()
    {
        std::string path = run_path(RESTOK_TOKENS_STATE);
        kept_use use(path, O_RDONLY);
        if (use.fd() < 0) {
            reset();
            return;
        }
        int fd = use.fd();
        const struct stat &st = use.status();
        if (path == path_ && st.st_dev == dev_ && st.st_ino == ino_ &&
            st.st_size == off_t(read_to_))
            return;  // nothing appended since
        if (path != path_ || st.st_dev != dev_ || st.st_ino != ino_ ||
            st.st_size < off_t(read_to_) || !last_record_still_there(fd)) {
            reset();
            path_ = path;
            dev_ = st.st_dev;
            ino_ = st.st_ino;
        }
        std::string more;
        char buf[8192];
        for (off_t at = off_t(read_to_);;) {
            ssize_t n = ::pread(fd, buf, sizeof buf, at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            more.append(buf, size_t(n));
            at += n;
            if (size_t(n) < sizeof buf)
                break;  // a regular file reads short only at its end
        }
        size_t pos = 0;
        while (more.size() - pos >= 4) {
            uint32_t n = 0;
            for (int i = 0; i < 4; i++)
                n |= uint32_t(static_cast<unsigned char>(more[pos + size_t(i)])) << (8 * i);
            if (more.size() - pos - 4 < n)
                break;  // still being written
            add(more.substr(pos + 4, n));
            last_at_ = read_to_ + pos;
            last_ = more.substr(pos, 4 + size_t(n));
            pos += 4 + n;
        }
        read_to_ += pos;
    }

    long count() const { return count_; }
    bool has_id(long id) const { return ids_.count(id) != 0; }
    // Whether id is the id of a token named "tcb".
    bool is_tcb(long id) const { return tcb_ids_.count(id) != 0; }
    // The id of the token of that name under the owner, or 0.
    long find(long owner, const std::string &name) const
    {
        auto it = by_owner_.find(key(owner, name));
        return it == by_owner_.end() ? 0 : it->second;
    }
    // The lowest id of a token of that name, or 0.
    long first(const std::string &name) const
    {
        auto it = by_name_.find(name);
        return it == by_name_.end() ? 0 : it->second;
    }

private:
    static std::string key(long owner, const std::string &name)
    {
        return std::to_string(owner) + ' ' + name;
    }
    void add(const std::string &rec)
    {
        restok_token t;
        if (!parse_token(rec, t))
            return;
        count_++;
        ids_.insert(t.id);
        by_owner_.emplace(key(t.owner, t.name), t.id);
        by_name_.emplace(t.name, t.id);
        if (t.name == "tcb")
            tcb_ids_.insert(t.id);
    }
    void reset()
    {
        path_.clear();
        read_to_ = 0;
        last_.clear();
        count_ = 0;
        ids_.clear();
        by_owner_.clear();
        by_name_.clear();
        tcb_ids_.clear();
    }
    bool last_record_still_there(int fd) const
    {
        if (last_.empty())
            return true;
        std::string now(last_.size(), '\0');
        return ::pread(fd, &now[0], now.size(), off_t(last_at_)) == ssize_t(now.size()) &&
               now == last_;
    }

    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    size_t read_to_ = 0;
    size_t last_at_ = 0;
    std::string last_;
    long count_ = 0;
    std::unordered_set<long> ids_;
    std::unordered_set<long> tcb_ids_;
    std::unordered_map<std::string, long> by_owner_;
    std::unordered_map<std::string, long> by_name_;
};

token_index &tokens_now()
{
    thread_local token_index index;
    index.sync();
    return index;
}

// Lookups take no lock: the index takes in only whole records, and a
// definition appends its record in one piece.
int lookup(const std::string &name)
{
    long id = tokens_now().first(name);
    return id > 0 ? int(id) : -ENOENT;
}

int define(long owner, const std::string &name)
{
    if (owner == 0 && name.empty()) {
        if (fault("restok.root_fails"))
            return -EPERM;
        if (fault("restok.root_zero"))
            return 0;
    }
    if (name == "tcb" && fault("restok.tcb_fails"))
        return -EPERM;
    tree_lock lock;
    token_index &tree = tokens_now();
    if (long id = tree.find(owner, name))
        return int(id);
    if (owner != 0 && !tree.has_id(owner))
        return -ENOENT;
    long nth = bump_counter("restok.new");
    if (fault("restok.new_zero") == nth)
        return 0;
    if (fault("restok.new_fails") == nth)
        return -EINVAL;
    long id = tree.count() + 1;
    std::string rec = std::to_string(id) + " " + std::to_string(owner) + " " + name;
    int rc = append_record(run_path(RESTOK_TOKENS_STATE), rec.data(), rec.size());
    return rc < 0 ? rc : int(id);
}

int become_manager(long value)
{
    if (fault("restok.manager_refuses"))
        return -EPERM;
    bool is_tcb;
    {
        tree_lock lock;
        token_index &tree = tokens_now();
        is_tcb = tree.is_tcb(value);
    }
    if (!is_tcb)
        return -EPERM;
    std::string rec = std::to_string(getpid()) + " " + std::to_string(value);
    int rc = append_record(run_path(RESTOK_MANAGER_STATE), rec.data(), rec.size());
    return rc < 0 ? rc : 0;
}

class tokens_file : public open_file {
public:
    int ioctl(unsigned long request, void *arg) override
    {
        if (!arg)
            return -EFAULT;
        token_request r;
        std::memcpy(&r, arg, sizeof r);
        std::string text = hex_command(request);
        int answer;
        switch (request) {
        case 0x89F0:
        case 0x89F1: {
            if (r.word1 < 0 || size_t(r.word1) > MAX_NAME) {
                answer = -EINVAL;
                text += " " + std::to_string(r.word0) + " " + std::to_string(r.word1);
                break;
            }
            if (r.word1 > 0 && r.word2 == 0) {
                answer = -EFAULT;
                text += " " + std::to_string(r.word0) + " " + std::to_string(r.word1);
                break;
            }
            std::string name(reinterpret_cast<const char *>(r.word2), size_t(r.word1));
            text += " " + std::to_string(r.word0) + " " + std::to_string(r.word1) + " " + name;
            answer = request == 0x89F0 ? lookup(name) : define(r.word0, name);
            break;
        }
        case 0x89F2:
            text += " " + std::to_string(r.word0) + " " + std::to_string(r.word1) + " " +
                    std::to_string(int32_t(uint32_t(r.word2)));
            answer = 0;
            break;
        case 0x89F3:
            text += " " + std::to_string(r.word0) + " " + std::to_string(r.word1) + " " +
                    std::to_string(int32_t(uint32_t(r.word2)));
            answer = become_manager(r.word0);
            break;
        default:
            text += " ?";
            answer = -ENOTTY;
            break;
        }
        record_request(text, answer, -answer);
        return answer;
    }
};

model_registration<restok_tokens_model> registration;

// ks-sim restok: the token tree and the manager registrations of this boot.
int show_tokens(const std::vector<std::string> &, FILE *out)
{
    for (auto &t : restok_tokens())
        std::fprintf(out, "token %ld in %ld \"%s\"\n", t.id, t.owner, t.name.c_str());
    std::vector<std::string> recs;
    read_records(run_path(RESTOK_MANAGER_STATE), recs);
    for (auto &r : recs)
        std::fprintf(out, "manager %s\n", r.c_str());
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("restok", "token tree and manager of the resource-token module",
                         show_tokens);
    }
} commands_registered;

}  // namespace

const char *restok_tokens_model::name() const { return "restok"; }

bool restok_tokens_model::serves(std::string_view path) const
{
    return path == RESTOK_TOKENS_FILE;
}

std::unique_ptr<open_file> restok_tokens_model::open(const std::string &, int, mode_t)
{
    long err = fault("restok.open");
    if (err) {
        errno = err > 1 ? int(err) : ENOENT;
        return nullptr;
    }
    return std::make_unique<tokens_file>();
}

std::vector<restok_token> restok_tokens()
{
    std::vector<std::string> recs;
    std::vector<restok_token> out;
    if (read_records(run_path(RESTOK_TOKENS_STATE), recs) < 0)
        return out;
    for (auto &r : recs) {
        restok_token t;
        if (parse_token(r, t))
            out.push_back(t);
    }
    return out;
}

long restok_token_in(long owner, const std::string &name)
{
    token_index &tree = tokens_now();
    long id = owner < 0 ? tree.first(name) : tree.find(owner, name);
    return id > 0 ? id : -1;
}

long restok_token_id(const std::string &name)
{
    for (auto &t : restok_tokens())
        if (t.name == name)
            return t.id;
    return -1;
}

long restok_manager_value(pid_t pid)
{
    std::vector<std::string> recs;
    long value = -1;
    if (read_records(run_path(RESTOK_MANAGER_STATE), recs) < 0)
        return -1;
    for (auto &r : recs) {
        long p = -1, v = -1;
        if (std::sscanf(r.c_str(), "%ld %ld", &p, &v) == 2 && p == long(pid))
            value = v;
    }
    return value;
}

}  // namespace ks_sim
