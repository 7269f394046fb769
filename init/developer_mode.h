// Developer-mode settings: a small fixed-layout file protected by a MAC
// that the security hardware makes and checks under the program id "tcb".
// When it is present and accepted the device boots in developer mode.
//
// File layout (integers unsigned 32-bit little-endian, 52 to 4096 bytes):
// magic (24 bytes), version 0x01000000, entry count, 20-byte MAC over the
// whole file with the MAC field zeroed, then the entries back to back:
// type (0 string, 1 u32), name length (1 to 64), value length, name
// (no NUL), value. The last entry ends exactly at the end of the file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char DEVELOPER_MODE_PATH[] = "/etc/tarvo/developer-mode.bin";
constexpr size_t DEVELOPER_MODE_HEADER_SIZE = 52;
constexpr size_t DEVELOPER_MODE_MAX_SIZE = 4096;
constexpr size_t DEVELOPER_MODE_MAC_OFFSET = 32;
constexpr size_t DEVELOPER_MODE_MAC_SIZE = 20;
constexpr size_t DEVELOPER_MODE_ENTRY_HEADER = 12;
constexpr uint32_t DEVELOPER_MODE_MAX_NAME = 64;
constexpr uint32_t DEVELOPER_MODE_VERSION = 0x01000000;
// "tarvo developer modecfg" and the byte 0x1A.
extern const unsigned char DEVELOPER_MODE_MAGIC[24];

enum { DEVELOPER_SETTING_STRING = 0, DEVELOPER_SETTING_U32 = 1 };

// The loaded settings; released with free_developer_settings.
struct developer_settings {
    uint32_t relaxed_exec_validation;  // 0 when absent
    char *developer_origin;            // null when absent
};

// Loads DEVELOPER_MODE_PATH. 1 loaded (*out set); 0 empty file, program
// id refused or MAC not accepted; -22 no out pointer or a malformed file;
// -12 no memory; -5 short read; the negated errno value when the file
// cannot be opened, examined or read. *out is null on every result but 1.
int developer_mode_load_settings(developer_settings **out);
// Writes the settings to DEVELOPER_MODE_PATH with a fresh MAC. 1 written;
// the negated errno value when the file cannot be opened or written; -12
// no memory; -13 program id or MAC request refused; -22 any other MAC
// failure or settings that no loader would accept; -5 short write.
int developer_mode_save_settings(const developer_settings *settings);
// 0 for "developer_origin", 1 for "relaxed_exec_validation", -1 otherwise.
int developer_setting_type(const char *name);
// The value length a setting takes in the file: 4 for a u32 setting, the
// string length of value for a string setting; -1 for an unknown name.
int developer_setting_length(const char *name, const void *value);
// The entries of a whole file of size bytes whose header and MAC were
// accepted, applied to settings: 0, or the loader's failure code after its
// trace (-22 malformed, -12 no memory). Nothing beyond size is read.
int developer_mode_parse_entries(const unsigned char *data, size_t size, uint32_t count,
                                 developer_settings *settings);
// Frees the origin and the record; null does nothing.
void free_developer_settings(developer_settings *settings);
