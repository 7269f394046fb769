// The vdata file "/etc/tarvo_vdata": the device's list of trusted file
// hashes, one line per file ("%s  %s\n": 40 lowercase hex digits of the
// file's SHA-1, two spaces, the path), written in path order. The list
// counts when its own SHA-1 equals the software certificate's "vdata"
// entry, else when the signed store of the "tcb" token lists it.
//
// None of these runs the per-process check of the services themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#define TARVO_VDATA_PATH "/etc/tarvo_vdata"

// Path to hash text.
typedef std::map<std::string, std::string> tarvo_vdata;

// While one lives, the list is not checked through the store of "tcb"
// (it counts as unsigned there, result 2): it is being checked through
// that store already, or this process holds the store's lock, which a
// second store object of it would wait for without end.
class vdata_store_busy {
public:
    vdata_store_busy();
    ~vdata_store_busy();
    vdata_store_busy(const vdata_store_busy &) = delete;
    vdata_store_busy &operator=(const vdata_store_busy &) = delete;

private:
    bool was_;
};

// Fills the cache of the software certificate's "vdata" digest, once per
// process image, when the hardware can be used. True when the digest is
// cached or the certificate was read and names none; false when the
// hardware cannot be used or the certificate cannot be read (tried again
// at the next call).
bool get_vdata_digest();
// The SHA-1 of the last entry named "vdata" among the certificate's named
// digests (count at byte 1112, 32-byte entries from byte 1116, the walk
// bounded by the certificate's length). False when there is none.
bool certificate_vdata_digest(const uint8_t *certificate, uint32_t length,
                              unsigned char digest[20]);
// Adds the lines of a vdata text of size bytes to the list (a later line
// for a path replaces the earlier one); a malformed line ends the parse.
void parse_tarvo_vdata(const char *text, size_t size, tarvo_vdata &list);
// 0 with a new list in *out, which the caller deletes (empty for a missing
// or empty file); 1 when the file cannot be read whole (errno set: not a
// regular file, no memory, no descriptor, ...); 2 when the file's content
// could not be digested; otherwise the result of checking the file
// through the store. The file is read once; the bytes read are the bytes
// checked and parsed.
int read_tarvo_vdata(tarvo_vdata **out);
// Writes the list to a new file beside the vdata file (mode 0644, flushed
// to the disk) and renames it over the vdata file; 1 when written, 0 when
// not (the old file is then left as it was).
int save_tarvo_vdata(const tarvo_vdata &list);
// Records the path's hash (the given digest, or the file's SHA-1); 1 when
// recorded, 0 when not. A list that is not itself trusted, or cannot be
// read, is never rewritten. Writers of several processes take turns under
// an exclusive lock on "/etc/tarvo_vdata.lock", so no recording is lost.
int save_global_signature(const char *path, const unsigned char *digest);
// The two halves of replacing a file that the list vouches for, so that
// both the old and the new file verify until the new one is in place: the
// new hash recorded beside the path's entry (a pending hash, which also
// verifies the path), and, when the new file could not be put in place,
// that pending hash dropped again. save_global_signature then makes the
// hash the path's entry and drops the pending one. 1 when recorded, 0 when
// not (the old list is then left as it was).
int save_pending_signature(const char *path, const unsigned char *digest);
int drop_pending_signature(const char *path);
// 0 verified (by the path's entry or its pending hash), 2 no entry for the path, 3 hash mismatch, or the reader's
// failure result.
int verify_global_signature(const char *path, const unsigned char *digest);
// The same check with the computed hash given, null when it could not be
// had (it then matches no recorded hash).
int check_vdata_entry(const char *path, const unsigned char *digest);
