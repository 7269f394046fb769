// The configuration area: named, versioned, CRC-protected blocks in the
// "config" partition of the NAND flash.
//
// The partition's good erase blocks are divided into three areas of equal
// size: two alternating halves "config1" and "config2" holding the
// configuration blocks, and the user area "user"; a flash with a user OTP
// region adds the write-once area "wp" there. A new block version is
// appended in the free space of its area; a full half is compacted into
// the other half, whose first page is written last so that the old half
// stays the chosen one until the new one is complete. A compacted run that
// ends inside the first page is followed by a copy of its first block in
// the next page, which shows the run complete without the other half.
//
// A context is set up for one use (cal_init_ro / cal_init_rw), used for
// one read or write and released (cal_release); it keeps the flash device
// open and locked all that time. The set-up reads the used part of each
// area it scans once, checks headers and data in memory and keeps those
// bytes with the context; the other half is read only when the current
// one fails or its first page may hold less than was written. The lists
// are indexed by name, so that a set-up takes time linear in its blocks.
// After a failed write the context is only released.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

// --- Block format ---------------------------------------------------------

#define CAL_MAGIC 0x466E6F43u  // "ConF" as stored (little-endian)
#define CAL_HEADER_VERSION 2
#define CAL_HEADER_SIZE 36
#define CAL_NAME_SIZE 16

// Header flags on the flash.
#define CAL_HDR_FLAG_USER 1
#define CAL_HDR_FLAG_WRITE_ONCE 4
// Flags of cal_read_block and cal_write_block.
#define CAL_FLAG_USER 1
#define CAL_FLAG_WRITE_ONCE 2

// The 36-byte header at the start of every block (fields in host order;
// cal_header_encode / cal_header_decode give the little-endian bytes).
struct cal_block_header {
    uint32_t magic;
    uint8_t hdr_version;
    uint8_t version;
    uint16_t flags;
    char name[CAL_NAME_SIZE];  // zero-padded; 16 characters have no zero
    uint32_t length;
    uint32_t data_crc;
    uint32_t hdr_crc;
};

uint32_t cal_crc32(const unsigned char *data, uint32_t length);
void cal_header_encode(const cal_block_header *header, unsigned char out[CAL_HEADER_SIZE]);
void cal_header_decode(const unsigned char in[CAL_HEADER_SIZE], cal_block_header *header);
// Fills in the header CRC (over the encoded bytes 0-31).
void cal_header_seal(cal_block_header *header);
// Whether version b is newer than version a (the 8-bit counter wraps).
int cal_version_newer(uint8_t b, uint8_t a);
// Compares two names over at most 16 bytes, stopping at a zero byte: 0 when equal.
int cal_name_cmp(const char *a, const char *b);
// The 16-byte name field as a terminated text (for messages).
void cal_name_text(const char name[CAL_NAME_SIZE], char out[CAL_NAME_SIZE + 1]);
// Rounds up to a multiple of m (a power of two or not); no wrap-around checks.
uint32_t cal_round_up(uint32_t value, uint32_t m);

