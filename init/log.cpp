#include "init/log.h"

#include "init/safe_open.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char ERROR_PREFIX[] = "keepstone-init: ";
constexpr int MAX_FRAMES = 1024;
// The log files are created as a stream would create them (less the umask).
constexpr mode_t LOG_FILE_MODE = 0666;

FILE *trace_stream;
int log_mode;
FILE *console_stream;
FILE *redirected_stderr;
FILE *log_file;
timeval start_time;
int stamp_flag = 1;

// The crash handler must not allocate for its frames: the heap may be what
// crashed.
void *crash_frames[MAX_FRAMES];

void write_error_line(bool prefix, const char *format, va_list args)
{
    if (!console_stream)
        return;
    va_list copy;
    va_copy(copy, args);
    if (prefix)
        fputs(ERROR_PREFIX, console_stream);
    vfprintf(console_stream, format, copy);
    va_end(copy);
    if (log_mode == 1 && log_file) {
        if (prefix)
            fputs(ERROR_PREFIX, log_file);
        vfprintf(log_file, format, args);
    }
}

// Points descriptor 2 at "/dev/null" so that writes to standard error after
// the redirected file was closed go nowhere, and no file opened later can
// take descriptor 2.
void close_redirected_stderr()
{
    if (!redirected_stderr)
        return;
    fflush(redirected_stderr);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDERR_FILENO);
        if (null_fd != STDERR_FILENO)
            close(null_fd);
    }
    redirected_stderr = nullptr;
}

// Replaces descriptor 2 with the stderr file only once the file is open, so
// that a failure never leaves descriptor 2 free for the next open.
FILE *redirect_stderr()
{
    int fd = create_regular_file(STDERR_FILE_PATH, LOG_FILE_MODE);
    if (fd < 0)
        return nullptr;
    fflush(stderr);
    int ok = dup2(fd, STDERR_FILENO);  // the copy on descriptor 2 is inherited at exec
    if (fd != STDERR_FILENO)
        close(fd);
    if (ok < 0)
        return nullptr;
    clearerr(stderr);
    return stderr;
}

}  // namespace

int format_time_stamp(const timeval &start, const timeval &now, char *text, size_t size)
{
    long sec = long(now.tv_sec - start.tv_sec);
    long usec = long(now.tv_usec) - long(start.tv_usec);
    if (usec < 0) {
        sec -= 1;
        usec += 1000000;
    }
    return snprintf(text, size, "[%ld.%06ld] ", sec, usec);
}

void occupy_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        // Only a character device will do, opened without waiting: a FIFO
        // or a link to a terminal in the device's place must not stall the
        // boot before its first line.
        int filler = open_char_device("/dev/null", O_RDWR);
        if (filler < 0)
            filler = open_char_device(CONSOLE_PATH, O_RDWR);
        if (filler < 0)
            return;
        // Opens take the lowest free descriptor; anything above 2 means the
        // slot was taken meanwhile. A standard descriptor is inherited by
        // what the boot starts, so it is not close-on-exec.
        if (filler > 2)
            close(filler);
        else
            fcntl(filler, F_SETFD, 0);
    }
}

int setup_crash_handling(int redirect)
{
    occupy_standard_descriptors();
    if (redirect)
        redirected_stderr = redirect_stderr();
    gettimeofday(&start_time, nullptr);

    // The first backtrace loads the unwinder, which allocates; do it here
    // rather than inside the handler.
    void *warm[1];
    backtrace(warm, 1);

    struct sigaction action = {};
    action.sa_handler = crash_handler;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    int result = 0;
    for (int sig = 1; sig <= 31; sig++)
        result = sigaction(sig, &action, nullptr);
    return result;
}

int open_log_file()
{
    log_file = fcreate_regular_file(LOG_FILE_PATH, LOG_FILE_MODE);
    if (!log_file) {
        log_trace("Log file opening failed\n");
        return -1;
    }
    trace_stream = log_file;
    return 0;
}

int open_clog()
{
    console_stream = fopen_char_device_for_writing(CONSOLE_PATH);
    if (!console_stream) {
        log_trace("Log file opening failed\n");
        return -1;
    }
    if (log_mode == 2)
        trace_stream = console_stream;
    return 0;
}

void set_log_mode(int mode)
{
    log_mode = mode;
}

int get_log_mode()
{
    return log_mode;
}

int log_to_stderr(int stamp)
{
    stamp_flag = stamp;
    trace_stream = stderr;
    return 0;
}

int log_trace(const char *format, ...)
{
    if (!trace_stream)
        return 0;
    int total = 0;
    if (stamp_flag) {
        timeval now;
        gettimeofday(&now, nullptr);
        char stamp[48];
        format_time_stamp(start_time, now, stamp, sizeof stamp);
        int n = fputs(stamp, trace_stream);
        if (n < 0)
            return n;
        total = int(strlen(stamp));
    }
    va_list args;
    va_start(args, format);
    int n = vfprintf(trace_stream, format, args);
    va_end(args);
    return n < 0 ? n : total + n;
}

void log_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_error_line(true, format, args);
    va_end(args);
}

void log_error_plain(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    write_error_line(false, format, args);
    va_end(args);
}

void log_raw(const char *format, ...)
{
    if (!trace_stream)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(trace_stream, format, args);
    va_end(args);
}

int dump_proc_status()
{
    FILE *status = fopen("/proc/self/status", "re");
    if (!status)
        return -1;
    bool line_start = true;
    bool open_line = false;  // something written since the last newline
    for (;;) {
        if (line_start) {
            log_trace("%s", "");
            line_start = false;
            open_line = true;
        }
        int c = getc(status);
        if (c == EOF)
            break;
        log_raw("%c", c);
        open_line = c != '\n';
        if (c == '\n')
            line_start = true;
    }
    if (open_line)
        log_raw("\n");
    fclose(status);
    return 0;
}

int close_log_file()
{
    if (log_file) {
        if (trace_stream == log_file)
            trace_stream = nullptr;
        fclose(log_file);
        log_file = nullptr;
    }
    close_redirected_stderr();
    return 0;
}

int close_console_log()
{
    if (console_stream) {
        if (trace_stream == console_stream)
            trace_stream = nullptr;
        fclose(console_stream);
        console_stream = nullptr;
    }
    close_redirected_stderr();
    return 0;
}

void flush_logs()
{
    if (log_file)
        fflush(log_file);
    if (console_stream)
        fflush(console_stream);
    fflush(stdout);
    fflush(stderr);
}

void crash_handler(int sig)
{
    int count = backtrace(crash_frames, MAX_FRAMES);
    char **texts = backtrace_symbols(crash_frames, count);
    if (!texts) {
        log_trace("backtrace_symbols error\n");
        exit(1);
    }
    log_error_plain("keepstone-init: %d", sig);
    for (int i = 0; i < count; i++)
        log_error_plain(":%s", texts[i]);
    log_error_plain("\n");
    free(texts);
    flush_logs();
    exit(-1);
}
