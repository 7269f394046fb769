// Data-file checks of the boot: a file's signature under the token "tcb"
// through the crypto services, or its SHA-1 against a reference hash; the
// reference hash of the vdata file comes from the software certificate.
#pragma once

#include <cstddef>
#include <cstdint>

// Software certificate layout as the boot reads it: the entry count at
// 1112 and 32-byte entries {12-byte name, 20-byte SHA-1} from 1116,
// whatever the certificate's version says.
constexpr size_t SW_CERT_COUNT_OFFSET = 1112;
constexpr size_t SW_CERT_ENTRIES_OFFSET = 1116;
constexpr size_t SW_CERT_ENTRY_SIZE = 32;
constexpr size_t SW_CERT_NAME_SIZE = 12;

// The largest data file read whole.
constexpr uint64_t DATA_FILE_MAX = 64u << 20;

// A private copy of a whole regular file, readable and writable (changes
// never reach the file), read once: a file changed or shortened meanwhile
// cannot change or fault it. *fd receives the descriptor (-1 when the open
// failed) and *size the file's size. Null when the file cannot be opened,
// examined or read whole, is empty or is larger than DATA_FILE_MAX; the
// descriptor is then closed.
unsigned char *map_data_file(const char *path, int *fd, size_t *size);
// Releases the copy, then closes the descriptor: 0, or the negative
// result of the release, in which case the descriptor stays open.
int unmap_data_file(int fd, void *map, size_t size);

// 0 when the crypto services verify the file's content under "tcb"; -22
// when they do not; -2 when the file cannot be mapped.
int verify_file_signature(const char *path);
// 0 when the SHA-1 of the file's content equals hash; -22 when it does
// not; -2 when the file cannot be mapped.
int check_file_sha1(const char *path, const uint8_t hash[20]);
// Reads the software certificate, prints it to the trace stream and copies
// the SHA-1 of its entry "vdata" into hash: 0 when there is one; -22 when
// the certificate has no entries, none named "vdata", or fewer bytes than
// its fields and entries take; the reader's code when it cannot be read.
int get_vdata_hash(uint8_t hash[20]);
// The part of get_vdata_hash after the reading, on a certificate of
// length bytes.
int sw_cert_vdata_hash(const uint8_t *cert, uint32_t length, uint8_t hash[20]);
