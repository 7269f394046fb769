// The model registry and the state directory shared by the models: length-
// prefixed record files, whole state files, per-boot counters and faults.
#include "sim/model.h"

#include "sim/core/dispatch.h"
#include "sim/core/kept_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace ks_sim {

ssize_t open_file::read(void *, size_t) { return -EINVAL; }
ssize_t open_file::write(const void *, size_t) { return -EINVAL; }
off_t open_file::lseek(off_t, int) { return -ESPIPE; }
int open_file::ioctl(unsigned long, void *) { return -ENOTTY; }
int open_file::close() { return 0; }

namespace {

// The registries outlive every exit handler (never destroyed): programs
// open files while they exit too.
std::vector<model *> &registry()
{
    static auto *models = new std::vector<model *>;
    return *models;
}

std::vector<xattr_handler *> &xattr_registry()
{
    static auto *handlers = new std::vector<xattr_handler *>;
    return *handlers;
}

std::vector<command_info> &command_registry()
{
    static auto *cmds = new std::vector<command_info>;
    return *cmds;
}

// Made when the library loads, so that no call of the program's makes them
// (a fuzzer would count that allocation against the input it was running).
[[maybe_unused]] const bool registries_made =
    (registry(), xattr_registry(), command_registry(), true);

// Descriptor closed on every path.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
};

std::string resolve(const std::string &file)
{
    if (!file.empty() && file[0] == '/')
        return file;
    return state_path(file);
}

// Creates the missing directories above a state file.
void make_parents(const std::string &path)
{
    for (size_t i = 1; i < path.size(); i++) {
        if (path[i] != '/')
            continue;
        std::string dir = path.substr(0, i);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return;
    }
}

int open_locked(const std::string &path, int flags, int lock)
{
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT)) {
        make_parents(path);
        fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    }
    if (fd < 0)
        return -errno;
    while (::flock(fd, lock) != 0) {
        if (errno != EINTR) {
            int e = errno;
            ::close(fd);
            return -e;
        }
    }
    return fd;
}

int write_all(int fd, const void *data, size_t len)
{
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        p += n;
        len -= size_t(n);
    }
    return 0;
}

int read_all(int fd, std::string &out)
{
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -errno;
        }
        if (n == 0)
            return 0;
        out.append(buf, size_t(n));
    }
}

}  // namespace

void register_model(model *m) { registry().push_back(m); }

model *find_model(std::string_view path)
{
    for (model *m : registry())
        if (m->serves(path))
            return m;
    return nullptr;
}

void register_xattr_handler(xattr_handler *h) { xattr_registry().push_back(h); }

xattr_handler *find_xattr_handler(std::string_view name)
{
    for (xattr_handler *h : xattr_registry())
        if (h->serves(name))
            return h;
    return nullptr;
}

void register_command(const char *name, const char *help, command_fn fn)
{
    command_registry().push_back({name, help, fn});
}

const std::vector<command_info> &commands() { return command_registry(); }

namespace {

const char *state_dir_text()
{
    const char *s = std::getenv("KS_SIM_STATE");
    return (s && *s) ? s : "/.ks-sim";
}

}  // namespace

std::string state_dir() { return state_dir_text(); }

std::string state_path(const std::string &name) { return state_dir() + "/" + name; }

std::string run_path(const std::string &name) { return state_dir() + "/run/" + name; }

bool run_path_in(char *out, size_t size, const char *name)
{
    int n = std::snprintf(out, size, "%s/run/%s", state_dir_text(), name);
    return n >= 0 && size_t(n) < size;
}

