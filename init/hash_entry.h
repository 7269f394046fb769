// Hash entries: the files that the kernel integrity module is told about,
// kept in one process-wide tree ordered by device, then inode, and written
// to the module's "hashlist" file one record per entry.
#pragma once

#include "init/digest.h"

#include <cstddef>
#include <cstdint>

// Credential pairs of an entry: pair i is (types[i], values[i]).
struct entry_credentials {
    int count;
    long *types;
    long *values;
};

struct hash_entry {
    uint32_t inode;
    uint32_t device;              // low 32 bits of the device number
    int type;                     // 0..4: letters s, x, d, t, p
    int a1, a2, a3;               // attributes, passed on as they are
    const char *source;           // interned source name, not owned; may be null
    uint8_t sha1[SHA1_DIGEST_LENGTH];  // all zero for entries without a hash
    entry_credentials *credentials;    // owned; null without credentials
    long source_id;               // token id of the source, 0 when none
};

// Room for one kernel record; the longest record is far shorter.
constexpr size_t HASH_RECORD_MAX = 512;

constexpr const char DEFAULT_HASHLIST_PATH[] = "/sys/kernel/security/keepstone/hashlist";

// Device and inode of the path (symbolic links followed): 0, or -1 with
// both set to 0.
int stat_ids(const char *path, uint32_t *inode, uint32_t *device);

// Builds an entry (copying the hash and the credential pairs) and inserts
// it; the path only serves the duplicate decision. 0, or -12 when no entry
// can be allocated. Credentials that cannot be allocated are dropped.
int new_hash_entry(uint32_t device, uint32_t inode, const char *source, int a1, int a2,
                   int a3, int type, const uint8_t hash[SHA1_DIGEST_LENGTH],
                   const char *path, int count, const long *types, const long *values,
                   long source_id);

// Puts the entry into the tree, taking ownership of it. When the key is
// already held and the hashes differ, the file's present SHA-1 decides
// which one stays; the one that does not is released. Returns the entry the
// tree holds for the key afterwards, or null for a null entry or when the
// tree cannot grow (the entry is then released).
hash_entry *insert_entry(hash_entry *entry, const char *path);
// The entry with the key's device and inode, or null.
hash_entry *find_entry(const hash_entry *key);
// Removes the entry with the key's device and inode; the entry is not
// released. Returns the removed entry, or null when the key is not held.
hash_entry *delete_entry(const hash_entry *key);
// Key order: device, then inode, both as signed 32-bit numbers; -1, 0 or 1.
int compare_entries(const void *a, const void *b);

// Writes every entry as a kernel record to the file at the path, one write
// per record, in ascending key order. 0; -2 when the file cannot be
// opened; -3 when a write of this call failed or the file took it only in
// part (every record is still tried; the failed writes are counted
// process-wide, never reset, and the count is reported).
int load_all(const char *path);
// The entry's record in the buffer (HASH_RECORD_MAX bytes): its length, or
// -1 for a type outside 0..4 (the first byte is then '?').
int format_entry(const hash_entry *entry, char *buffer);
// Appends " %ld %ld" per credential pair to the text in the buffer; 0.
int format_credentials(char *buffer, const hash_entry *entry);
// Diagnostic dump of the tree; 0.
int print_entries();

// Releases an entry and its credentials.
void free_hash_entry(hash_entry *entry);
// Empties the tree and releases every entry (tests and fuzzing only).
void release_all_entries();
// Number of failed record writes so far.
int hash_write_errors();
