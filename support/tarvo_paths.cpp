// Directory scans and creation, path canonicalisation, process executables.
#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "support/dlog_send.h"
#include "support/tarvo_common.h"

// The launcher starts applications; for its processes the first
// command-line argument names the application. Tests build their own copy
// of this file with another path.
#ifndef KS_LAUNCHER_PATH
#define KS_LAUNCHER_PATH "/usr/bin/olvar-launcher"
#endif

int resolve_absolute_paths = 1;

namespace {

const char SOURCE[] = "tarvo_common";
constexpr size_t PATH_BUFFER = 4096;

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};

struct regex_holder {
    regex_t re;
    bool compiled = false;
    ~regex_holder()
    {
        if (compiled)
            regfree(&re);
    }
};

class fd_holder {
public:
    explicit fd_holder(int fd) : fd_(fd) {}
    ~fd_holder()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    fd_holder(const fd_holder &) = delete;
    fd_holder &operator=(const fd_holder &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Resolves directory through the kernel (chdir and getcwd) and appends
// last, which is empty or begins with '/'. The working directory is the
// same afterwards.
bool resolve_directory(const std::string &directory, const std::string &last, std::string &out)
{
    fd_holder here(open(".", O_RDONLY | O_CLOEXEC));
    if (here.get() < 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "cannot open current directory (%s)", strerror(e));
        return false;
    }
    if (chdir(directory.c_str()) != 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "cannot change into '%s' (%s)", directory.c_str(), strerror(e));
        if (fchdir(here.get()) != 0) {
            e = errno;
            DLOG_ERROR(SOURCE, "Cannot cd back to original directory (%s)", strerror(e));
        }
        return false;
    }
    char cwd[PATH_BUFFER];
    bool ok = getcwd(cwd, sizeof cwd) != nullptr;
    if (!ok) {
        int e = errno;
        DLOG_ERROR(SOURCE, "getcwd returned NULL (%s)", strerror(e));
    }
    if (fchdir(here.get()) != 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "cannot change back (%s)", strerror(e));
    }
    if (!ok)
        return false;
    // A last component under "/" must not give "//name".
    std::string result = cwd;
    if (result == "/" && !last.empty())
        result.clear();
    out = result + last;
    return true;
}

// A path that is not a directory: split at its last '/'.
bool resolve_split(const std::string &path, std::string &out)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        char cwd[PATH_BUFFER];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            int e = errno;
            DLOG_ERROR(SOURCE, "getcwd returned NULL (%s)", strerror(e));
            return false;
        }
        std::string result = cwd;
        if (result != "/")
            result += '/';
        out = result + path;
        return true;
    }
    if (slash == 0) {
        out = path;
        return true;
    }
    return resolve_directory(path.substr(0, slash), path.substr(slash), out);
}

}  // namespace

int scan_directory(const char *directory, const char *pattern, scan_callback callback,
                   void *user_data)
{
    if (directory == nullptr || callback == nullptr)
        return -EINVAL;
    regex_holder filter;
    if (pattern != nullptr) {
        int rc = regcomp(&filter.re, pattern, REG_NOSUB);
        if (rc != 0) {
            char text[100];
            regerror(rc, &filter.re, text, sizeof text);
            DLOG_ERROR(SOURCE, "'%s' invalid regex %s (%d)", pattern, text, rc);
            return -EINVAL;
        }
        filter.compiled = true;
    }
    std::unique_ptr<DIR, dir_closer> dir(opendir(directory));
    if (!dir) {
        int e = errno;
        DLOG_ERROR(SOURCE, "cannot open '%s'", directory);
        return -e;
    }
    int index = 0;
    while (dirent *entry = readdir(dir.get())) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (filter.compiled && regexec(&filter.re, name, 0, nullptr, 0) != 0)
            continue;
        int result = callback(index++, name, user_data);
        if (result != 0)
            return result;
    }
    return 0;
}

