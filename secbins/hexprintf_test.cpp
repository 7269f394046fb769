#include "secbins/kz4_secbins.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string printed(const char *format, const uint8_t *bytes, int length)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(kz4_hexprintf(format, bytes, length), 0);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Kz4Hexprintf, SpacingAndConversions)
{
    uint8_t b[18];
    for (int i = 0; i < 18; i++)
        b[i] = uint8_t(i);
    const uint8_t high[] = {0xab, 0xcd, 0xef};
    struct {
        const char *format;
        const uint8_t *bytes;
        int length;
        const char *out;
    } cases[] = {
        {"%D", b, 18, "00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F\n10 11"},
        {"%D", b, 16, "00 01 02 03 04 05 06 07  08 09 0A 0B 0C 0D 0E 0F"},
        {"%D", b, 9, "00 01 02 03 04 05 06 07  08"},
        {"%D", b, 1, "00"},
        {"%D", high, 3, "AB CD EF"},
        {"a%%b", b, 4, "ab"},
        {"x%xyzDy", high, 2, "xAB CDy"},
        {"[%D]", b, 0, "[]"},
        {"[%D]", b, -3, "[]"},
        {"tail %", b, 2, "tail "},
        {"tail %abc", b, 2, "tail "},
        {"plain\n", b, 2, "plain\n"},
    };
    for (auto &c : cases)
        EXPECT_EQ(printed(c.format, c.bytes, c.length), c.out) << c.format << " " << c.length;
}

TEST(Kz4Hexprintf, TwoDumpsTakeTheirArgumentsInOrder)
{
    const uint8_t a[] = {1, 2}, b[] = {0xfe};
    testing::internal::CaptureStdout();
    kz4_hexprintf("%D|%D", a, 2, b, 1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "01 02|FE");
}

}  // namespace
