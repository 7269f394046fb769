// State files kept open by the process (see kept_file.h).
#include "sim/core/kept_file.h"

#include "sim/core/dispatch.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace ks_sim {

class kept_file {
public:
    kept_file(std::string path, int flags) : path(std::move(path)), flags(flags) {}
    const std::string path;
    const int flags;
    std::mutex lock;
    int fd = -1;
    pid_t opened_by = 0;
};

namespace {

std::mutex registry_lock;

// Never destroyed: programs reach the models while they exit too.
std::vector<std::unique_ptr<kept_file>> &registry()
{
    static auto *files = new std::vector<std::unique_ptr<kept_file>>;
    return *files;
}

// In a child of fork the inherited descriptors are the parent's open file
// descriptions: they are let go (the parent keeps its own) and each file
// is opened anew at its first use. Locks held by other threads at the fork
// are gone in the child, so the mutexes start afresh.
void forget_after_fork()
{
    new (&registry_lock) std::mutex;
    for (auto &f : registry()) {
        new (&f->lock) std::mutex;
        if (f->fd >= 0)
            real::close(f->fd);
        f->fd = -1;
    }
}

// Lets go of the descriptors whose files lost their names (a state
// directory a test removed): a process that goes through many state
// directories does not keep their files open to the end. Files in use
// are left for their next use to check.
void let_go_of_removed()
{
    for (auto &f : registry()) {
        if (!f->lock.try_lock())
            continue;
        struct stat st;
        if (f->fd >= 0 && (::fstat(f->fd, &st) != 0 || st.st_nlink == 0)) {
            real::close(f->fd);
            f->fd = -1;
        }
        f->lock.unlock();
    }
}

kept_file *find_or_add(std::string_view path, int flags)
{
    static std::once_flag at_fork;
    std::call_once(at_fork, [] { pthread_atfork(nullptr, nullptr, forget_after_fork); });
    std::lock_guard<std::mutex> g(registry_lock);
    for (auto &f : registry())
        if (f->flags == flags && f->path == path)
            return f.get();
    let_go_of_removed();
    registry().push_back(std::make_unique<kept_file>(std::string(path), flags));
    return registry().back().get();
}

void make_parents(const std::string &path)
{
    for (size_t i = 1; i < path.size(); i++) {
        if (path[i] != '/')
            continue;
        if (::mkdir(path.substr(0, i).c_str(), 0755) != 0 && errno != EEXIST)
            return;
    }
}

int open_by_name(const kept_file &f)
{
    int fd = ::open(f.path.c_str(), f.flags | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && (f.flags & O_CREAT)) {
        make_parents(f.path);
        fd = ::open(f.path.c_str(), f.flags | O_CLOEXEC, 0644);
    }
    return fd < 0 ? -errno : fd;
}

}  // namespace

kept_use::kept_use(std::string_view path, int flags, bool locking)
    : file_(find_or_add(path, flags))
{
    file_->lock.lock();
    if (locking && file_->fd >= 0 && file_->opened_by != ::getpid()) {
        real::close(file_->fd);  // the parent's open file description
        file_->fd = -1;
    }
    // A descriptor whose file lost its last name is of no more use: what it
    // receives nobody reads.
    if (file_->fd >= 0 && (::fstat(file_->fd, &st_) != 0 || st_.st_nlink == 0)) {
        real::close(file_->fd);
        file_->fd = -1;
    }
    if (file_->fd < 0) {
        int fd = open_by_name(*file_);
        if (fd >= 0 && ::fstat(fd, &st_) != 0) {
            int e = errno;
            real::close(fd);
            fd = -e;
        }
        if (fd < 0) {
            fd_ = fd;
            return;
        }
        file_->fd = fd;
        file_->opened_by = ::getpid();
    }
    fd_ = file_->fd;
}

kept_use::~kept_use() { file_->lock.unlock(); }

}  // namespace ks_sim