int make_directory(const char *path, mode_t mode)
{
    if (path == nullptr)
        return ENOENT;
    struct stat st;
    if (stat(path, &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : EEXIST;
    if (errno != ENOENT)
        return errno;
    // The directory gets exactly the mode asked for, whatever the umask.
    mode_t old_mask = umask(0);
    int made = mkdir(path, mode);
    int e = errno;
    umask(old_mask);
    if (made == 0)
        return 0;
    // Another process may have made it since the stat.
    if (e == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    return e;
}

int make_path(const char *path, mode_t mode)
{
    if (path == nullptr)
        return ENOENT;
    mode_t old_mask = umask(0);
    for (const char *p = path + (path[0] != '\0' ? 1 : 0); *p != '\0'; p++) {
        if (*p != '/')
            continue;
        std::string part(path, size_t(p - path));
        int r = make_directory(part.c_str(), mode);
        if (r != 0) {
            umask(old_mask);
            DLOG_ERROR(SOURCE, "creation of '%s' failed (%s)", part.c_str(), strerror(r));
            return r;
        }
    }
    int r = make_directory(path, mode);
    umask(old_mask);
    if (r != 0)
        DLOG_ERROR(SOURCE, "creation of '%s' failed (%s)", path, strerror(r));
    return r;
}

bool is_directory(const char *path)
{
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const char *path)
{
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool absolute_pathname(const char *path, std::string &out)
{
    if (path == nullptr || path[0] == '\0')
        return false;
    std::string resolved = path;
    struct stat st;
    if (lstat(path, &st) != 0) {
        if (path[0] == '/') {
            out = resolved;  // a missing absolute path is accepted unchanged
            return true;
        }
        return resolve_split(resolved, out);
    }
    if (S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&free)> target(
            static_cast<char *>(malloc(PATH_BUFFER)), &free);
        if (!target) {
            DLOG_ERROR(SOURCE, "cannot allocate");
            return false;
        }
        ssize_t n = readlink(path, target.get(), PATH_BUFFER - 1);
        if (n < 0) {
            int e = errno;
            DLOG_ERROR(SOURCE, "cannot read link '%s' (%s)", path, strerror(e));
            return false;
        }
        target.get()[n] = '\0';
        // A target that fills the buffer may have been cut: refuse it.
        if (size_t(n) >= PATH_BUFFER - 1) {
            DLOG_ERROR(SOURCE, "%s: too long pathname '%s' + '%s'", "absolute_pathname", path,
                       target.get());
            return false;
        }
        std::string link_target = target.get();
        size_t slash = resolved.rfind('/');
        if (link_target[0] != '/' && slash != std::string::npos) {
            if (slash + 1 + link_target.size() >= PATH_BUFFER) {
                DLOG_ERROR(SOURCE, "%s: too long pathname '%s' + '%s'", "absolute_pathname",
                           path, link_target.c_str());
                return false;
            }
            link_target = resolved.substr(0, slash + 1) + link_target;
        }
        if (lstat(link_target.c_str(), &st) != 0) {
            int e = errno;
            DLOG_ERROR(SOURCE, "cannot stat '%s' (%s)", link_target.c_str(), strerror(e));
            return false;
        }
        resolved = link_target;
    }
    if (resolve_absolute_paths == 0 && resolved[0] == '/') {
        out = resolved;
        return true;
    }
    if (S_ISDIR(st.st_mode))
        return resolve_directory(resolved, std::string(), out);
    return resolve_split(resolved, out);
}

bool process_executable(long pid, std::string &out)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/%ld/exe", pid);
    std::string exe;
    if (!absolute_pathname(link, exe))
        return false;
    // A missing link comes back unchanged: that is no executable.
    if (exe == link)
        return false;
    if (exe == KS_LAUNCHER_PATH) {
        char cmdline_path[64];
        snprintf(cmdline_path, sizeof cmdline_path, "/proc/%ld/cmdline", pid);
        fd_holder fd(open(cmdline_path, O_RDONLY | O_CLOEXEC));
        if (fd.get() >= 0) {
            char buffer[PATH_BUFFER] = {};
            ssize_t n = read(fd.get(), buffer, sizeof buffer - 1);
            // An empty first argument names nothing: keep the launcher.
            if (n > 0 && buffer[0] != '\0')
                exe = buffer;
        }
    }
    out = exe;
    return true;
}

bool self_executable(std::string &out)
{
    return process_executable(long(getpid()), out);
}
