// Client of the device's security hardware, reached through the secure-
// services driver "/dev/omap_sec".
//
// Every operation is one numbered service of the secure side, carried out
// as one request: the service is selected with a device request whose
// argument is the service number itself, the argument length and the
// arguments are written (each field with a write of its own), then the two
// status words and the results are read back (each result with a read of
// exactly its length) and whatever the device still holds is drained.
// All words travel in the processor's byte order.
//
// Process-wide state, for one thread: the device descriptor, the
// last-error triple, the kept program id and a flag nobody reads.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The driver's device node and its service-selection request.
#define KZ4_DEVICE_PATH "/dev/omap_sec"
#define KZ4_IOCTL_SELECT 0x4004B500UL

// Services of the secure side used by this library.
enum {
    KZ4_SERVICE_ANNOUNCE = 2,
    KZ4_SERVICE_STORE_OBJECT = 3,
    KZ4_SERVICE_READ_OBJECT = 4,
    KZ4_SERVICE_RELEASE_OBJECT = 5,
    KZ4_SERVICE_IMPORT_SW_CERT = 83,
    KZ4_SERVICE_IMPORT_NPC = 496,
    KZ4_SERVICE_IMPORT_CCC = 576,
    KZ4_SERVICE_IMPORT_HWC = 580,
    KZ4_SERVICE_RANDOM = 80,
    KZ4_SERVICE_INFO20 = 81,
    KZ4_SERVICE_DEBUG_CONTROL = 84,
    KZ4_SERVICE_MODE = 85,
    KZ4_SERVICE_ID = 86,
    KZ4_SERVICE_INFO52 = 577,
    KZ4_SERVICE_OBJECT_DATA = 578,
    KZ4_SERVICE_OBJECT_LENGTH = 579,
    KZ4_SERVICE_ENCRYPT = 896,
    KZ4_SERVICE_ENCRYPT_ALT = 897,
    KZ4_SERVICE_DECRYPT = 898,
    KZ4_SERVICE_MAC = 899,
    KZ4_SERVICE_CHECK_MAC = 900,
    KZ4_SERVICE_RECORD_MAC = 901,
};

// Bit of the first debug-control word: R&D software enabled.
#define KZ4_RDC0_RD_SW_ENABLED 0x20000000u

// The last-error triple. LIB: an errno value set by the library (also set
// into errno), or 1 after an argument write the device did not take
// whole. ROM and PA: the two status words of the last response when they
// are not 0 (the mode, the ROM word of service 85, included). -1 in a field
// means "not set", so a successful request leaves all three at -1; every
// operation that sends a request first sets them to -1.
struct kz4_error {
    int32_t lib;
    int32_t rom;
    int32_t pa;
};
extern struct kz4_error kz4_last_error;

// --- device and last-error state -------------------------------------

// Opens the device (closing an open one first). With a program name, the
// name is announced to the secure side. 0 open; -1 the device cannot be
// opened; -2 the path is a symbolic link, or announcing the name failed
// (the device is then closed). A failed open leaves LIB unset.
int kz4_open(const char *program_name);
// Closes the device if open and drops the kept program id; 0.
int kz4_close(void);

void kz4_clear_error(void);
// Sets LIB and errno to the value.
void kz4_set_lib_error(int value);
// Copies the triple into the given places (each may be NULL); 0 when all
// three are -1, else -1.
int kz4_error_info(int *lib, int *rom, int *pa);

// --- request framing --------------------------------------------------

// Selects the service and writes the argument length: 0; the selection's
// nonzero result (normally -1 with errno set, LIB not set); or the result
// of writing the length.
int kz4_begin_request(uint32_t service, uint32_t arg_length);
// One argument field, one write. 0; -1 bytes NULL (LIB and errno EINVAL);
// -2 fewer than n bytes written (LIB 1, errno untouched).
int kz4_write_arg(const void *bytes, uint32_t n);
int kz4_write_u32(uint32_t value);
int kz4_write_u16(uint16_t value);
int kz4_write_u8(uint8_t value);
// Reads the ROM word and the second word. 0; for service 85 the ROM word;
// -1 the ROM word cannot be read; -2 a nonzero ROM word (another word is
// consumed); -3 the second word cannot be read; -4 a nonzero PA word
// (services from 256 up).
int kz4_read_status(uint32_t service);
// One result, one read of exactly n bytes. 0; -1 buffer NULL (EINVAL);
// -2 fewer bytes (LIB and errno the cause, EIO when the device simply had
// no more).
int kz4_read_result(void *buffer, uint32_t n);
int kz4_read_u32(uint32_t *value);
int kz4_read_u16(uint16_t *value);
int kz4_read_u8(uint8_t *value);
// Reads the device empty in 16-byte pieces; returns the last read's
// result (0 or negative). errno is left as it was before the drain.
int kz4_end_request(void);

