// Opens of the files and devices the boot reads and writes. The program
// runs privileged early in the boot, so none of them may block on a FIFO
// put in a file's place, follow a symbolic link where the file must be
// the boot's own, or create a file where a device must already be.
#pragma once

#include <sys/types.h>

#include <cstdio>

// Opens a file the boot reads: read-only, without blocking, close-on-exec,
// never becoming the controlling terminal. The descriptor when the file is
// a regular file; else -1 with errno set (the open's own errno, EINVAL for
// a file that is not a regular file, EISDIR for a directory). extra_flags
// adds open flags, such as
// O_NOFOLLOW where a link in the file's place is an error.
int open_regular_file(const char *path, int extra_flags = 0);

// open_regular_file as a stdio stream for reading; null with errno set.
FILE *fopen_regular_file(const char *path, int extra_flags = 0);

// Opens a file the boot writes for writing, created with mode (less the
// umask) or truncated, close-on-exec, never through a symbolic link (ELOOP)
// and without blocking. The descriptor when it is a regular file; else -1
// with errno set (EINVAL for a file that is not a regular file, which is
// left as it was).
int create_regular_file(const char *path, mode_t mode);

// create_regular_file as a stdio stream for writing; null with errno set.
FILE *fcreate_regular_file(const char *path, mode_t mode);

// Opens an existing character device with flags (O_RDONLY, O_WRONLY or
// O_RDWR, plus any others), never creating it, close-on-exec, never
// becoming the controlling terminal. The open itself does not block; the
// descriptor returned blocks as usual. -1 with errno set (ENODEV for a
// file that is not a character device).
int open_char_device(const char *path, int flags);

// open_char_device for writing, as a stdio stream; null with errno set.
FILE *fopen_char_device_for_writing(const char *path);

// Opens an existing file of one of the kernel's own file systems, magic
// being its type as statfs gives it (SECURITYFS_MAGIC, SYSFS_MAGIC,
// PROC_SUPER_MAGIC), with flags (O_RDONLY, O_WRONLY or O_RDWR, plus
// others such as O_TRUNC): never created, never through a symbolic link
// (ELOOP), without blocking, close-on-exec, never becoming the controlling
// terminal. The file's name alone proves nothing: where the kernel's file
// system is not mounted, a file of the same name on another one (a plain
// file, a directory, a FIFO of the device's image) is refused with
// ENOENT, as a kernel file that is not there. The check is made on the
// opened descriptor, so a file swapped in meanwhile is seen. The
// descriptor, blocking again as usual; else -1 with errno set.
int open_kernel_file(const char *path, int flags, long magic);

// Opens an existing securityfs file for writing (truncated), as a stdio
// stream, under the rules of open_kernel_file. Null with errno set.
FILE *fopen_kernel_file_for_writing(const char *path);

// Opens an existing sysfs or procfs file (magic as for open_kernel_file)
// for reading, as a stdio stream; it must be a regular file as well.
// Null with errno set.
FILE *fopen_kernel_file_for_reading(const char *path, long magic);

// Opens the file that receives the hash entries, read-write, neither
// created nor truncated: a path in the kernel's securityfs directory
// ("/sys/kernel/security/") under the rules of open_kernel_file; any other
// path (a file named on the command line) as it is given. The descriptor,
// or -1 with errno set.
int open_hash_list_file(const char *path);
