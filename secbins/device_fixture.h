// Test fixture for the hardware client inside the sandbox: the simulated
// secure side behind "/dev/omap_sec" is configured, armed with faults and
// read back through its state files.
#pragma once

#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/omap_sec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class Kz4Device : public ::testing::Test {
protected:
    void SetUp() override
    {
        kz4_close();
        configure("");
        arm("");
        forget();
    }
    void TearDown() override
    {
        kz4_close();
        arm("");
        configure("");
    }

    static void configure(const std::string &text)
    {
        ASSERT_EQ(ks_sim::write_state(ks_sim::OMAP_SEC_CONFIG, text), 0);
    }
    static void arm(const std::string &faults)
    {
        ASSERT_EQ(ks_sim::write_state("faults", faults), 0);
    }
    // Drops the calls recorded so far.
    static void forget()
    {
        ASSERT_EQ(ks_sim::write_state(ks_sim::OMAP_SEC_TRANSCRIPT, ""), 0);
    }
    static std::vector<std::string> calls()
    {
        std::vector<std::string> out;
        EXPECT_EQ(ks_sim::read_records(ks_sim::OMAP_SEC_TRANSCRIPT, out), 0);
        return out;
    }
    // Opens the device and forgets the open.
    static void open_device()
    {
        ASSERT_EQ(kz4_open(nullptr), 0);
        forget();
    }
    static std::vector<int> triple()
    {
        int lib, rom, pa;
        kz4_error_info(&lib, &rom, &pa);
        return {lib, rom, pa};
    }
};
