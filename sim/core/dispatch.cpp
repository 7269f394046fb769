// Routes the simulated paths and the descriptors opened on them to the
// device models; everything else goes back to the C library.
#include "sim/core/dispatch.h"

#include "sim/model.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace ks_sim {

namespace {

// Time spent in the simulator, for the benchmarks: with KS_SIM_PROFILE in
// the environment every call routed through here is timed, whether or not
// a model serves it. A process reads its own figures with
// ks_sim_profile(); KS_SIM_PROFILE naming a file makes each process add
// "PID CALLS NANOSECONDS" to that file when it exits.
std::atomic<int64_t> spent_ns{0};
std::atomic<int64_t> spent_calls{0};
// Of spent_ns, what the descriptors the program gets cost: the memfd made
// for an open and its close, the system calls a device's kernel makes for
// an open and a close as well.
std::atomic<int64_t> descriptor_ns{0};

bool profiling()
{
    static const bool on = std::getenv("KS_SIM_PROFILE") != nullptr;
    return on;
}

int64_t now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Runs a system call for the program's descriptor, timed apart.
template <class F>
int descriptor_call(F f)
{
    if (!profiling())
        return f();
    int64_t t0 = now_ns();
    int r = f();
    descriptor_ns += now_ns() - t0;
    return r;
}

// The outermost simulated call of this thread is one request: it is timed
// (the models' own file accesses come back through the interposer and are
// part of it) and numbered, so that a model reads the faults once per
// request.
thread_local int timed_depth = 0;
thread_local uint64_t request_number = 0;
thread_local uint64_t requests_begun = 0;

class timed {
public:
    timed()
    {
        if (timed_depth++ == 0) {
            request_number = ++requests_begun;
            start_ = profiling() ? now_ns() : -1;
        }
    }
    ~timed()
    {
        if (--timed_depth != 0)
            return;
        request_number = 0;
        if (start_ < 0)
            return;
        spent_ns += now_ns() - start_;
        spent_calls++;
    }
    timed(const timed &) = delete;
    timed &operator=(const timed &) = delete;

private:
    int64_t start_ = -1;
};

// One open of a simulated path, shared by its duplicated descriptors.
struct entry {
    std::unique_ptr<open_file> file;
    std::string path;
    int refs = 1;
};

std::mutex table_lock;
std::map<int, std::shared_ptr<entry>> &table()
{
    static auto *t = new std::map<int, std::shared_ptr<entry>>;  // outlives exit handlers
    return *t;
}

std::shared_ptr<entry> lookup(int fd)
{
    std::lock_guard<std::mutex> g(table_lock);
    auto it = table().find(fd);
    return it == table().end() ? nullptr : it->second;
}

template <class T>
T fail(long r, T value = -1)
{
    errno = int(-r);
    return value;
}

// Releases one reference; the model's close runs at the last one.
int release(const std::shared_ptr<entry> &e)
{
    bool last;
    {
        std::lock_guard<std::mutex> g(table_lock);
        last = --e->refs == 0;
    }
    return last ? e->file->close() : 0;
}

// Simulated paths are served inside the sandbox, or where a state
// directory was named explicitly. Anywhere else (the library preloaded by
// mistake on the host) they are refused: neither the real device files
// nor a state directory at the host's root are ever touched.
bool simulation_allowed()
{
    const char *state = std::getenv("KS_SIM_STATE");
    return in_sandbox() || (state && *state);
}

// Only a served path is copied (the model takes a string).
std::unique_ptr<open_file> model_open(const char *path, int flags, unsigned mode, bool *served)
{
    model *m = find_model(path);
    *served = m != nullptr;
    if (!m)
        return nullptr;
    if (!simulation_allowed()) {
        errno = EPERM;
        return nullptr;
    }
    errno = 0;
    auto f = m->open(path, flags, mode_t(mode));
    if (!f && errno == 0)
        errno = EACCES;
    return f;
}

// stdio streams on simulated files. The stream also carries the memfd
// descriptor of the open as its fileno, registered like any simulated
// descriptor, so that code reading or writing through fileno() (the C++
// file streams do) reaches the model as well.
struct stream_cookie {
    std::shared_ptr<entry> e;
    int fd;
};

// The open streams' cookies, reachable from here while the stream lives
// (a stream kept open until the process ends is no leak).
std::set<stream_cookie *> &live_cookies()
{
    static auto *s = new std::set<stream_cookie *>;
    return *s;
}

// Made when the library loads, so that no call of the program's makes them
// (a fuzzer would count that allocation against the input it was running).
[[maybe_unused]] const bool tables_made = (table(), live_cookies(), true);

ssize_t cookie_read(void *c, char *buf, size_t len)
{
    const timed spent;
    ssize_t r = static_cast<stream_cookie *>(c)->e->file->read(buf, len);
    return r < 0 ? fail<ssize_t>(r) : r;
}

ssize_t cookie_write(void *c, const char *buf, size_t len)
{
    const timed spent;
    ssize_t r = static_cast<stream_cookie *>(c)->e->file->write(buf, len);
    return r < 0 ? fail<ssize_t>(r) : r;
}

int cookie_seek(void *c, off64_t *offset, int whence)
{
    off_t r = static_cast<stream_cookie *>(c)->e->file->lseek(off_t(*offset), whence);
    if (r < 0)
        return fail<int>(r);
    *offset = r;
    return 0;
}

int cookie_close(void *c)
{
    auto *k = static_cast<stream_cookie *>(c);
    std::shared_ptr<entry> fd_ref;
    {
        std::lock_guard<std::mutex> g(table_lock);
        auto it = table().find(k->fd);
        if (it != table().end() && it->second == k->e) {
            fd_ref = it->second;
            table().erase(it);
        }
    }
    int r = 0;
    if (fd_ref)
        r = release(fd_ref);
    int r2 = release(k->e);
    if (r == 0)
        r = r2;
    // A descriptor the program closed itself may already be another file's.
    if (fd_ref)
        real::close(k->fd);
    {
        std::lock_guard<std::mutex> g(table_lock);
        live_cookies().erase(k);
    }
    delete k;
    return r < 0 ? fail<int>(r) : 0;
}

// A stdio stream over a simulated open. The cookie stream knows nothing of
// the 'e' and 'x' letters, and the model has the append flag already (a
// cookie stream in "a" mode would seek to the end before each write, which
// devices refuse).
FILE *open_cookie_stream(stream_cookie *k, const char *mode)
{
    cookie_io_functions_t io = {cookie_read, cookie_write, cookie_seek, cookie_close};
    char m[4] = {mode[0] == 'a' ? 'w' : mode[0], 0, 0, 0};
    if (std::strchr(mode, '+'))
        m[1] = '+';
    return ::fopencookie(k, m, io);
}

int flags_of_mode(const char *mode)
{
    int flags;
    switch (mode[0]) {
    case 'r': flags = O_RDONLY; break;
    case 'w': flags = O_WRONLY | O_CREAT | O_TRUNC; break;
    case 'a': flags = O_WRONLY | O_CREAT | O_APPEND; break;
    default: return -1;
    }
    for (const char *p = mode + 1; *p && *p != ','; p++) {
        if (*p == '+')
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        else if (*p == 'e')
            flags |= O_CLOEXEC;
        else if (*p == 'x')
            flags |= O_EXCL;
    }
    return flags;
}

std::string record_text(const char *source, const char *target, const char *type,
                        unsigned long flags, const void *data, int result)
{
    char f[32];
    std::snprintf(f, sizeof f, "0x%lx", flags);
    std::string s = "mount ";
    s += source ? source : "(null)";
    s += " ";
    s += target ? target : "(null)";
    s += " ";
    s += type ? type : "(null)";
    s += " ";
    s += f;
    s += " ";
    s += data ? static_cast<const char *>(data) : "";
    s += " -> " + std::to_string(result);
    return s;
}

// A fresh procfs brings the real sysrq trigger and kernel settings back:
// cover the trigger with /dev/null and make /proc/sys read-only, or take
// the procfs away again.
int guard_procfs(const std::string &t)
{
    std::string trigger = t + "/sysrq-trigger";
    std::string sys = t + "/sys";
    bool ok = true;
    if (placeholder_exists(trigger))
        ok = real::mount("/dev/null", trigger.c_str(), nullptr, MS_BIND, nullptr) == 0;
    ok = ok && real::mount(sys.c_str(), sys.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
         real::mount(nullptr, sys.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    if (ok)
        return 0;
    int e = errno;
    real::umount2(t.c_str(), MNT_DETACH);
    errno = e;
    return -1;
}

}  // namespace

uint64_t current_request() { return request_number; }

namespace {

// An absolute path without empty, "." or ".." parts (the paths programs
// mostly open) is its own normal form.
bool already_normal(const char *p)
{
    if (p[0] != '/')
        return false;
    for (const char *s = p; *s; s++) {
        if (*s != '/')
            continue;
        const char *n = s + 1;
        if (*n == '/' || (*n == '\0' && s != p))
            return false;
        if (n[0] == '.' && (n[1] == '/' || n[1] == '\0'))
            return false;
        if (n[0] == '.' && n[1] == '.' && (n[2] == '/' || n[2] == '\0'))
            return false;
    }
    return true;
}

}  // namespace

bool normalise_path(int dirfd, const char *path, char (&out)[PATH_MAX])
{
    // A path of PATH_MAX or more the kernel refuses: it goes on to the
    // real call, which says so.
    size_t len = ::strnlen(path, PATH_MAX);
    if (len >= PATH_MAX)
        return false;
    if (already_normal(path)) {
        std::memcpy(out, path, len + 1);
        return true;
    }
    // The base directory (shorter than PATH_MAX), a slash and the path,
    // normalised in place: the normal form is never longer.
    char full[2 * PATH_MAX + 1];
    size_t n = 0;
    if (path[0] != '/') {
        if (dirfd == AT_FDCWD) {
            if (!::getcwd(full, PATH_MAX))
                return false;
            n = std::strlen(full);
        } else {
            char link[32];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
            ssize_t r = ::readlink(link, full, PATH_MAX - 1);
            if (r < 0)
                return false;
            n = size_t(r);
        }
        if (n == 0 || full[0] != '/')
            return false;  // no directory of the file system ("pipe:[...]")
        full[n++] = '/';
    }
    std::memcpy(full + n, path, len + 1);
    // Each part is written back as "/part", never past where it was read;
    // ".." takes the last one off again.
    size_t o = 0;
    for (const char *s = full; *s;) {
        while (*s == '/')
            s++;
        const char *e = s;
        while (*e && *e != '/')
            e++;
        size_t k = size_t(e - s);
        if (k == 2 && s[0] == '.' && s[1] == '.') {
            while (o > 0 && full[o - 1] != '/')
                o--;
            if (o > 0)
                o--;
        } else if (k > 0 && !(k == 1 && s[0] == '.')) {
            full[o++] = '/';
            std::memmove(full + o, s, k);
            o += k;
        }
        s = e;
    }
    if (o == 0)
        full[o++] = '/';
    if (o >= sizeof out)
        return false;  // no model serves so long a path
    std::memcpy(out, full, o);
    out[o] = '\0';
    return true;
}

std::string normalise_path(int dirfd, const char *path)
{
    char p[PATH_MAX];
    return normalise_path(dirfd, path, p) ? std::string(p) : std::string(path);
}

bool in_sandbox()
{
    static int cached = -1;
    if (cached < 0) {
        const char *want = std::getenv("KS_SIM_SANDBOX");
        char ns[64];
        ssize_t n = ::readlink("/proc/self/ns/mnt", ns, sizeof ns - 1);
        if (n >= 0)
            ns[n] = '\0';
        cached = (want && *want && n > 0 && std::strcmp(ns, want) == 0) ? 1 : 0;
    }
    return cached == 1;
}

namespace dispatch {

namespace {

// The file an attribute call names: the path, or the descriptor's file
// when the call takes a descriptor. False when the file cannot be found
// (the call then goes to the real file system).
bool xattr_target(const char *path, int fd, std::string &p)
{
    char buf[PATH_MAX];
    if (path) {
        if (!normalise_path(AT_FDCWD, path, buf))
            return false;
        p = buf;
        return true;
    }
    char link[32];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, buf, sizeof buf - 1);
    if (n < 0)
        return false;
    p.assign(buf, size_t(n));
    return true;
}

// The name of the memfd behind a simulated open: "ks-sim:" and the path,
// cut to the kernel's limit for such names.
struct memfd_name {
    explicit memfd_name(const char *path)
    {
        static const char prefix[] = "ks-sim:";
        size_t n = ::strnlen(path, sizeof text - sizeof prefix);
        std::memcpy(text, prefix, sizeof prefix - 1);
        std::memcpy(text + sizeof prefix - 1, path, n);
        text[sizeof prefix - 1 + n] = '\0';
    }
    char text[250];
};

}  // namespace

bool open(int dirfd, const char *path, int flags, unsigned mode, int *result)
{
    const timed spent;
    char p[PATH_MAX];
    if (!path || !normalise_path(dirfd, path, p))
        return false;
    bool served;
    auto f = model_open(p, flags, mode, &served);
    if (!served)
        return false;
    if (!f) {
        *result = -1;
        return true;
    }
    const memfd_name name(p);
    int fd = descriptor_call(
        [&] { return ::memfd_create(name.text, (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0); });
    if (fd < 0) {
        int e = errno;
        f->close();
        errno = e;
        *result = -1;
        return true;
    }
    auto e = std::make_shared<entry>();
    e->file = std::move(f);
    e->path = p;
    {
        std::lock_guard<std::mutex> g(table_lock);
        table()[fd] = e;
    }
    *result = fd;
    return true;
}

bool read(int fd, void *buf, size_t len, int64_t *result)
{
    const timed spent;
    auto e = lookup(fd);
    if (!e)
        return false;
    ssize_t r = e->file->read(buf, len);
    *result = r < 0 ? fail<int64_t>(r) : r;
    return true;
}

bool write(int fd, const void *buf, size_t len, int64_t *result)
{
    const timed spent;
    auto e = lookup(fd);
    if (!e)
        return false;
    ssize_t r = e->file->write(buf, len);
    *result = r < 0 ? fail<int64_t>(r) : r;
    return true;
}

// Positioned transfers: seek, transfer, seek back, as far as the model can.
template <class Transfer>
bool positioned(int fd, int64_t offset, int64_t *result, Transfer transfer)
{
    const timed spent;
    auto e = lookup(fd);
    if (!e)
        return false;
    off_t here = e->file->lseek(0, SEEK_CUR);
    off_t r = here < 0 ? here : e->file->lseek(off_t(offset), SEEK_SET);
    if (r < 0) {
        *result = fail<int64_t>(r);
        return true;
    }
    ssize_t n = transfer(*e->file);
    e->file->lseek(here, SEEK_SET);
    *result = n < 0 ? fail<int64_t>(n) : n;
    return true;
}

bool pread(int fd, void *buf, size_t len, int64_t offset, int64_t *result)
{
    return positioned(fd, offset, result, [&](auto &f) { return f.read(buf, len); });
}

bool pwrite(int fd, const void *buf, size_t len, int64_t offset, int64_t *result)
{
    return positioned(fd, offset, result, [&](auto &f) { return f.write(buf, len); });
}

bool lseek(int fd, int64_t offset, int whence, int64_t *result)
{
    const timed spent;
    auto e = lookup(fd);
    if (!e)
        return false;
    off_t r = e->file->lseek(off_t(offset), whence);
    *result = r < 0 ? fail<int64_t>(r) : r;
    return true;
}

bool ioctl(int fd, unsigned long request, void *arg, int *result)
{
    const timed spent;
    auto e = lookup(fd);
    if (!e)
        return false;
    int r = e->file->ioctl(request, arg);
    *result = r < 0 ? fail<int>(r) : r;
    return true;
}

bool close(int fd, int *result)
{
    const timed spent;
    std::shared_ptr<entry> e;
    {
        std::lock_guard<std::mutex> g(table_lock);
        auto it = table().find(fd);
        if (it == table().end())
            return false;
        e = it->second;
        table().erase(it);
    }
    int r = release(e);
    int c = descriptor_call([&] { return real::close(fd); });
    if (r < 0)
        *result = fail<int>(r);
    else
        *result = c;
    return true;
}

void duplicated(int oldfd, int newfd)
{
    if (newfd < 0 || oldfd == newfd)
        return;
    std::shared_ptr<entry> replaced;
    {
        std::lock_guard<std::mutex> g(table_lock);
        auto it = table().find(newfd);
        if (it != table().end()) {  // dup2 over a simulated descriptor closes it
            replaced = it->second;
            table().erase(it);
        }
        auto old = table().find(oldfd);
        if (old != table().end()) {
            old->second->refs++;
            table()[newfd] = old->second;
        }
    }
    if (replaced)
        release(replaced);
}

bool stat_target(int fd, int *backing_fd, std::string *placeholder)
{
    auto e = lookup(fd);
    if (!e)
        return false;
    *backing_fd = e->file->backing_fd();
    *placeholder = e->path;
    return true;
}

void profile(int64_t *calls, int64_t *ns)
{
    *calls = spent_calls;
    *ns = spent_ns;
}

int64_t profile_descriptors() { return descriptor_ns; }

bool simulated_path(const char *path)
{
    char p[PATH_MAX];
    return path && normalise_path(AT_FDCWD, path, p) && find_model(p) != nullptr;
}

bool fopen(const char *path, const char *mode, FILE **result)
{
    const timed spent;
    char p[PATH_MAX];
    if (!path || !mode || !normalise_path(AT_FDCWD, path, p))
        return false;
    int flags = flags_of_mode(mode);
    if (flags < 0) {
        if (!find_model(p))
            return false;
        errno = EINVAL;
        *result = nullptr;
        return true;
    }
    bool served;
    auto f = model_open(p, flags, 0666, &served);
    if (!served)
        return false;
    if (!f) {
        *result = nullptr;
        return true;
    }
    int fd = ::memfd_create(memfd_name(p).text, MFD_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        f->close();
        errno = err;
        *result = nullptr;
        return true;
    }
    auto e = std::make_shared<entry>();
    e->file = std::move(f);
    e->path = p;
    e->refs = 2;  // the stream and its descriptor
    auto *k = new stream_cookie{e, fd};
    FILE *s = open_cookie_stream(k, mode);
    if (!s) {
        int err = errno;
        e->file->close();
        real::close(fd);
        delete k;
        errno = err;
    } else {
        s->_fileno = fd;
        std::lock_guard<std::mutex> g(table_lock);
        table()[fd] = e;
        live_cookies().insert(k);
    }
    *result = s;
    return true;
}

bool fdopen(int fd, const char *mode, FILE **result)
{
    const timed spent;
    auto e = lookup(fd);
    if (!e || !mode)
        return false;
    {
        std::lock_guard<std::mutex> g(table_lock);
        e->refs++;  // the stream's; the descriptor keeps its own
    }
    auto *k = new stream_cookie{e, fd};
    FILE *s = open_cookie_stream(k, mode);
    if (!s) {
        int err = errno;
        release(e);
        delete k;
        errno = err;
    } else {
        s->_fileno = fd;
        std::lock_guard<std::mutex> g(table_lock);
        live_cookies().insert(k);
    }
    *result = s;
    return true;
}

bool mount(const char *source, const char *target, const char *type, unsigned long flags,
           const void *data, int *result)
{
    if (!in_sandbox()) {
        // Outside the sandbox nothing is ever mounted on the simulator's behalf.
        errno = EPERM;
        *result = -1;
        return true;
    }
    int r;
    std::string t = target ? normalise_path(AT_FDCWD, target) : std::string();
    if (type && std::strcmp(type, "ubifs") == 0) {
        r = ubifs_mount(source ? source : "", t, flags,
                        data ? static_cast<const char *>(data) : "");
        if (r < 0) {
            errno = -r;
            r = -1;
        }
    } else {
        // The kernel's own sysfs and securityfs hold switches of the real
        // machine: inside the sandbox they are only ever mounted read-only.
        unsigned long f = flags;
        bool kernel_fs = type && (std::strcmp(type, "sysfs") == 0 ||
                                  std::strcmp(type, "securityfs") == 0);
        if (kernel_fs)
            f |= MS_RDONLY;
        r = real::mount(source, target, type, f, data);
        if (r == 0 && type && std::strcmp(type, "proc") == 0 && !(flags & MS_REMOUNT))
            r = guard_procfs(t);
    }
    int saved = errno;
    std::string rec = record_text(source, target, type, flags, data, r == 0 ? 0 : -saved);
    append_record(run_path("mounts"), rec.data(), rec.size());
    errno = saved;
    *result = r;
    return true;
}

bool umount(const char *target, int flags, int *result)
{
    if (!in_sandbox()) {
        errno = EPERM;
        *result = -1;
        return true;
    }
    std::string t = target ? normalise_path(AT_FDCWD, target) : std::string();
    // The guards of a procfs go first so that the procfs can go.
    real::umount2((t + "/sysrq-trigger").c_str(), MNT_DETACH);
    real::umount2((t + "/sys").c_str(), MNT_DETACH);
    int r = real::umount2(target, flags);
    int saved = errno;
    std::string rec = "umount " + t + " " + std::to_string(flags) + " -> " +
                      std::to_string(r == 0 ? 0 : -saved);
    append_record(run_path("mounts"), rec.data(), rec.size());
    errno = saved;
    *result = r;
    return true;
}

void reboot(int cmd, int *result)
{
    char rec[32];
    int n = std::snprintf(rec, sizeof rec, "reboot 0x%x", unsigned(cmd));
    if (simulation_allowed())
        append_record(run_path("reboot"), rec, size_t(n));
    errno = EPERM;
    *result = -1;
}

bool sleep_request(const char *what, int64_t ns, int64_t *wait_ns)
{
    static double scale = -1;
    if (scale < 0) {
        const char *s = std::getenv("KS_SIM_SLEEP_SCALE");
        scale = (s && *s) ? std::strtod(s, nullptr) : 1.0;
        if (!(scale >= 0))
            scale = 1.0;
    }
    if (scale == 1.0)
        return false;
    // Recorded without allocating: a thread that sleeps while a fuzzed
    // program runs an input (libFuzzer's own watchdogs do) must not count
    // against that input.
    char rec[96];
    int n = std::snprintf(rec, sizeof rec, "%s %lld.%09lld", what, (long long)(ns / 1000000000),
                          (long long)(ns % 1000000000));
    char file[PATH_MAX];
    if (run_path_in(file, sizeof file, "sleeps"))
        append_record(file, rec, size_t(n));
    *wait_ns = int64_t(double(ns) * scale);
    return true;
}

bool getxattr(const char *path, int fd, const char *name, void *value, size_t size,
              int64_t *result)
{
    if (!name)
        return false;
    xattr_handler *h = find_xattr_handler(name);
    if (!h)
        return false;
    std::string p;
    if (!xattr_target(path, fd, p))
        return false;
    ssize_t r = h->get(p, name, value, size);
    *result = r < 0 ? fail<int64_t>(r) : r;
    return true;
}

bool setxattr(const char *path, int fd, const char *name, const void *value, size_t size,
              int flags, int *result)
{
    if (!name)
        return false;
    xattr_handler *h = find_xattr_handler(name);
    if (!h)
        return false;
    std::string p;
    if (!xattr_target(path, fd, p))
        return false;
    int r = h->set(p, name, value, size, flags);
    *result = r < 0 ? fail<int>(r) : r;
    return true;
}

}  // namespace dispatch

}  // namespace ks_sim
