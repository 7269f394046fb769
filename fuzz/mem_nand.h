// An in-memory NAND flash for the configuration area's fuzz target: the
// "config" partition that the library finds in "/proc/mtd" and opens as
// "/dev/mtd1" is a memory file with the NAND rules: whole pages written on
// page boundaries, programming only clears bits until the erase block is
// erased, bad blocks refuse writes and erases, and an armed power cut
// stops the N-th page program or erase half-way (in one of three shapes)
// and fails every later
// request until the next power-on. Only those two paths and the
// descriptors opened on them are served here; everything else goes to the
// C library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mem_nand {

struct geometry {
    uint32_t blocks;  // erase blocks of the partition
    uint32_t erase;   // erase block size
    uint32_t page;    // page (write) size
};

// A new flash: the given bytes at its start, the rest erased; bit k of
// bad marks erase block k bad. Disarms the power cut and powers on.
void reset(const geometry &g, const uint8_t *image, size_t length, uint32_t bad);
// What a cut operation leaves: its first half done, its last half done
// (an erase wiping the block's end first), or its first half done and
// random bits of it in the rest.
enum cut_shape { first_bytes, last_bytes, random_bits };
// The n-th flash operation from now (1 the next) loses power; 0 disarms.
void arm_power_cut(unsigned n, cut_shape shape = first_bytes, uint32_t seed = 1);
bool powered_off();
// Power back on, the cut disarmed.
void power_on();
// The flash's bytes.
const std::string contents();
// Times "/dev/mtd1" was opened here (to check that the target really
// reaches this flash and no real one).
unsigned opens();

}  // namespace mem_nand
