#include "support/dlog_send.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

volatile sig_atomic_t dlog_level = 0;
char *dlog_level0_text = nullptr;

namespace {

const char SOURCE[] = "dlog_send";
constexpr int DEFAULT_PORT = 2300;
constexpr size_t TEXT_AREA = 16379;  // at most 16378 characters and the NUL

int up_signal = -1;
int down_signal = -1;
// Kept apart from the address: 255.255.255.255 is a valid target.
bool target_set = false;
uint32_t target_address = 0;  // network byte order
int target_port = DEFAULT_PORT;
int debug_socket = -1;
bool close_registered = false;
uint32_t sequence = 0;

struct datagram {
    uint32_t sequence;  // host byte order
    char text[TEXT_AREA];
};
datagram buffer;

// Formats into a string of whatever length the text needs.
std::string format_text(const char *format, va_list ap)
{
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (size_t(n) < sizeof small)
        return std::string(small, size_t(n));
    std::string text(size_t(n) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, ap);
    text.resize(size_t(n));
    return text;
}

// "<c>..." has the level c - '0' for any character c; other texts level 2.
int message_level(const char *text)
{
    if (text[0] == '<' && text[1] != '\0' && text[2] == '>')
        return int(static_cast<unsigned char>(text[1])) - '0';
    return 2;
}

}  // namespace

void dlog_error(const char *source, int line, const char *format, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, format);
    std::string text = format_text(format, ap);
    va_end(ap);
    syslog(LOG_ERR, "%s(%d): ERROR %s", source, line, text.c_str());
    errno = saved;
}

void dlog_error_op(const char *source, int line, const char *operation,
                   const char *format, ...)
{
    int saved = errno;
    va_list ap;
    va_start(ap, format);
    std::string text = format_text(format, ap);
    va_end(ap);
    syslog(LOG_ERR, "%s(%d)[%s]: ERROR %s", source, line, operation, text.c_str());
    errno = saved;
}

int dlog_parse_target()
{
    const char *value = getenv("DLOG_TARGET");
    if (value == nullptr || value[0] == '\0') {
        dlog_level = -1;
        return 0;
    }
    int a, b, c, d, port;
    int n = sscanf(value, "%d.%d.%d.%d:%d", &a, &b, &c, &d, &port);
    if (n < 4)
        return 0;
    // No range checks on the numbers; combined in unsigned arithmetic.
    uint32_t host = (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) |
                    uint32_t(d);
    target_address = htonl(host);
    target_set = true;
    dlog_level = 9;
    if (n == 5)
        target_port = port;
    return 1;
}

void init_dlogger(int default_level, int sig_up, int sig_down)
{
    if (!dlog_parse_target()) {
        dlog_level = default_level;
        target_address = htonl(INADDR_LOOPBACK);
        target_set = true;
    }
    if (default_level > 9)
        dlog_level = default_level;
    if (sig_up <= 0)
        return;
    up_signal = sig_up;
    down_signal = sig_down;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = dlog_signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // interrupted system calls are not restarted
    for (int sig : {sig_up, sig_down}) {
        if (sigaction(sig, &action, nullptr) != 0) {
            int e = errno;
            DLOG_ERROR(SOURCE, "%s: cannot install signal handler for %d (%s)",
                       "init_dlogger", sig, strerror(e));
        }
    }
}

void dlog_signal_handler(int sig)
{
    int level = dlog_level;
    if (sig == up_signal) {
        if (level < INT_MAX)
            dlog_level = level + 1;
    } else if (sig == down_signal) {
        dlog_level = level <= 0 ? -1 : level - 1;
    }
}

void dlog_close()
{
    if (debug_socket >= 0) {
        close(debug_socket);
        debug_socket = -1;
    }
    free(dlog_level0_text);
    dlog_level0_text = nullptr;
}

namespace {

// Makes the socket on first use; false (and the logger silenced) when it
// cannot be made.
bool open_socket()
{
    if (debug_socket >= 0)
        return true;
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        int e = errno;
        dlog_error_op(SOURCE, __LINE__, "dlog_message", "cannot create debug socket (%s)\n",
                      strerror(e));
        dlog_level = -1;
        return false;
    }
    if (fcntl(s, F_SETFL, O_NONBLOCK) != 0) {
        int e = errno;
        dlog_error_op(SOURCE, __LINE__, "dlog_message", "failed to set O_NONBLOCK (%s)\n",
                      strerror(e));
    }
    int size = 65536;
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    debug_socket = s;
    if (!close_registered) {
        close_registered = true;
        atexit(dlog_close);
    }
    return true;
}

void keep_level0_text(const char *text)
{
    free(dlog_level0_text);
    dlog_level0_text = strdup(text + 3);
}

}  // namespace

void dlog_message(const char *format, ...)
{
    int saved = errno;
    va_list ap;
    if (dlog_level == 17) {
        va_start(ap, format);
        vfprintf(stdout, format, ap);
        va_end(ap);
        fputc('\n', stdout);
        errno = saved;
        return;
    }
    if (dlog_level == -1 || (!target_set && !dlog_parse_target()) || !open_socket()) {
        errno = saved;
        return;
    }
    sockaddr_in destination;
    memset(&destination, 0, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = target_address;
    destination.sin_port = htons(uint16_t(target_port));

    // Numbered before the filter: filtered messages leave gaps.
    buffer.sequence = sequence++;
    va_start(ap, format);
    int n = vsnprintf(buffer.text, sizeof buffer.text, format, ap);
    va_end(ap);
    if (n < 0)
        buffer.text[0] = '\0';

    int level = message_level(buffer.text);
    if (level == 0)
        keep_level0_text(buffer.text);
    if (dlog_level < level) {
        errno = saved;
        return;
    }
    size_t length = sizeof buffer.sequence + strlen(buffer.text);
    sendto(debug_socket, &buffer, length, 0, reinterpret_cast<sockaddr *>(&destination),
           sizeof destination);
    usleep(1);
    errno = saved;
}
