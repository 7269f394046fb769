// The signed sample device of the whole-boot tests, prepared once as a
// factory would (certificate blocks, vdata file, software certificate,
// signatures under "tcb"), so that a production boot passes every check.
// Tests boot fresh copies of it. Needs KS_SAMPLE_IMAGE and
// KS_MAKE_SAMPLE_DEVICE from the build.
#pragma once

#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>

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

// A test of fresh copies of the prepared device: the preparation is made
// once for the test program, each test's device `d` is a copy of it.
class Fixture : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        auto r = prepare(prepared);
        ASSERT_EQ(r.status, 0) << r.output;
    }
    static void TearDownTestSuite() { prepared.reset(); }

    void SetUp() override
    {
        ASSERT_NE(prepared, nullptr);
        d = std::make_unique<ks_sim::testing::device>(prepared->root());
        // The copy is made at the device's first run: before it, a file
        // written here would be overwritten by the image's own.
        ASSERT_EQ(d->run({"true"}).status, 0);
    }

    inline static std::unique_ptr<ks_sim::testing::device> prepared;
    std::unique_ptr<ks_sim::testing::device> d;
};

}  // namespace signed_sample
