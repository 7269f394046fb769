// Common helpers: base64 and hex text, directory scans and creation, path
// canonicalisation and process executables. Failures are reported on the
// error-log line under the source name "tarvo_common".
#pragma once

#include <sys/types.h>

#include <string>

// ---- base64 and hex text ----

// New NUL-terminated base64 text (RFC 4648 alphabet, '=' padding) of count
// bytes; a count of 0 or less gives an empty text. Null when no memory can
// be had or data is null. The caller frees it.
char *base64_encode(const void *data, int count);
// Decodes text, ignoring the white space " \t\n\v\f\r". Gives the byte
// count and sets *out to a new block holding exactly those bytes (at least
// one byte is allocated, so an empty result is a non-null block). On
// failure 0 with *out null. Text after a padded group is refused.
int base64_decode(const char *text, unsigned char **out);
// Appends two lowercase hex digits per byte to s.
void append_hex(std::string &s, const void *data, unsigned count);
// Hex text of the bytes, owned by a ring of ten slots: it stays valid
// through the next eight calls and is freed by the ninth. Aborts when no
// memory can be had.
const char *hex_string(const void *data, unsigned count);
// Frees every string of the ring; registered with atexit on first use.
void hex_ring_free();

// ---- paths, directories and processes ----

// 1 at start: absolute_pathname resolves every path. 0: an existing
// absolute path that is not a symbolic link comes back unchanged.
extern int resolve_absolute_paths;

// Called for each entry a scan offers: index among the offered entries,
// the entry name (valid during the call), the caller's data. Non-zero ends
// the scan and becomes its result.
typedef int (*scan_callback)(int index, const char *name, void *user_data);

// Lists directory, skipping "." and "..", and, with a pattern (a POSIX
// basic regular expression matched anywhere in the name), the names it does
// not match. Gives 0, -22 (null argument or bad pattern), -errno when the
// directory cannot be opened, or the callback's non-zero result.
int scan_directory(const char *directory, const char *pattern, scan_callback callback,
                   void *user_data);
// 0 when path is a directory afterwards (links followed), EEXIST when it is
// something else, else the errno of the failed stat or mkdir(path, mode).
int make_directory(const char *path, mode_t mode);
// Makes path and every missing directory above it with exactly mode (the
// umask is 0 for the call). 0 or an errno value; ENOENT for a null path.
int make_path(const char *path, mode_t mode);
// Whether stat (following links) succeeds and gives a directory, resp. a
// regular file.
bool is_directory(const char *path);
bool is_regular_file(const char *path);
// Canonical absolute form of path into out (one level of symbolic link
// resolved, the directory part resolved by the kernel). False, out
// unchanged, when it cannot be made. A missing absolute path comes back
// unchanged. Changes the working directory for the length of the call.
bool absolute_pathname(const char *path, std::string &out);
// Path of the executable of process pid; for a process started through the
// launcher, its first command-line argument instead.
bool process_executable(long pid, std::string &out);
bool self_executable(std::string &out);
