// Fuzz targets whose code under test reaches fixed paths of the device
// (the crypto services' data directory, the stores, the simulated
// hardware) run only inside ks-sandbox with the simulator loaded; anywhere
// else they stop at once, before the first input.
#pragma once

#include "sim/testing/inside.h"

#include <cstdio>
#include <cstdlib>

inline void require_sandbox()
{
    // "mount" is served by the simulator's interposer in the sandbox only.
    if (!ks_sim::testing::inside_sandbox_with_simulator("mount")) {
        std::fprintf(stderr, "this fuzz target runs inside ks-sandbox only\n");
        std::abort();
    }
}
