// Test support for the library on the simulated NAND flash: a fresh
// "config" partition of a chosen geometry for every test, the library's
// reports collected, and flash contents read or damaged directly.
#pragma once

#include "cal/cal.h"
#include "cal/test_blocks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cal_test {

struct geometry {
    uint32_t blocks = 6;       // erase blocks of the partition
    uint32_t erase = 0x4000;   // erase block size
    uint32_t page = 0x800;     // page (write) size
    uint32_t otp = 0;          // user OTP region, 0 for none
    std::vector<uint32_t> bad; // bad erase blocks
};

constexpr unsigned config_mtd = 1;

// Messages that reached the hooks in this test.
extern std::vector<std::string> errors;
extern std::vector<std::pair<int, std::string>> debugs;
bool has_error(const std::string &text);
bool has_debug(const std::string &text);

class Flash : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;
    // A fresh partition (erased, no bad blocks but those given, no faults).
    void prepare(const geometry &g);
    void arm(const std::string &fault_line);
    void disarm();
    // Power back and counters reset, as at the next boot.
    void reboot();

    // Physical bytes of the partition (or of its OTP region).
    std::string flash(uint32_t offset, uint32_t length, bool otp = false);
    void poke(uint32_t offset, const std::string &bytes, bool otp = false);

    // One set-up, one write, release; the write's result.
    int write(const std::string &name, const std::string &data, int flags = 0);
    // One read-only set-up, one read, release; -2 missing, -1 failure,
    // -3 when the set-up failed.
    int read(const std::string &name, std::string *data, int flags = 0);

    geometry geo;
};

}  // namespace cal_test
