// Opening a file that a library reads on the boot's road. The boot runs
// privileged before anything else, so such an open may neither block on a
// FIFO or a terminal put in the file's place nor take anything but a
// regular file.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// Opens the file read-only, without blocking, close-on-exec, never
// becoming the controlling terminal; extra_flags adds open flags (such as
// O_NOFOLLOW). The descriptor when the file is a regular file; else -1
// with errno set (the open's own errno, EISDIR for a directory, EINVAL for
// any other kind of file).
int tarvo_open_regular_file(const char *path, int extra_flags);

// Keeps the open descriptor when its file is of the kind (S_IFREG,
// S_IFCHR, ...); else closes it and answers -1 with errno set (EISDIR for
// a directory, error for any other kind; fstat's own errno when it fails).
// A descriptor below 0 is passed through as -1.
int tarvo_keep_file_kind(int fd, mode_t kind, int error);

// Reads from the descriptor until size bytes are in, the file ends or a
// read fails (EINTR retried): the count of bytes read.
size_t tarvo_read_fully(int fd, void *buffer, size_t size);

// Writes to the descriptor until size bytes are out or a write fails or
// takes nothing (EINTR retried): the count of bytes written. A failed
// write leaves its errno; one that took nothing leaves errno as it was.
size_t tarvo_write_fully(int fd, const void *buffer, size_t size);

// Flushes the directory that holds path to the disk, making a rename into
// it durable: 0, or -1 with errno set.
int tarvo_sync_directory_of(const char *path);

#ifdef __cplusplus
}
#endif