// Report hooks: the error hook starts as cal_default_error_handler
// ("CAL ERROR: %s\n" on standard error); the debug hook starts as none.
typedef void (*cal_error_fn)(const char *message);
typedef void (*cal_debug_fn)(int level, const char *message);
extern cal_error_fn cal_error_hook;
extern cal_debug_fn cal_debug_hook;
void cal_default_error_handler(const char *message);
void cal_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
void cal_debug(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// --- Flash device and areas -----------------------------------------------

struct cal_block_map {
    uint32_t logical;
    uint32_t physical;
};

// The bytes of an area that a scan read, from address 0, kept with the
// context for its later checks (opaque; see area.cpp).
struct cal_area_image;

struct cal_area {
    const char *name;
    cal_block_map *blocks;
    uint32_t block_count;
    int valid;
    uint32_t empty_start;
    int otp;  // in the OTP region
    // Set by a scan that listed a block with damaged data in the first
    // page, the page a compaction writes last.
    int first_page_damaged;
    // The first erased position the scan met, or the area's size: below
    // one page, the first page may hold less than was written to it.
    uint32_t first_gap;
    // The scan met a header it could neither read nor repair and resumed
    // behind it.
    int damaged_headers;
    // A block lies behind the end of a packed run (after an erased gap
    // inside a page): the run was complete.
    int appended_behind;
    // The run ends inside the first page and the next page starts with the
    // copy of the run's first block that a compaction writes behind such a
    // run once its first page is written: the run was complete. (Not a
    // block appended behind it: damage in the first page still counts.)
    int run_sealed;
    // A header of the area could not be read in this context: what the
    // area holds is unknown, so no write may replace it.
    int read_failed;
    cal_area_image *image;
};

// The kernel's MEMGETINFO record.
struct cal_mtd_info {
    uint8_t type;
    uint32_t flags;
    uint32_t size;
    uint32_t erasesize;
    uint32_t writesize;
    uint32_t oobsize;
    uint64_t padding;
};

struct cal_block_node {
    uint32_t address;
    cal_block_header header;
    unsigned char *data;  // verified data, or null until read
    cal_block_node *next;
};

// The index of a context's block lists by name (opaque; see area.cpp).
struct cal_name_index;

struct cal_context {
    int fd;
    cal_mtd_info info;
    uint32_t page_size;
    uint32_t erase_size;
    int otp;
    cal_block_node *config_list;
    cal_block_node *user_list;
    cal_block_node *wp_list;
    cal_area config[2];
    int current;
    cal_area user;
    cal_area wp;
    // The OTP mode could not be switched off: offsets would reach the
    // wrong region, so the context does no further flash access.
    int io_failed;
    // The OTP probe failed for another reason than a flash without OTP
    // region: where write-once blocks live is not known.
    int otp_unknown;
    // The three lists by block name, made by the first list operation
    // that needs it and freed with the lists (free_block_lists).
    cal_name_index *names;
};

// 1 (reported) when the context has stopped its flash access, else 0.
int cal_access_stopped(const cal_context *ctx);
int find_config_partition(char path[16]);
int open_config_device(cal_context *ctx, int read_only);
void close_config_device(cal_context *ctx);
int scan_erase_blocks(cal_context *ctx);
int is_bad_block(cal_context *ctx, uint64_t offset);
int map_area_blocks(cal_context *ctx, cal_area *area, uint32_t count, uint64_t *offset);
uint32_t cal_area_size(const cal_context *ctx, const cal_area *area);
int cal_nand_read(cal_context *ctx, cal_area *area, uint32_t address, void *buffer,
                  uint32_t length);
int nand_write(cal_context *ctx, cal_area *area, uint32_t address, const void *data,
               uint32_t length);
int verify_write(int fd, uint32_t physical, const unsigned char *expected, uint32_t length);
int erase_area(cal_context *ctx, cal_area *area);
// 0, or -1 when the request failed (reported).
int onen_set_otp_mode(cal_context *ctx, int on);
int lock_otp_region(cal_context *ctx);
int cal_lock_wp_area(cal_context *ctx, int area_number);

// --- Set-up, scan and lists -------------------------------------------------

int cal_init(cal_context **out, int read_only);
int cal_init_rw(cal_context **out);
int cal_init_ro(cal_context **out);
void cal_release(cal_context *ctx);
// 0 valid, -2 erased position, -1 invalid.
int read_block_header(cal_context *ctx, cal_area *area, uint32_t address,
                      cal_block_header *header);
int scan_block_headers(cal_context *ctx, cal_area *area, int mode);
void add_block(cal_context *ctx, cal_block_node *node);
// The node of that name in one of the context's lists (&ctx->config_list,
// &ctx->user_list or &ctx->wp_list), found through the name index.
cal_block_node *cal_find_listed(cal_context *ctx, cal_block_node **list, const char *name);
// Takes a node out of its list: 1, or 0 when it is in none.
int cal_unlink_node(cal_context *ctx, cal_block_node *node);
// The list a block belongs to by its header flags: user, write-once or config.
cal_block_node **cal_list_for(cal_context *ctx, uint16_t header_flags);
void free_block_lists(cal_context *ctx);
void cal_free_node(cal_block_node *node);
// Whether [from, from + length) of the area reads as erased (0xFF): 1 yes,
// 0 no, -1 when it cannot be read. Uses what the scan read when it can.
int cal_area_erased(cal_context *ctx, cal_area *area, uint32_t from, uint32_t length);
// Drops what the scan read of the area (after the area was written).
void cal_area_forget(cal_area *area);

// --- Blocks -------------------------------------------------------------

// 0 with *data a copy (free it) and *length; -2 no such block; -1 failure.
int cal_read_block(cal_context *ctx, const char *name, unsigned char **data, uint32_t *length,
                   int flags);
int cal_write_block(cal_context *ctx, const char *name, const unsigned char *data,
                    uint32_t length, int flags);
cal_block_node *lookup_block(cal_context *ctx, const char *name, int flags);
cal_block_node *find_block_in_list(cal_block_node *first, const char *name);
int read_block_data(cal_context *ctx, cal_area *area, cal_block_node *node);

}  // extern "C"
