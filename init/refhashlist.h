// The reference hash list: a signed text list of the files that the kernel
// integrity module knows, parsed in place into hash entries; the hashes of
// admitted kernel modules go to the module's "modlist" file as they are met.
#pragma once

#include "init/digest.h"

#include <cstddef>
#include <cstdint>

// The platform's own source name, fixed at build time: a source of this
// name is trusted for developer-mode kernel modules, and the
// configuration-data protection entries carry it.
extern const char platform_source_id[];

constexpr const char MODLIST_PATH[] = "/sys/kernel/security/keepstone/modlist";

// Loads the list at the path: reads it into one private buffer, checks its
// signature under "tcb" (a failure counts only with sigcheck set) and parses
// that same buffer. 0; -2 cannot open or read; -1 cannot stat or release
// the buffer; -12 no buffer (also for an empty file); -14 signature failed
// (with sigcheck) or the parse failed.
int load_refhashlist(const char *path, int sigcheck, int rd_mode, int developer);

// Builds a version 3 list from the "hash: " lines of the journal's record
// text (length bytes) and parses it. 0, -12 no buffer, -14 parse failed.
int parse_journal_hashes(const char *text, size_t length, int rd_mode, int developer);

// Parses the list in place. The memory must be writable and a NUL byte must
// follow the list at list[length]. 0, or -1 to -13 by the kind of error.
int parse_hashlist(char *list, size_t length, int rd_mode, int developer);

// Writes the 20 hash bytes to the module list file: 0, or -1 when the file
// cannot be opened.
int write_module_hash(const uint8_t hash[SHA1_DIGEST_LENGTH]);

// Value 0..15 of a hexadecimal digit in either case, -1 for any other byte.
int hex_value(int byte);

// Byte-wise comparison of two source names (the source-name set's order).
int source_name_compare(const void *a, const void *b);

// Empties the source-name set (tests and fuzzing only; no entry may still
// refer to a name).
void release_source_names();
