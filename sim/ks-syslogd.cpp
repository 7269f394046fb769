// ks-syslogd SOCKET FILE: the device's system log. Binds a datagram socket
// at SOCKET (the sandbox's /dev/log) and appends every message to FILE as
// one line. On SIGTERM it takes what is still queued and ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t stopping = 0;

void on_term(int) { stopping = 1; }

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: ks-syslogd SOCKET FILE\n");
        return 2;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof addr.sun_path) {
        std::fprintf(stderr, "ks-syslogd: socket path too long\n");
        return 2;
    }
    std::strcpy(addr.sun_path, argv[1]);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (out < 0 || s < 0) {
        std::perror("ks-syslogd");
        return 1;
    }
    unlink(argv[1]);
    // Bound under a temporary name and renamed, so that the socket appears
    // only once it is ready.
    std::string tmp = std::string(argv[1]) + ".new";
    if (tmp.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "ks-syslogd: socket path too long\n");
        return 2;
    }
    std::strcpy(addr.sun_path, tmp.c_str());
    unlink(tmp.c_str());
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        chmod(tmp.c_str(), 0666) != 0 || rename(tmp.c_str(), argv[1]) != 0) {
        std::perror("ks-syslogd: bind");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_term;  // no SA_RESTART: the signal ends a waiting recv
    sigaction(SIGTERM, &sa, nullptr);
    // Waits are short, so that a signal between the test of the flag and
    // the wait still ends the program soon.
    struct timeval tv = {0, 200000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    static char buf[65536];
    for (;;) {
        ssize_t n = recv(s, buf, sizeof buf - 1, stopping ? MSG_DONTWAIT : 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                if (stopping && errno != EINTR)
                    return 0;  // all queued messages are written
                continue;
            }
            std::perror("ks-syslogd: recv");
            return 1;
        }
        while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\0'))
            n--;
        buf[n++] = '\n';
        if (write(out, buf, size_t(n)) < 0)
            return 1;
    }
}