// Buffers handed out by the library are malloc blocks.
void *kz4_alloc(uint32_t size);
void kz4_free(void *p);

void kz4_flag_set(void);
void kz4_flag_clear(void);

// --- device services --------------------------------------------------

// Each starts by clearing the triple and returns 0 or the step result of
// the framing above; NULL outputs give -1 with LIB and errno EINVAL.

// n random bytes (service 80; arguments n, n, 16).
int kz4_get_random(uint8_t *out, uint32_t n);
// 20 bytes (service 81).
int kz4_get_info20(uint8_t *out);
// The three debug-control words (service 84); bit KZ4_RDC0_RD_SW_ENABLED
// of out[0] means R&D software is enabled.
int kz4_get_debug_control(uint32_t out[3]);
// The hardware mode: the ROM word of service 85's response, or a negative
// step result. The triple keeps ROM = mode.
int kz4_mode(void);
// The 8 identity bytes (service 86). NULL is not tested here: the request
// is made and reading the result fails with -1.
int kz4_get_id_bytes(uint8_t out[8]);
int kz4_read_id(uint8_t out[8]);
int kz4_read_id_alt(uint8_t out[8]);
// The identity as 15 IMEI digit values 0..15 (not characters); on a
// failed read the digits stay 0.
int kz4_read_imei(uint8_t digits[15]);
// 52 bytes (service 577).
int kz4_get_info52(uint8_t *out);
// Numbered object: its length L from service 579, then its data from
// service 578. The data length M with *out a kz4_alloc block the caller
// frees with kz4_free; a negative L as it came; or a step result with
// *out NULL.
int kz4_read_object(uint32_t id, uint8_t **out);

// Writes the format to standard output; a '%' skips to a 'D', a second
// '%' (which prints nothing) or the end. 'D' takes (const void *, int) and
// prints the bytes as uppercase hex: a newline before every 16th byte, two
// blanks before every other 8th, one blank otherwise, nothing after the
// last. Always 0.
int kz4_hexprintf(const char *format, ...);

// --- certificates and configuration-area blocks -------------------------

// Blocks of the configuration area kept by this library (flags 0, the
// configuration area, except the 4-byte "sec-info" of the user area).
#define KZ4_BLOCK_HWC "cert-hwc"
#define KZ4_BLOCK_CCC "cert-ccc"
#define KZ4_BLOCK_NPC "cert-npc"
#define KZ4_BLOCK_SW "cert-sw"
#define KZ4_BLOCK_SW_ULVO "cert-sw-ulvo"  // read instead of "cert-sw" in mode 2
#define KZ4_BLOCK_SEC_INFO "sec-info"
#define KZ4_BLOCK_SEC_INFO_CFG "sec-info-cfg"

// The software certificate: a byte block, 32-bit fields little-endian at
// these offsets, read byte by byte. Its entries are 32 bytes: a name of
// 12 bytes (a zero-terminated text within them; "vdata" names the vdata
// file) and a SHA-1 digest of 20. A certificate of version 1 has its
// entry count and entries at the V1 offsets, every other version at the
// others; the readers of the entries use the latter for every version.
#define KZ4_SWCERT_MAGIC 0
#define KZ4_SWCERT_KEY_INDEX 4
#define KZ4_SWCERT_HEADER_SIZE 24
#define KZ4_SWCERT_STARTUP 328
#define KZ4_SWCERT_WATCHDOG 332
#define KZ4_SWCERT_HEADER_VERSION 340
#define KZ4_SWCERT_SUB_MAGIC 344
#define KZ4_SWCERT_INTERVAL 348
#define KZ4_SWCERT_CHECK_FLAGS 352
#define KZ4_SWCERT_VERSION 976
#define KZ4_SWCERT_TIMESTAMP 980
#define KZ4_SWCERT_V1_COUNT 984
#define KZ4_SWCERT_V1_ENTRIES 988
#define KZ4_SWCERT_COUNT 1112
#define KZ4_SWCERT_ENTRIES 1116
#define KZ4_SWCERT_ENTRY_SIZE 32
#define KZ4_SWCERT_ENTRY_NAME_SIZE 12
// The little-endian word at offset (the caller checks the length).
uint32_t kz4_sw_cert_u32(const uint8_t *cert, uint32_t offset);

