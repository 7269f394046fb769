// Reading a sysfs "dev" file; the nodes themselves are made in the sandbox
// (devices_sandbox_test.cpp).
#include "init/devices.h"

#include <gtest/gtest.h>

namespace {

TEST(DeviceNumbers, Table)
{
    struct row {
        const char *text;
        int result, major_number, minor_number;
    } rows[] = {
        {"10:63\n", 0, 10, 63}, {"10 63", 0, 10, 63}, {"10x63", 0, 10, 63},
        {"252:0\n", 0, 252, 0}, {"10:", -1, 7, 8},    {"", -1, 7, 8},
        {"a:b\n", -1, 7, 8},    {"-1:3\n", -1, 7, 8}, {"4:-2\n", -1, 7, 8},
    };
    for (const row &r : rows) {
        int major_number = 7, minor_number = 8;
        EXPECT_EQ(parse_device_numbers(r.text, &major_number, &minor_number), r.result)
            << r.text;
        EXPECT_EQ(major_number, r.major_number) << r.text;
        EXPECT_EQ(minor_number, r.minor_number) << r.text;
    }
}

}  // namespace
