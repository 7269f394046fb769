// Test fixture for the hardware client inside the sandbox: the simulated
// secure side behind "/dev/omap_sec" is configured, armed with faults and
// read back through its state files; the helpers in kz4_transcript spell
// the lines of its transcript.
#pragma once

#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/omap_sec.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
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

// The lines the simulated device records for the calls it receives.
namespace kz4_transcript {

using strings = std::vector<std::string>;

// Lowercase hex of the bytes, as the transcript prints data.
inline std::string hex(const void *data, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    const uint8_t *p = static_cast<const uint8_t *>(data);
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += std::string{digits[p[i] >> 4], digits[p[i] & 15]};
    return s;
}
inline std::string hex(const std::string &s) { return hex(s.data(), s.size()); }
// A 32-bit value as the host lays it out.
inline std::string w32(uint32_t v) { return hex(&v, 4); }
inline std::string write_of(const std::string &field) { return "write " + hex(field); }
inline std::string write_u32(uint32_t v) { return "write " + w32(v); }

// Status reads of a service below 256 (ROM 0, filler) and of one from 256 up.
const strings low_ok = {"read 4 00000000", "read 4 f1f1f1f1"};
const strings high_ok = {"read 4 00000000", "read 4 00000000"};

inline strings operator+(strings a, const strings &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace kz4_transcript