// The bridge to the configuration area. kz4_cal_read: 0 with *data a copy
// (kz4_free) and *length; -1 a NULL argument (EINVAL); -2 the area cannot
// be set up; -3 the block cannot be read or does not exist (LIB ENOENT).
// kz4_cal_write: 0; -1 name or data NULL (an empty block is written with
// a pointer and length 0); -2 set-up failed (LIB not set); -3 the write
// failed. Neither resets the triple.
int kz4_cal_read(const char *name, uint8_t **data, uint32_t *length, int flags);
int kz4_cal_write(const char *name, const uint8_t *data, uint32_t length, int flags);

// Certificate blocks: as kz4_cal_read with flags 0, -4 (with *data NULL,
// *length 0) for an empty block.
int kz4_read_hwc_block(uint8_t **data, uint32_t *length);
int kz4_read_ccc_block(uint8_t **data, uint32_t *length);
int kz4_read_npc_block(uint8_t **data, uint32_t *length);
int kz4_write_hwc_block(const uint8_t *data, uint32_t length);
int kz4_write_ccc_block(const uint8_t *data, uint32_t length);
int kz4_write_npc_block(const uint8_t *data, uint32_t length);
// Each writes its block empty.
int kz4_erase_hwc_block(void);
int kz4_erase_ccc_block(void);
int kz4_erase_npc_block(void);

// "sec-info" of the user area (4 bytes), of the configuration area (8
// bytes) and "sec-info-cfg" (8 bytes): 0 with *data a copy; a negative
// result of kz4_cal_read; -1 for a block of another length.
int kz4_read_user_sec_info(uint8_t **data);
int kz4_read_sec_info(uint8_t **data);
int kz4_read_sec_info_cfg(uint8_t **data);
int kz4_write_user_sec_info(const uint8_t *data);
int kz4_write_sec_info(const uint8_t *data);
int kz4_write_sec_info_cfg(const uint8_t *data);

// The secure side's object store (16-byte name fields: at most 15
// characters, zero-padded). Results name the failed step: storing -1 name
// or handle pointer NULL, -2 selection, -3 length, -4 name, -5 data, -6
// status, -7 handle; reading -1 NULL output or selection, -2 handle, -3
// name, -4 status, -5 length, -6 no memory, -7 data; releasing -1
// selection, -2 handle, -3 name, -4 status. None resets the triple.
int kz4_store_object(const char *name, uint32_t length, const uint8_t *data, uint32_t *handle);
int kz4_read_stored_object(const char *name, uint32_t handle, uint32_t *length, uint8_t **data);
int kz4_release_object(const char *name, uint32_t handle);

// Import of the NPC, CCC and HWC certificates: the given data, or with
// NULL the certificate's block, is stored as object "NPC", "CCC" or "HWC"
// and imported by its handle. 0 (the object stays stored); a negative step
// result (-4 for an empty block; a failed import releases the object).
int kz4_esn_init(const uint8_t *data, uint32_t length);
int kz4_import_ccc(const uint8_t *data, uint32_t length);
int kz4_import_hwc(const uint8_t *data, uint32_t length);
// Whether the caller may make the named protected write: 0, granted.
int kz4_access_check(const char *access_token);
// Protected writes: the access check, the import (not for CCC), then the
// certificate's block.
int SEE_HWCWrite(const uint8_t *data, uint32_t length);
int SEE_CCCWrite(const uint8_t *data, uint32_t length);
int SEE_NPCWrite(const uint8_t *data, uint32_t length);

