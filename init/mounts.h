// Mounts of the pseudo file systems and of "/var" (a UBIFS volume on the
// flash partition mtd4, attached to UBI first).
#pragma once

#include <cstddef>
#include <cstdint>

struct mount_option {
    const char *name;
    int clear;      // 0 sets mask in the flags, non-zero clears it
    uint32_t mask;  // Linux mount flags
};

// The 22 options that "/etc/fstab" may give as mount flags, then an end row
// with a null name.
extern const mount_option mount_option_table[];

// The kernel's UBI attach request.
struct ubi_attach_record {
    int32_t ubi_num;         // -1: the kernel picks the UBI device number
    int32_t mtd_num;         // flash partition to attach
    int32_t vid_hdr_offset;  // 0: the default
    int8_t padding[12];
};
static_assert(sizeof(ubi_attach_record) == 24, "UBI attach request is 24 bytes");
constexpr unsigned long UBI_ATTACH_REQUEST = 0x40186f40;  // UBI_IOCATT
constexpr int VAR_MTD_NUMBER = 4;

// Mounts sysfs, securityfs and procfs where they are missing: where the
// test path of one is missing or is not on that file system (statfs).
// Always 0.
int do_mounts();
// Unmounts those of the three that do_mounts mounted. Always 0.
int umount_all();

// Attaches mtd4 to UBI (an answer that it is attached already counts as
// success) and mounts source on target as "ubifs". 0; -2 the UBI control
// device cannot be opened; -14 the attach request or the mount failed.
int ubifs_mount(const char *source, const char *target, unsigned long flags, const char *data);

// Mounts "/var": by default "ubi0:var" with "no_chk_data_crc,bulk_read";
// in R&D mode with "/etc/tarvo/parse_fstab" present from the "/var" line
// of "/etc/fstab". 0, or the negative code of the failing step.
int mount_var(int rd_mode);

// The "/var" line of an fstab text (NUL-terminated, changed in place): the
// first line whose mount point is "/var" and type "ubifs"; fields are
// separated by single blanks, and the options field runs to the end of the
// line. *options is null when the line has no options field. 0, or -22
// when a line before it has fewer than two blanks or none is found.
int find_var_line(char *text, char **source, char **options);

// Applies the comma-separated options in order: those of the table set or
// clear flag bits, the others are joined with ',' into data, which must
// have room for strlen(options) + 1 bytes. Empty options are skipped.
void parse_mount_options(const char *options, unsigned long *flags, char *data);
