// The boot program's steps on the security hardware: opening and closing
// it, seeding the kernel's random pool from it, and deciding R&D mode from
// its debug-control word, with the "SoC Info" line of "/proc/cpuinfo" as
// the fallback. Each step traces what happened and returns a plain result.
#pragma once

constexpr const char URANDOM_PATH[] = "/dev/urandom";
constexpr const char CPUINFO_PATH[] = "/proc/cpuinfo";
// Hardware random bytes written to the kernel's pool at boot.
constexpr unsigned SEED_PRNG_BYTES = 512;

// The result of kz4_open without a program name: 0 open, negative not.
int platsec_open();
// The result of kz4_close: 0, non-zero on failure.
int platsec_close();
// 512 hardware random bytes to "/dev/urandom": 0; -12 no memory; -14 the
// hardware gave no random bytes or not all could be written; -2 the file
// cannot be opened or is not a character device (it is never created).
int seed_prng();
// Imports the R&D certificates from the flash into the security
// hardware: CCC, then (only when that worked) NPC. 0, or the non-zero
// result of the import that failed.
int load_rd_certificate();
// *rd_mode = 1 when the first debug-control word has the R&D bit, else 0
// and the "SoC Info" fallback decides. 0, or the negative result of
// check_soc_info when the fallback failed.
int check_rd_mode(int *rd_mode);
// Sets *rd_mode to 1 (never to 0) when a "SoC Info" line of
// "/proc/cpuinfo" says so. 0; -2 the file cannot be opened; -12 no memory.
int check_soc_info(int *rd_mode);
