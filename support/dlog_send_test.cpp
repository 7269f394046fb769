#include "support/dlog_send.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_process.h"
#include "support/test_syslog.h"

// The logger is process-wide state: every scenario runs in a child of its
// own, started from the untouched state, and reports what went wrong.

namespace {

class checks {
public:
    template <class A, class B>
    void eq(const A &got, const B &want, const std::string &what)
    {
        if (!(got == want)) {
            std::ostringstream s;
            s << what << ": got [" << got << "] want [" << want << "]\n";
            failures_ += s.str();
        }
    }
    const std::string &failures() const { return failures_; }

private:
    std::string failures_;
};

std::string in_child(const std::function<void(checks &)> &body)
{
    int p[2];
    if (pipe(p) != 0)
        return "pipe failed";
    fflush(nullptr);
    pid_t pid = test_fork();
    if (pid == 0) {
        close(p[0]);
        checks c;
        body(c);
        const std::string &f = c.failures();
        if (write(p[1], f.data(), f.size()) < 0)
            _exit(2);
        _exit(0);
    }
    close(p[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    close(p[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out += "child ended abnormally\n";
    return out;
}

// A UDP socket bound to a loopback address.
class receiver {
public:
    explicit receiver(const char *address = "127.0.0.1", int port = 0)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, address, &a.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~receiver() { close(fd_); }
    bool ok() const { return ok_; }
    int port() const { return port_; }
    // The next datagram already queued, or "none". Loopback datagrams are
    // queued before sendto returns.
    std::string next(uint32_t *sequence = nullptr)
    {
        char buf[70000];
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 4)
            return "none";
        if (sequence != nullptr)
            memcpy(sequence, buf, 4);  // host byte order
        return std::string(buf + 4, size_t(n) - 4);
    }

private:
    int fd_;
    int port_ = 0;
    bool ok_ = false;
};

void set_target(const char *value)
{
    if (value == nullptr)
        unsetenv("DLOG_TARGET");
    else
        setenv("DLOG_TARGET", value, 1);
}

// A loopback address of this process's own, so that concurrent runs of
// this test do not share the default port.
std::string own_loopback()
{
    unsigned p = unsigned(getpid());
    return "127." + std::to_string((p >> 8) & 255) + "." + std::to_string(p & 255) + ".7";
}

struct target_case {
    std::string target;  // "-" for unset; "@" is replaced by a receiver
    int default_level;
    int level;
    bool parsed;
    bool at_receiver;  // a level-2 message arrives there
};

TEST(DlogTarget, Table)
{
    const target_case cases[] = {
        {"-", -1, -1, false, false},   {"-", 5, 5, false, false},
        {"-", 12, 12, false, false},   {"-", 17, 17, false, false},
        {"", 5, 5, false, false},      {"@", -1, 9, true, true},
        {"@", 5, 9, true, true},       {"@", 12, 12, true, true},
        {"@", 17, 17, true, false},    {"1.2.3", 5, 5, false, false},
        {"x", 5, 5, false, false},     {"1.2.3", -1, -1, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target + " default " + std::to_string(c.default_level));
        EXPECT_EQ(in_child([&](checks &k) {
                      receiver r;
                      std::string t = c.target == "@" ? "127.0.0.1:" + std::to_string(r.port())
                                                      : c.target;
                      set_target(c.target == "-" ? nullptr : t.c_str());
                      if (c.level == 17)
                          freopen("/dev/null", "w", stdout);
                      init_dlogger(c.default_level, 0, 0);
                      k.eq(int(dlog_level), c.level, "level");
                      dlog_message("<0>zero");
                      dlog_message("hello");
                      k.eq(r.next(), c.at_receiver ? "<0>zero" : "none", "first datagram");
                      k.eq(dlog_level0_text == nullptr, c.level == -1 || c.level == 17,
                           "level-0 text absent");
                      set_target(c.target == "-" ? nullptr : t.c_str());
                      k.eq(dlog_parse_target(), c.parsed ? 1 : 0, "parse result");
                  }),
                  "");
    }
}

TEST(DlogTarget, AddressBytesAndDefaultPort)
{
    // Asymmetric address bytes catch a wrong byte order; without a port
    // the datagram goes to 2300.
    EXPECT_EQ(in_child([](checks &k) {
                  std::string address = own_loopback();
                  receiver r(address.c_str(), 2300);
                  if (!r.ok())
                      return;  // the port is taken on this host: nothing to check
                  set_target(address.c_str());
                  init_dlogger(-1, 0, 0);
                  dlog_message("m");
                  k.eq(r.next(), "m", "datagram at port 2300");
              }),
              "");
    EXPECT_EQ(in_child([](checks &k) {
                  receiver r("127.200.1.2");
                  set_target(("127.200.1.2:" + std::to_string(r.port())).c_str());
                  init_dlogger(0, 0, 0);
                  dlog_message("m");
                  k.eq(r.next(), "m", "datagram");
              }),
              "");
    // Never started: the first message reads the target itself.
    EXPECT_EQ(in_child([](checks &k) {
                  receiver r;
                  set_target(("127.0.0.1:" + std::to_string(r.port())).c_str());
                  dlog_message("<9>first");
                  k.eq(r.next(), "<9>first", "datagram");
                  k.eq(int(dlog_level), 9, "level");
              }),
              "");
    EXPECT_EQ(in_child([](checks &k) {
                  set_target(nullptr);
                  dlog_message("<0>x");
                  k.eq(int(dlog_level), -1, "level");
                  k.eq(dlog_level0_text == nullptr, true, "no level-0 text");
              }),
              "");
}

TEST(DlogWire, SequenceNumbersPrefixesAndLength)
{
    EXPECT_EQ(in_child([](checks &k) {
                  receiver r;
                  set_target(("127.0.0.1:" + std::to_string(r.port())).c_str());
                  init_dlogger(-1, 0, 0);
                  uint32_t seq = 99;
                  dlog_message("<3>x %d", 1);
                  k.eq(r.next(&seq), "<3>x 1", "prefix kept, no NUL");
                  k.eq(seq, 0u, "first sequence number");
                  dlog_message("<a>filtered");  // level 49
                  dlog_message("<10>y");        // no prefix: level 2
                  k.eq(r.next(&seq), "<10>y", "unprefixed");
                  k.eq(seq, 2u, "gap after a filtered message");
                  dlog_message("< >z");  // level -16 always passes
                  k.eq(r.next(&seq), "< >z", "negative level");
                  dlog_message("<");  // shorter than a prefix
                  k.eq(r.next(&seq), "<", "lone '<'");
                  std::string big(20000, 'q');
                  dlog_message("%s", big.c_str());
                  k.eq(r.next(&seq), std::string(16378, 'q'), "cut to 16378");
                  k.eq(seq, 5u, "sequence");
                  k.eq(r.next(), "none", "nothing else");
              }),
              "");
}

TEST(DlogLevel0, KeptReplacedAndSkipped)
{
    EXPECT_EQ(in_child([](checks &k) {
                  receiver r;
                  set_target(("127.0.0.1:" + std::to_string(r.port())).c_str());
                  init_dlogger(-1, 0, 0);
                  dlog_message("<0>first %s", "error");
                  k.eq(std::string(dlog_level0_text), "first error", "kept without prefix");
                  dlog_message("<0>second");
                  k.eq(std::string(dlog_level0_text), "second", "replaced");
                  dlog_message("<1>other");
                  k.eq(std::string(dlog_level0_text), "second", "other levels leave it");
                  dlog_level = -1;
                  dlog_message("<0>silent");
                  k.eq(std::string(dlog_level0_text), "second", "not at -1");
                  dlog_level = -3;
                  dlog_message("<0>negative");
                  k.eq(std::string(dlog_level0_text), "negative", "kept at -3");
                  dlog_level = 17;
                  freopen("/dev/null", "w", stdout);
                  dlog_message("<0>printed");
                  k.eq(std::string(dlog_level0_text), "negative", "not at 17");
                  k.eq(r.next(), "<0>first error", "sent");
                  k.eq(r.next(), "<0>second", "sent");
                  k.eq(r.next(), "<1>other", "sent");
                  k.eq(r.next(), "none", "nothing at -1, -3 or 17");
                  dlog_close();
                  k.eq(dlog_level0_text == nullptr, true, "freed by dlog_close");
              }),
              "");
}

struct signal_case {
    int from;
    int sig;
    int to;
};

TEST(DlogSignals, UpAndDown)
{
    const signal_case cases[] = {
        {-1, SIGUSR1, 0}, {-1, SIGUSR2, -1}, {0, SIGUSR2, -1}, {0, SIGUSR1, 1},
        {16, SIGUSR1, 17}, {17, SIGUSR1, 18}, {17, SIGUSR2, 16}, {5, SIGHUP, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.from) + " sig " + std::to_string(c.sig));
        EXPECT_EQ(in_child([&](checks &k) {
                      set_target(nullptr);
                      signal(SIGHUP, SIG_IGN);
                      init_dlogger(5, SIGUSR1, SIGUSR2);
                      dlog_level = c.from;
                      raise(c.sig);
                      k.eq(int(dlog_level), c.to, "level");
                  }),
                  "");
    }
    // One signal for both: only "up" acts. A bad second signal is reported
    // and the first still works.
    EXPECT_EQ(in_child([](checks &k) {
                  set_target(nullptr);
                  init_dlogger(5, SIGUSR1, SIGUSR1);
                  raise(SIGUSR1);
                  k.eq(int(dlog_level), 6, "same signal raises");
              }),
              "");
    EXPECT_EQ(in_child([](checks &k) {
                  set_target(nullptr);
                  syslog_capture log;
                  init_dlogger(5, SIGUSR1, 0);
                  raise(SIGUSR1);
                  k.eq(int(dlog_level), 6, "up still installed");
                  auto r = log.reports();
                  k.eq(r.size(), 1u, "one report");
                  if (!r.empty())
                      k.eq(r[0], "init_dlogger: cannot install signal handler for 0 (Invalid argument)",
                           "report");
              }),
              "");
}

TEST(DlogStdout, Level17PrintsLines)
{
    EXPECT_EQ(in_child([](checks &k) {
                  int p[2];
                  if (pipe(p) != 0)
                      return;
                  set_target(nullptr);
                  init_dlogger(17, 0, 0);
                  dup2(p[1], STDOUT_FILENO);
                  errno = EDOM;
                  dlog_message("<5>a %d", 1);
                  dlog_message("b");
                  fflush(stdout);
                  k.eq(errno, EDOM, "errno");
                  close(p[1]);
                  close(STDOUT_FILENO);
                  char buf[64] = {};
                  k.eq(read(p[0], buf, sizeof buf - 1), ssize_t(9), "bytes");
                  k.eq(std::string(buf), "<5>a 1\nb\n", "text");
              }),
              "");
}

TEST(DlogErrno, PreservedOnEveryPath)
{
    EXPECT_EQ(in_child([](checks &k) {
                  receiver r;
                  set_target(("127.0.0.1:" + std::to_string(r.port())).c_str());
                  init_dlogger(3, 0, 0);
                  errno = ERANGE;
                  dlog_message("<0>first, with socket set-up");
                  k.eq(errno, ERANGE, "after the first (set-up) message");
                  errno = EILSEQ;
                  dlog_message("<9>filtered");
                  k.eq(errno, EILSEQ, "after a filtered message");
                  errno = ENOENT;
                  dlog_message("<1>sent");
                  k.eq(errno, ENOENT, "after a sent message");
              }),
              "");
    // No descriptor left for the socket: reported, silenced, errno kept.
    EXPECT_EQ(in_child([](checks &k) {
                  set_target("127.0.0.1:9");
                  init_dlogger(-1, 0, 0);
                  syslog_capture log;
                  int highest = dup(0);
                  close(highest);
                  struct rlimit rl = {rlim_t(highest), rlim_t(highest)};
                  setrlimit(RLIMIT_NOFILE, &rl);
                  errno = EXDEV;
                  dlog_message("x");
                  k.eq(errno, EXDEV, "errno");
                  k.eq(int(dlog_level), -1, "silenced");
                  auto lines = log.lines();
                  k.eq(lines.size(), 1u, "one report");
                  if (!lines.empty())
                      k.eq(lines[0].find("[dlog_message]: ERROR cannot create debug socket (Too many open files)") !=
                               std::string::npos,
                           true, lines[0]);
              }),
              "");
}

}  // namespace
