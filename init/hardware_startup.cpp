#include "init/hardware_startup.h"

#include "init/log.h"
#include "secbins/kz4_secbins.h"
#include "init/safe_open.h"

#include <linux/magic.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string.h>

int platsec_open()
{
    log_trace("platsec_open...\n");
    int r = kz4_open(nullptr);
    if (r < 0)
        log_trace("KZ4 open failed %d\n", r);
    return r;
}

int platsec_close()
{
    int r = kz4_close();
    if (r != 0)
        log_trace("KZ4 close failed %d\n", r);
    return r;
}

int load_rd_certificate()
{
    log_trace("load KZ4 R&D certificate...\n");
    int r = kz4_import_ccc(nullptr, 0);
    if (r != 0) {
        log_trace("KZ4 CCC init failed\n");
        return r;
    }
    log_trace("KZ4 CCC initialized\n");
    r = kz4_esn_init(nullptr, 0);
    if (r != 0)
        log_trace("KZ4 ESN init failed\n");
    else
        log_trace("KZ4 ESN initialized\n");
    return r;
}

namespace {

// Drops the seed: it is key material for the kernel's pool.
void free_seed(uint8_t *seed)
{
    explicit_bzero(seed, SEED_PRNG_BYTES);
    free(seed);
}

}  // namespace

int seed_prng()
{
    uint8_t *seed = static_cast<uint8_t *>(malloc(SEED_PRNG_BYTES));
    if (seed == nullptr) {
        log_trace("Cannot allocate buffer for pseudo rng\n");
        return -12;
    }
    int r = kz4_get_random(seed, SEED_PRNG_BYTES);
    if (r != 0) {
        log_trace("Cannot get KZ4 random values (%d)\n", r);
        free_seed(seed);
        return -14;
    }
    FILE *f = fopen_char_device_for_writing(URANDOM_PATH);
    if (f == nullptr) {
        log_trace("Cannot open %s\n", URANDOM_PATH);
        free_seed(seed);
        return -2;
    }
    // Unbuffered, so that the count fwrite reports is what the kernel
    // took, not what the stream buffered.
    setvbuf(f, nullptr, _IONBF, 0);
    size_t n = fwrite(seed, 1, SEED_PRNG_BYTES, f);
    free_seed(seed);
    fclose(f);
    if (n < SEED_PRNG_BYTES) {
        log_trace("Write to /dev/urandom failed (%d)\n", int(n));
        return -14;
    }
    return 0;
}

int check_soc_info(int *rd_mode)
{
    // Only the kernel's procfs tells the chip; a file of that name
    // elsewhere is no answer.
    FILE *f = fopen_kernel_file_for_reading(CPUINFO_PATH, PROC_SUPER_MAGIC);
    if (f == nullptr) {
        log_trace("Cannot open %s\n", CPUINFO_PATH);
        return -2;
    }
    const int line_size = 512;
    char *line = static_cast<char *>(malloc(line_size));
    if (line == nullptr) {
        log_trace("Cannot allocate memory\n");
        fclose(f);
        return -12;
    }
    // A longer line comes in pieces of 511 characters, each counting as a
    // line. A "SoC Info" line is passed over when its third-last character
    // is 'h' or its second-last is 's' (the newline counted).
    while (fgets(line, line_size, f) != nullptr) {
        if (strncmp(line, "SoC Info", 8) != 0)
            continue;
        size_t len = strlen(line);  // at least 8: the prefix matched
        if (line[len - 3] == 'h' || line[len - 2] == 's')
            continue;
        *rd_mode = 1;
        break;
    }
    free(line);
    fclose(f);
    return 0;
}

namespace {

// The fallback, traced when it fails.
int soc_info_fallback(int *rd_mode)
{
    int r = check_soc_info(rd_mode);
    if (r != 0)
        log_trace("%s reading failed\n", CPUINFO_PATH);
    return r;
}

}  // namespace

int check_rd_mode(int *rd_mode)
{
    uint32_t rdc[3] = {0, 0, 0};
    int r = kz4_get_debug_control(rdc);
    if (r != 0) {
        log_trace("KZ4 no debug control %d\n", r);
        *rd_mode = 0;
        return soc_info_fallback(rd_mode);
    }

    int result = 0;
    if (rdc[0] & KZ4_RDC0_RD_SW_ENABLED) {
        log_trace("KZ4 R&D certificate - RD_SW_ENABLED\n");
        *rd_mode = 1;
    } else {
        log_trace("KZ4 R&D certificate - RD_SW_DISABLED\n");
        *rd_mode = 0;
        result = soc_info_fallback(rd_mode);
    }
    log_trace("RDC[0] (0x%08X):\n", unsigned(rdc[0]));
    log_trace("RDC[1] (0x%08X):\n", unsigned(rdc[1]));
    log_trace("RDC[2] (0x%08X):\n", unsigned(rdc[2]));
    return result;
}
