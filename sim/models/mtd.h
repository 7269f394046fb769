// The NAND flash of the simulated device: "/proc/mtd" and the MTD character
// devices "/dev/mtd%u".
//
// Partitions (state file "mtd.partitions", one line each:
// "NUM NAME SIZE ERASESIZE WRITESIZE [OTPSIZE]", numbers in C notation;
// absent: the default table below). Every partition is a NAND flash with
// the given erase block and page (write) size; OTPSIZE > 0 gives it a user
// OTP region of that many bytes.
//
// Device state, per partition N:
//   "mtd/mtdN.img"      the flash contents; bytes past the end of the file
//                       read as erased (0xFF), so big partitions cost
//                       nothing until written
//   "mtd/mtdN.bad"      the numbers of the bad erase blocks, one a line
//   "mtd/mtdN.otp"      the user OTP region's contents
//   "mtd/mtdN.otplock"  present once the OTP region is locked
//   "run/mtd.ops"       flash operations (page programs, block erases) of
//                       this boot
//   "run/mtd.reads"     read requests of this boot and the bytes they
//                       returned ("CALLS BYTES")
//   "run/mtd.off"       present after a power cut: every later read, write
//                       and request fails with EIO until the next boot
//
// NAND rules: a write starts on a page boundary and is a whole number of
// pages (else EINVAL); programming only clears bits (the new contents are
// the old ANDed with the data written) until the block is erased; an erase
// covers whole erase blocks and sets them to 0xFF; writing or erasing a bad
// block fails with EIO. Requests: MEMGETINFO, MEMERASE, MEMERASE64,
// MEMGETBADBLOCK, MEMSETBADBLOCK, OTPSELECT (0 normal, 2 user OTP; the
// file position returns to 0), OTPGETREGIONCOUNT, OTPGETREGIONINFO,
// OTPLOCK (in OTP mode; a locked region refuses writes with EROFS).
//
// Faults ("faults" state file):
//   mtd.open=ERRNO         opening a flash device fails
//   mtd.getinfo=ERRNO      MEMGETINFO fails
//   mtd.nor                MEMGETINFO reports a NOR flash
//   mtd.badblock=ERRNO     MEMGETBADBLOCK fails
//   mtd.otpselect=ERRNO    OTPSELECT fails (both ways)
//   mtd.otpselect.off=ERRNO  only OTPSELECT of mode 0 fails
//   mtd.otpselect.on=ERRNO   only OTPSELECT of mode 2 fails
//   mtd.otpselect.off.nth=N  only the N-th OTPSELECT of mode 0 of this boot
//                          fails (with EIO)
//   mtd.otpselect.on.nth=N   only the N-th OTPSELECT of mode 2 of this boot
//                          fails (with EIO; 1 is the first probe)
//   mtd.powercut=N         the N-th flash operation of the boot is cut short
//                          by a power loss: a page program writes only its
//                          first mtd.powercut.bytes bytes (default half a
//                          page), an erase erases only that many bytes at
//                          the start of the block (default half a block);
//                          the request fails with EIO and the device is off
//                          for the rest of the boot; the tail of the page is
//                          left unwritten
//   mtd.powercut.random=SEED  the cut operation leaves random bits past its
//                          done part: a page program clears only some of the
//                          bits it was to clear, an erase sets only some bits
//                          of the rest of the block (repeatable for a seed)
//   mtd.powercut.last      the cut operation's done part is its end: a page
//                          program writes only its last bytes, an erase
//                          erases the end of the block and leaves its start
//   mtd.unreadable=OFFSET  reads of normal flash that touch the page holding
//                          the physical byte OFFSET fail with EBADMSG (an
//                          uncorrectable page; OFFSET 0 cannot be given)
//
// ks-sim mtd                            partitions, bad blocks, operations
// ks-sim mtd bad N BLOCK                marks an erase block bad
// ks-sim mtd erase N                    erases a whole partition (bad blocks kept)
// ks-sim mtd dump N OFFSET LENGTH       hex dump of flash contents
// ks-sim mtd load N FILE [OFFSET]       puts a file's bytes on the flash as they are
#pragma once

#include "sim/model.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ks_sim {

struct mtd_partition {
    unsigned number = 0;
    std::string name;
    uint32_t size = 0;
    uint32_t erase_size = 0;
    uint32_t write_size = 0;
    uint32_t otp_size = 0;
};

// The partition table (configured or default).
std::vector<mtd_partition> mtd_partitions();
// Replaces the partition table; 0 or -errno.
int mtd_write_partitions(const std::vector<mtd_partition> &parts);
// The text of "/proc/mtd".
std::string mtd_proc_text();

// The device file of partition N as the model opens it for "/dev/mtdN"
// (without the check for the sandbox's device node); null with errno set.
std::unique_ptr<open_file> mtd_open_device(unsigned number, int flags);

// Bad erase blocks of partition N.
std::vector<uint32_t> mtd_bad_blocks(unsigned number);
int mtd_mark_bad(unsigned number, uint32_t block);

// Flash contents (reads past the written part give 0xFF); 0 or -errno.
int mtd_read_flash(unsigned number, uint32_t offset, uint32_t length, std::string &out,
                   bool otp = false);
// Puts bytes on the flash as they are (no NAND rule): for tests that damage it.
int mtd_poke_flash(unsigned number, uint32_t offset, const std::string &bytes,
                   bool otp = false);
// Erases the whole partition (and forgets its OTP contents and lock).
int mtd_erase_all(unsigned number);

// Flash operations counted in this boot, and whether the power was cut.
long mtd_operations();
// Read requests of flash devices in this boot and the bytes they returned.
struct mtd_read_count {
    long calls = 0;
    long bytes = 0;
};
mtd_read_count mtd_reads();
bool mtd_power_is_off();
// What a reboot does to the flash: the power is back and the operation
// and read counts start again (the fault lines stay as they are).
void mtd_power_cycle();

}  // namespace ks_sim