// The software certificate's block ("cert-sw-ulvo" in mode 2, else
// "cert-sw"): as the certificate blocks.
int kz4_read_sw_cert(uint8_t **data, uint32_t *length);
// Hands the software certificate to the secure side (service 83): 0; -1
// NULL or length 0 (EINVAL); a step result.
int kz4_import_sw_cert(const uint8_t *certificate, uint32_t length);
// The same after checking that the certificate holds its version, count
// and entries: -2 (EINVAL) when it is too short.
int kz4_import_sw_cert_checked(const uint8_t *certificate, uint32_t length);
// The checked import, then the block "cert-sw".
int kz4_write_sw_cert(const uint8_t *certificate, uint32_t length);

// --- file protection under a program id --------------------------------

// Longest program id kept, in characters.
#define KZ4_PROGRAMID_MAX 1024
// Verdicts of kz4_fprot_check_mac.
#define KZ4_MAC_VALID 1
#define KZ4_MAC_MISMATCH 3

// Keeps a copy of the program id that selects the secure side's keys. 0;
// -1 id NULL or longer than KZ4_PROGRAMID_MAX (LIB and errno EINVAL, the
// kept id unchanged); -2 no memory (LIB = errno, no id kept any more).
int kz4_set_programid(const char *id);
// *id = the kept id (NULL when none; the library keeps it); 0, or -1 for
// a NULL pointer (EINVAL).
int kz4_get_programid(const char **id);
// One file-protection request: the program id (the kept one; without one,
// the caller's first "AID::*" credential text, else "::", which is then
// kept), the optional name, the inputs and the output length out_len. On
// success *out holds the out_len output bytes (kz4_free) and the result is
// the device's result word R; on failure *out is NULL and the result a
// negative step result. Does not reset the triple.
int kz4_fprot_call(uint32_t service, const char *name, const uint8_t *in1, uint32_t len1,
                   const uint8_t *in2, uint32_t len2, uint8_t **out, uint32_t out_len);
// Encrypts len bytes (service 896, or 897): the length of the encrypted
// data in *out, at most len rounded up to 16 plus 32.
int kz4_fprot_encrypt(const uint8_t *data, uint32_t len, uint8_t **out);
int kz4_fprot_encrypt_alt(const uint8_t *data, uint32_t len, uint8_t **out);
// Decrypts what encryption made (service 898): the length of the data in
// *out. -1 without a request for a length of 32 or less or not a multiple
// of 16.
int kz4_fprot_decrypt(const uint8_t *data, uint32_t len, uint8_t **out);
// The 20-byte MAC of the data (service 899): 20 with *mac the MAC.
int kz4_fprot_mac(const uint8_t *data, uint32_t len, uint8_t **mac);
// Checks a MAC (service 900) under the name's key: KZ4_MAC_VALID,
// KZ4_MAC_MISMATCH, another verdict word of the device, or negative; -1
// without a request for mac_len above 20.
int kz4_fprot_check_mac(const char *name, const uint8_t *data, uint32_t len,
                        const uint8_t *mac, uint32_t mac_len);
// The MAC (service 901) of a record: u32 n, u32 b, the first text and the
// second text (n bytes each, in 256-byte fields), then the data. n at most
// 256. 20 with *out the MAC, or negative.
int kz4_fprot_record_mac(const uint8_t *data, uint32_t len, uint32_t n,
                         const uint8_t *second_text, uint32_t b, const uint8_t *first_text,
                         uint8_t **out);

// --- return-code names and the error report ------------------------------

// A row of a return-code table: the code and its name.
struct kz4_code_row {
    int32_t code;
    char name[52];
};
#define KZ4_SEC_ROM_RET_ROWS 29
#define KZ4_SERVICE_RET_ROWS 94
// Names of the secure ROM's status codes (ROM) and of the services'
// status codes (PA).
extern const struct kz4_code_row sec_rom_ret_names[KZ4_SEC_ROM_RET_ROWS];
extern const struct kz4_code_row service_ret_names[KZ4_SERVICE_RET_ROWS];

// The name of the first row with the code, "UNKNOWN" when none has it.
const char *kz4_code_name(int code, const struct kz4_code_row *table, uint32_t rows);
// Prints the triple to standard output, one line each for LIB (with the
// error number's text), ROM and PA (with their names), under the
// operation's name ("operation" for NULL). 0 when no error is recorded
// (all three -1), else -1.
int kz4_print_error(const char *operation);

#ifdef __cplusplus
}
#endif
