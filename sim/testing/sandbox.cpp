#include "sim/testing/sandbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ks_sim::testing {

namespace {

void make_dirs(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/')
            ::mkdir(path.substr(0, i).c_str(), 0755);
}

std::string read_all(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return out;
        out.append(buf, size_t(n));
    }
}

// Starts a program with posix_spawn (fork misbehaves under qemu-arm), its
// standard output and error into out_fd when that is not -1.
pid_t spawn(const std::vector<std::string> &args, int out_fd)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&fa, out_fd, 1);
        posix_spawn_file_actions_adddup2(&fa, out_fd, 2);
    }
    std::vector<char *> cargs;
    for (auto &a : args)
        cargs.push_back(const_cast<char *>(a.c_str()));
    cargs.push_back(nullptr);
    pid_t pid = -1;
    int r = posix_spawn(&pid, cargs[0], &fa, nullptr, cargs.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return r == 0 ? pid : -1;
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

const char *sandbox_program() { return KS_SANDBOX_PATH; }

device::device(const std::string &image) : image_(image)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/ks-test-device.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        throw std::runtime_error("cannot make a device root");
    root_ = buf.data();
}

device::~device()
{
    // The sandbox's mounts lived in its own namespace: the root is plain files.
    pid_t pid = spawn({"/bin/rm", "-rf", "--one-file-system", "--", root_}, -1);
    if (pid > 0)
        wait_for(pid);
}

run_result device::run(const std::vector<std::string> &argv, const run_options &opt) const
{
    std::vector<std::string> args = {sandbox_program(), "--root", root_};
    // The image fills a new device root only (the sandbox refuses it on a
    // root that was prepared already).
    struct stat prepared;
    if (!image_.empty() && ::stat((root_ + "/.ks-sim/prepared").c_str(), &prepared) != 0) {
        args.push_back("--image");
        args.push_back(image_);
    }
    if (opt.same_boot)
        args.push_back("--same-boot");
    if (opt.mount_var)
        args.push_back("--mount-var");
    args.push_back("--sleep-scale");
    std::ostringstream scale;
    scale << opt.sleep_scale;
    args.push_back(scale.str());
    args.push_back("--");
    args.insert(args.end(), argv.begin(), argv.end());

    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    std::fflush(nullptr);
    pid_t pid = spawn(args, pipefd[1]);
    ::close(pipefd[1]);
    if (pid < 0) {
        ::close(pipefd[0]);
        throw std::runtime_error("cannot start " + args[0]);
    }
    run_result r;
    r.output = read_all(pipefd[0]);
    ::close(pipefd[0]);
    r.status = wait_for(pid);
    return r;
}

run_result device::shell(const std::string &script, const run_options &opt) const
{
    return run({"/bin/sh", "-c", script}, opt);
}

void device::write_file(const std::string &device_path, const std::string &content) const
{
    std::string path = host_path(device_path);
    make_dirs(path.substr(0, path.rfind('/')));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path);
}

std::string device::read_file(const std::string &device_path) const
{
    std::ifstream in(host_path(device_path), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void device::arm_fault(const std::string &name, long value) const
{
    disarm_fault(name);
    std::string line = value ? name + "=" + std::to_string(value) : name;
    std::string text;
    read_state(state_dir() + "/faults", text);
    make_dirs(state_dir());
    write_state(state_dir() + "/faults", text + line + "\n");
}

void device::disarm_fault(const std::string &name) const
{
    std::string text, kept;
    if (read_state(state_dir() + "/faults", text) < 0)
        return;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line.substr(0, line.find('=')) != name)
            kept += line + "\n";
    write_state(state_dir() + "/faults", kept);
}

std::vector<keepstone_event> device::kernel_log() const
{
    std::vector<keepstone_event> events;
    read_keepstone_log(events, state_dir() + "/run/keepstone");
    return events;
}

std::vector<std::string> device::run_records(const std::string &name) const
{
    std::vector<std::string> recs;
    read_records(state_dir() + "/run/" + name, recs);
    return recs;
}

}  // namespace ks_sim::testing
