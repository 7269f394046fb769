// Helpers for test programs that run inside the sandbox (registered with
// ks_test(... SANDBOX)) and reach the models through the C library: the
// check that they really run there, and a fresh configuration partition on
// the simulated NAND flash. Header only; the models' state functions come
// from keepstone-sim-host or the interposer.
#pragma once

#include "sim/model.h"
#include "sim/models/mtd.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace ks_sim::testing {

// True only in the sandbox's mount namespace, on a prepared device, with
// the simulator's interposer serving `symbol` (one of the calls the test
// relies on being simulated). Tests that erase flash, mount or ask for a
// reboot refuse to run anywhere else.
inline bool inside_sandbox_with_simulator(const char *symbol)
{
    char ns[64] = {};
    const char *want = std::getenv("KS_SIM_SANDBOX");
    struct stat st;
    if (!want || readlink("/proc/self/ns/mnt", ns, sizeof ns - 1) <= 0 ||
        std::strcmp(ns, want) != 0 || stat("/.ks-sim/prepared", &st) != 0)
        return false;
    Dl_info info;
    void *fn = dlsym(RTLD_DEFAULT, symbol);
    return fn && dladdr(fn, &info) && info.dli_fname &&
           std::strstr(info.dli_fname, "libkeepstone-sim") != nullptr;
}

// The small flash layout of the certificate tests: a bootloader, an
// erased six-block configuration partition (mtd1, no bad blocks) and a
// root file system, after a power cycle.
inline void fresh_config_partition()
{
    std::vector<mtd_partition> parts = {
        {0, "bootloader", 0x40000, 0x20000, 0x800, 0},
        {1, "config", 6 * 0x4000, 0x4000, 0x800, 0},
        {4, "rootfs", 0x400000, 0x20000, 0x800, 0},
    };
    ASSERT_EQ(mtd_write_partitions(parts), 0);
    ASSERT_EQ(mtd_erase_all(1), 0);
    ASSERT_EQ(write_state("mtd/mtd1.bad", ""), 0);
    mtd_power_cycle();
}

}  // namespace ks_sim::testing
