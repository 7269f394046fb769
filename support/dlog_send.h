// Debug logger and the error-log line.
//
// The debug logger sends printf-style messages as UDP datagrams (a 4-byte
// sequence number in host byte order, then the text without its NUL) to the
// target named by DLOG_TARGET ("a.b.c.d[:port]", port 2300 by default),
// filtered by dlog_level: -1 is silent, 17 prints on standard output, any
// other N sends the messages of level N or below. A message "<c>text" has
// the level c - '0'; any other text has level 2.
//
// The error-log line is how the libraries report a failure: one syslog
// line at LOG_ERR, "<source>(<line>): ERROR " followed by the report.
#pragma once

#include <csignal>

// -1 silent, 17 standard output, N: send levels <= N. Written by the level
// signals' handler, hence sig_atomic_t.
extern volatile sig_atomic_t dlog_level;
// Copy of the text of the last level-0 message, without its "<0>" prefix,
// or null. Owned by the logger.
extern char *dlog_level0_text;

// Sets the target and the level and, when sig_up > 0, installs the handler
// for the two level signals.
void init_dlogger(int default_level, int sig_up, int sig_down);
// Formats one message and sends or prints it as the level allows. errno is
// the same afterwards as before.
void dlog_message(const char *format, ...) __attribute__((format(printf, 1, 2)));
// 1 when DLOG_TARGET set the target (and the level to 9), else 0.
int dlog_parse_target();
// Handler of both level signals: up raises the level by one, down lowers
// it (to -1 from 0 or below).
void dlog_signal_handler(int sig);
// Closes the socket and frees dlog_level0_text; registered with atexit.
void dlog_close();

// One error-log line: "<source>(<line>): ERROR " and the formatted text,
// at LOG_ERR. errno is preserved.
void dlog_error(const char *source, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// The bracketed form "<source>(<line>)[<operation>]: ERROR " and the text,
// which ends with a newline.
void dlog_error_op(const char *source, int line, const char *operation,
                   const char *format, ...) __attribute__((format(printf, 4, 5)));

// Report with the current source line: DLOG_ERROR("c_xmldoc", "x %d", 1).
#define DLOG_ERROR(source, ...) dlog_error((source), __LINE__, __VA_ARGS__)