namespace {

uint32_t le32(const char *p)
{
    uint32_t n = 0;
    for (int i = 0; i < 4; i++)
        n |= uint32_t(static_cast<unsigned char>(p[i])) << (8 * i);
    return n;
}

void put_le32(char *p, uint32_t n)
{
    for (int i = 0; i < 4; i++)
        p[i] = char((n >> (8 * i)) & 0xff);
}

// The whole file from its start, read with pread (the descriptor is kept
// and shared); size is the size fstat gave, a hint for the first read.
int pread_whole(int fd, off_t size, std::string &out)
{
    out.assign(size_t(size) + 1, '\0');
    size_t have = 0;
    for (;;) {
        if (have == out.size())
            out.resize(out.size() * 2);
        ssize_t n = ::pread(fd, &out[have], out.size() - have, off_t(have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        have += size_t(n);
        // A regular file reads short only at its end.
        if (n == 0 || have < out.size())
            break;
    }
    out.resize(have);
    return 0;
}

enum class parsed { whole, unfinished, broken };

parsed parse_records(const std::string &all, std::vector<std::string> &out)
{
    out.clear();
    size_t pos = 0;
    while (pos < all.size()) {
        if (all.size() - pos < 4)
            return parsed::unfinished;
        uint32_t n = le32(all.data() + pos);
        pos += 4;
        if (all.size() - pos < n)
            return parsed::unfinished;
        out.push_back(all.substr(pos, n));
        pos += n;
    }
    return parsed::whole;
}

}  // namespace

// One writev(2) of the length and the bytes on a descriptor opened with
// O_APPEND: the kernel places the record at the end as one piece, so
// appends of several processes never interleave and no lock is needed.
// Nothing is copied or allocated for an absolute file name (the simulated
// sleeps of a program's threads are recorded here as they run).
int append_record(std::string_view file, const void *data, size_t len)
{
    if (len > 0xffffffffu - 4)
        return -EFBIG;
    char prefix[4];
    put_le32(prefix, uint32_t(len));
    struct iovec parts[2] = {{prefix, sizeof prefix}, {const_cast<void *>(data), len}};
    std::string relative;
    if (file.empty() || file[0] != '/') {
        relative = state_path(std::string(file));
        file = relative;
    }
    kept_use use(file, O_WRONLY | O_CREAT | O_APPEND);
    if (use.fd() < 0)
        return use.fd();
    for (;;) {
        ssize_t w = ::writev(use.fd(), parts, 2);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0)
            return -errno;
        // Only a full disk or a file size limit cuts a small write short.
        return size_t(w) == sizeof prefix + len ? 0 : -ENOSPC;
    }
}

// Appenders take no lock, so a reader may meet the last record while its
// bytes are still being copied in: the file is read again, for up to half
// a second (a writer may be preempted mid-copy on a loaded machine),
// before a record cut short counts as a damaged file.
int read_records(const std::string &file, std::vector<std::string> &out)
{
    out.clear();
    kept_use use(resolve(file), O_RDONLY);
    if (use.fd() == -ENOENT)
        return 0;  // nothing recorded yet
    if (use.fd() < 0)
        return use.fd();
    constexpr int ATTEMPTS = 500;
    struct stat st = use.status();
    for (int attempt = 1;; attempt++) {
        if (attempt > 1 && ::fstat(use.fd(), &st) != 0)
            return -errno;
        std::string all;
        if (int r = pread_whole(use.fd(), st.st_size, all); r < 0)
            return r;
        if (parse_records(all, out) == parsed::whole)
            return 0;
        if (attempt == ATTEMPTS) {
            out.clear();
            return -EBADMSG;
        }
        real::nanosleep_ns(1000000);
    }
}

int read_state(const std::string &file, std::string &out)
{
    out.clear();
    int fd = open_locked(resolve(file), O_RDONLY, LOCK_SH);
    if (fd < 0)
        return fd;
    fd_guard g(fd);
    return read_all(fd, out);
}

int write_state(const std::string &file, const std::string &data)
{
    int fd = open_locked(resolve(file), O_WRONLY | O_CREAT, LOCK_EX);
    if (fd < 0)
        return fd;
    fd_guard g(fd);
    if (::ftruncate(fd, 0) != 0)
        return -errno;
    return write_all(fd, data.data(), data.size());
}

namespace {

// The counters file is a table of 64-byte slots {64-bit value, 32-bit name
// length, name} (little-endian), shared by every process of the boot
// through a shared mapping: a count is one atomic addition in memory. A
// slot is claimed under flock, its name written before its length, so a
// process that sees the length sees the name. The table has a fixed size;
// a file found shorter (a test emptied it to start the counts again) is
// cleared to the table's size first. Counting into a file that another
// process truncates at that very moment is not supported.
constexpr size_t SLOT = 64;
constexpr size_t NAME_ROOM = SLOT - 12;
constexpr size_t TABLE = 64 * SLOT;

struct counter_table {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    unsigned char *at = nullptr;
};

std::mutex tables_lock;
std::vector<counter_table> &tables()
{
    static auto *t = new std::vector<counter_table>;
    return *t;
}

// The mapping of the file behind the checked descriptor, made anew when
// the file was replaced; null when it cannot be mapped.
unsigned char *mapped_table(const std::string &path, int fd, const struct stat &st)
{
    std::lock_guard<std::mutex> g(tables_lock);
    counter_table *t = nullptr;
    for (auto &c : tables())
        if (c.path == path)
            t = &c;
    if (!t) {
        tables().push_back(counter_table{path});
        t = &tables().back();
    }
    if (t->at && t->dev == st.st_dev && t->ino == st.st_ino)
        return t->at;
    if (t->at)
        ::munmap(t->at, TABLE);
    t->at = nullptr;
    void *m = ::mmap(nullptr, TABLE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED)
        return nullptr;
    t->at = static_cast<unsigned char *>(m);
    t->dev = st.st_dev;
    t->ino = st.st_ino;
    return t->at;
}

uint32_t slot_length(const unsigned char *slot)
{
    return __atomic_load_n(reinterpret_cast<const uint32_t *>(slot + 8), __ATOMIC_ACQUIRE);
}

enum class counted { done, no_slot, failed };

// Adds one to the name's slot in the shared table; no_slot when the table
// is too short or holds no slot of that name.
counted count_in_table(const std::string &path, const std::string &name, long *value)
{
    kept_use use(path, O_RDWR | O_CREAT);
    if (use.fd() < 0) {
        *value = use.fd();
        return counted::failed;
    }
    if (size_t(use.status().st_size) < TABLE)
        return counted::no_slot;
    unsigned char *table = mapped_table(path, use.fd(), use.status());
    if (!table) {
        *value = -errno;
        return counted::failed;
    }
    for (size_t at = 0; at < TABLE; at += SLOT) {
        uint32_t n = slot_length(table + at);
        if (n == 0)
            return counted::no_slot;
        if (n == name.size() && std::memcmp(table + at + 12, name.data(), n) == 0) {
            auto *v = reinterpret_cast<uint64_t *>(table + at);
            *value = long(__atomic_add_fetch(v, 1, __ATOMIC_ACQ_REL));
            return counted::done;
        }
    }
    *value = -ENOSPC;
    return counted::failed;
}

// Under flock: brings the table to its size and claims a slot for the
// name unless one holds it already.
int claim_slot(const std::string &path, const std::string &name)
{
    kept_use use(path, O_RDWR | O_CREAT, true);
    int fd = use.fd();
    if (fd < 0)
        return fd;
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return -errno;
    struct stat st;
    int r = ::fstat(fd, &st) != 0 ? -errno : 0;
    if (r == 0 && size_t(st.st_size) < TABLE) {
        // Emptied or new: every count starts again.
        if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, off_t(TABLE)) != 0)
            r = -errno;
    }
    std::string all;
    if (r == 0)
        r = pread_whole(fd, off_t(TABLE), all);
    if (r == 0 && all.size() < TABLE)
        r = -EIO;
    for (size_t at = 0; r == 0 && at < TABLE; at += SLOT) {
        uint32_t n = le32(all.data() + at + 8);
        if (n == name.size() && all.compare(at + 12, n, name) == 0)
            break;
        if (n != 0)
            continue;
        char len[4];
        put_le32(len, uint32_t(name.size()));
        if (::pwrite(fd, name.data(), name.size(), off_t(at + 12)) != ssize_t(name.size()) ||
            ::pwrite(fd, len, 4, off_t(at + 8)) != 4)
            r = errno ? -errno : -EIO;
        break;
    }
    ::flock(fd, LOCK_UN);
    return r;
}

}  // namespace

