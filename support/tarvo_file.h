// Opening a file that a library reads on the boot's road. The boot runs
// privileged before anything else, so such an open may neither block on a
// FIFO or a terminal put in the file's place nor take anything but a
// regular file.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Opens the file read-only, without blocking, close-on-exec, never
// becoming the controlling terminal; extra_flags adds open flags (such as
// O_NOFOLLOW). The descriptor when the file is a regular file; else -1
// with errno set (the open's own errno, EISDIR for a directory, EINVAL for
// any other kind of file).
int tarvo_open_regular_file(const char *path, int extra_flags);

#ifdef __cplusplus
}
#endif
