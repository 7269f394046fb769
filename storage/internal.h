// Internal helpers of protected storage.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "crypto/tarvo_crypto.h"
#include "crypto/vdata.h"
#include "support/dlog_send.h"

// Error-log line of this library: "tarvo_storage(<line>): ERROR ...".
#define SERR(...) dlog_error("tarvo_storage", __LINE__, __VA_ARGS__)

namespace storage_internal {

// Default data directory of encrypted stores and the storage roots.
constexpr const char *DEFAULT_DATA_DIRECTORY = "/home/user/.tarvo/ps/.e/";
constexpr const char *ENCRYPTED_ROOT = "/home/user/.tarvo/ps";
constexpr const char *SIGNED_ROOT = "/var/lib/tarvo/ps";
constexpr const char *LEGACY_DATA_DIRECTORY = "/var/lib/tarvo/ps/.e/";

inline const char *errtext() { return strerror(errno); }

// Overwrites n bytes so that the compiler cannot drop the writes.
void wipe(void *p, size_t n);

// The directory at an absolute path, opened one component at a time from
// "/" without following a link (O_NOFOLLOW | O_DIRECTORY), each component
// owned by the caller or root; missing ones are made (mode 0755) when
// create is set. The descriptor, or -1 with errno (EACCES for a component
// of another user, ELOOP or ENOTDIR for a link or other non-directory).
int open_directory_path(const std::string &directory, bool create);
// A data file opened or created (flags, mode) relative to its directory
// opened as above, never through a link. The descriptor or -1 (errno).
int open_data_file(const std::string &path, int flags, mode_t mode);
// lstat of a data file through its directory opened as above. 0 or -1.
int stat_data_file(const std::string &path, struct stat *st);

// unlink and rename of data files through their directories opened as
// above (the target's directory made when missing). 0 or -1 (errno).
int unlink_data_file(const std::string &path);
int rename_data_file(const std::string &from, const std::string &to);
// A second link to a data file under another name (a file there is
// replaced at once, through a temporary link renamed over it). 0 or -1.
int link_data_file(const std::string &from, const std::string &to);

// Whether the named semaphore (a store object's life) still exists; an
// empty name counts as alive.
bool semaphore_alive(const std::string &name);

// SHA-1 and MD5 through the cryptography library. 1 or 0.
int sha1(const void *data, size_t length, unsigned char out[20]);
int md5(const void *data, size_t length, unsigned char out[16]);

// Base64 SHA-1 of the regular file at path as it is now, read once through
// one descriptor, into out; its length into length. Never blocks on a
// FIFO. 1 or 0 (errno set).
int sha1_of_file(const char *path, std::string &out, uint64_t &length);

// Little-endian fields of the encrypted header's status record.
inline void put_le(unsigned char *p, uint64_t v, int n)
{
    for (int i = 0; i < n; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}
inline uint64_t get_le(const unsigned char *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--)
        v = (v << 8) | p[i];
    return v;
}

}  // namespace storage_internal
