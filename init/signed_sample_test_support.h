// The signed sample device of the whole-boot tests, prepared once as a
// factory would (certificate blocks, vdata file, software certificate,
// signatures under "tcb"), so that a production boot passes every check.
// Tests boot fresh copies of it. Needs KS_SAMPLE_IMAGE and
// KS_MAKE_SAMPLE_DEVICE from the build.
#pragma once

#include "sim/testing/sandbox.h"

#include <memory>
#include <string>

namespace signed_sample {

// The secure side's device key of the sample.
inline const std::string DEVICE_KEY_HEX = "8899aabbccddeeff0011223344556677";

// Makes the prepared device into out; the preparation's run (status 0
// when it worked).
inline ks_sim::testing::run_result prepare(std::unique_ptr<ks_sim::testing::device> &out)
{
    out = std::make_unique<ks_sim::testing::device>(KS_SAMPLE_IMAGE);
    out->write_file("/.ks-sim/omap_sec.conf", "device_key=" + DEVICE_KEY_HEX + "\n");
    ks_sim::testing::run_options with_var;
    with_var.mount_var = true;
    return out->run({KS_MAKE_SAMPLE_DEVICE, "--list", "/etc/group", "--list", "/etc/passwd",
                     "--sign", "/etc/refhashlist", "--sign", "/var/lib/tarvo/restok/restok.conf"},
                    with_var);
}

}  // namespace signed_sample