long bump_counter(const std::string &name)
{
    if (name.empty() || name.size() > NAME_ROOM)
        return -ENAMETOOLONG;
    std::string path = run_path("counters");
    for (int attempt = 0; attempt < 3; attempt++) {
        long value;
        switch (count_in_table(path, name, &value)) {
        case counted::done:
        case counted::failed:
            return value;
        case counted::no_slot:
            if (int r = claim_slot(path, name); r < 0)
                return r;
            break;
        }
    }
    return -EAGAIN;
}

bool placeholder_exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

// The faults file as this thread last read it. Models ask for faults on
// every request, often several times: within one simulated call the text
// read at its first question serves the rest of it. A new call looks at
// the file's status again; its text is read again only when that changed,
// or while its last change is so recent that a further change could keep
// the same time stamps (they advance in clock ticks).
struct faults_copy {
    std::string path;
    struct stat st {};
    bool settled = false;
    bool exists = false;
    uint64_t request = 0;
    std::string text;
};

bool same_status(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether the change time lies at least this far in the past.
bool settled_since(const struct stat &st)
{
    constexpr long long SETTLE_NS = 200000000;  // far above any clock tick
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return false;
    long long age = (now.tv_sec - st.st_ctim.tv_sec) * 1000000000LL +
                    (now.tv_nsec - st.st_ctim.tv_nsec);
    return age >= SETTLE_NS;
}

// The text of the faults file; false when there is none.
bool faults_text(std::string &out)
{
    thread_local faults_copy copy;
    std::string path = state_path("faults");
    uint64_t request = current_request();
    if (request != 0 && copy.request == request && copy.path == path) {
        out = copy.text;
        return copy.exists;
    }
    copy.request = 0;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        copy = faults_copy{path, {}, false, false, request, ""};
        return false;
    }
    if (!(copy.exists && copy.settled && copy.path == path && same_status(copy.st, st))) {
        copy.exists = false;
        if (read_state("faults", copy.text) < 0)
            return false;
        copy.exists = true;
        copy.st = st;
        copy.settled = settled_since(st);
    }
    copy.path = path;
    copy.request = request;
    out = copy.text;
    return true;
}

}  // namespace

long fault(const std::string &name)
{
    std::string all;
    if (!faults_text(all))
        return 0;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(pos, end - pos);
        pos = end + 1;
        if (line == name)
            return 1;
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
            line[name.size()] == '=')
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 0);
    }
    return 0;
}

}  // namespace ks_sim
