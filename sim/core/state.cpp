// The model registry and the state directory shared by the models: length-
// prefixed record files, whole state files, per-boot counters and faults.
#include "sim/model.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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
    if (flags & O_CREAT)
        make_parents(path);
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
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

model *find_model(const std::string &path)
{
    for (model *m : registry())
        if (m->serves(path))
            return m;
    return nullptr;
}

void register_xattr_handler(xattr_handler *h) { xattr_registry().push_back(h); }

xattr_handler *find_xattr_handler(const std::string &name)
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

std::string state_dir()
{
    const char *s = std::getenv("KS_SIM_STATE");
    return (s && *s) ? std::string(s) : std::string("/.ks-sim");
}

std::string state_path(const std::string &name) { return state_dir() + "/" + name; }

std::string run_path(const std::string &name) { return state_dir() + "/run/" + name; }

int append_record(const std::string &file, const void *data, size_t len)
{
    if (len > 0xffffffffu)
        return -EFBIG;
    int fd = open_locked(resolve(file), O_WRONLY | O_CREAT | O_APPEND, LOCK_EX);
    if (fd < 0)
        return fd;
    fd_guard g(fd);
    std::string rec(4, '\0');
    uint32_t n = uint32_t(len);
    for (int i = 0; i < 4; i++)
        rec[size_t(i)] = char((n >> (8 * i)) & 0xff);
    rec.append(static_cast<const char *>(data), len);
    return write_all(fd, rec.data(), rec.size());
}

int read_records(const std::string &file, std::vector<std::string> &out)
{
    out.clear();
    int fd = open_locked(resolve(file), O_RDONLY, LOCK_SH);
    if (fd == -ENOENT)
        return 0;  // nothing recorded yet
    if (fd < 0)
        return fd;
    fd_guard g(fd);
    std::string all;
    int r = read_all(fd, all);
    if (r < 0)
        return r;
    size_t pos = 0;
    while (pos < all.size()) {
        if (all.size() - pos < 4)
            return -EBADMSG;
        uint32_t n = 0;
        for (int i = 0; i < 4; i++)
            n |= uint32_t(static_cast<unsigned char>(all[pos + size_t(i)])) << (8 * i);
        pos += 4;
        if (all.size() - pos < n)
            return -EBADMSG;
        out.push_back(all.substr(pos, n));
        pos += n;
    }
    return 0;
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

long bump_counter(const std::string &name)
{
    int fd = open_locked(run_path("counters"), O_RDWR | O_CREAT, LOCK_EX);
    if (fd < 0)
        return fd;
    fd_guard g(fd);
    std::string all;
    int r = read_all(fd, all);
    if (r < 0)
        return r;
    std::string result;
    long value = 1;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = line.rfind('=');
        if (eq != std::string::npos && line.compare(0, eq, name) == 0 && eq == name.size()) {
            value = std::strtol(line.c_str() + eq + 1, nullptr, 10) + 1;
            continue;
        }
        if (!line.empty())
            result += line + "\n";
    }
    result += name + "=" + std::to_string(value) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
        return -errno;
    r = write_all(fd, result.data(), result.size());
    return r < 0 ? r : value;
}

bool placeholder_exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

long fault(const std::string &name)
{
    std::string all;
    if (read_state("faults", all) < 0)
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
