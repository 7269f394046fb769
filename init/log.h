// Trace and error logs of the boot program, and its crash handler.
//
// Trace lines follow every step and go to one selected stream (the log
// file in log mode 1, the console in log mode 2, nowhere otherwise), each
// with a time stamp relative to the start. Error lines go to the console,
// and in log mode 1 also to the log file, with the prefix
// "keepstone-init: ". Standard error is redirected to a file of its own.
#pragma once

#include <sys/time.h>

#include <cstddef>

constexpr const char LOG_FILE_PATH[] = "/etc/tarvo/keepstone-init.log";
constexpr const char STDERR_FILE_PATH[] = "/etc/tarvo/keepstone-init.stderr";
constexpr const char CONSOLE_PATH[] = "/dev/console";

// Redirects standard error to STDERR_FILE_PATH when redirect is not 0 (the
// descriptor is replaced only when the file could be opened), records the
// start time and installs crash_handler for the signals 1 to 31. Returns
// the result of the last installation.
int setup_crash_handling(int redirect);

// Opens the log file; it becomes the trace stream. 0, or -1 after the
// trace "Log file opening failed\n".
int open_log_file();
// Opens the console, which must be a character device (it is never
// created); in log mode 2 it becomes the trace stream. 0 or -1.
int open_clog();
void set_log_mode(int mode);
int get_log_mode();
// Makes standard error the trace stream, with time stamps while stamp is
// not 0. Returns 0.
int log_to_stderr(int stamp);

// A trace line: the time stamp (while enabled) and the message. Returns
// the number of characters written, 0 without a trace stream, negative on
// an output error.
int log_trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
// An error line on the console (and the log file in log mode 1), with the
// program's prefix; nothing while the console is not open.
void log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same without the prefix.
void log_error_plain(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Text to the trace stream without a time stamp.
void log_raw(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Copies "/proc/self/status" to the trace stream, a time stamp at the start
// of every line. 0, or -1 when the file cannot be opened.
int dump_proc_status();

// Close the log file or the console stream (and the redirected standard
// error); closing what is not open does nothing. Both return 0.
int close_log_file();
int close_console_log();

// Flushes every open log stream; used right before the program replaces
// itself, so that nothing written so far is lost.
void flush_logs();

// Makes sure descriptors 0, 1 and 2 are open ("/dev/null", else the
// console), so that no file opened later lands on a standard descriptor.
void occupy_standard_descriptors();

// Prints a backtrace line on the error outputs and ends the process with
// status 255.
[[noreturn]] void crash_handler(int sig);

// Writes the time stamp "[%ld.%06ld] " for the time between start and now
// into text (at least 32 bytes); returns its length.
int format_time_stamp(const timeval &start, const timeval &now, char *text, size_t size);
