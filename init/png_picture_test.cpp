#include "init/png_picture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/pictures/png_writer.h"

namespace {

using ks_pictures::png_spec;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// The reference colours of the small test pictures: every pixel differs.
png_color reference(uint32_t x, uint32_t y)
{
    return png_color{uint8_t(x * 50 + 3), uint8_t(y * 70 + 9), uint8_t(255 - x * 20 - y * 30)};
}
constexpr uint32_t W = 5, H = 3;

std::vector<uint16_t> expected_rgb(const std::function<png_color(uint32_t, uint32_t)> &colour)
{
    std::vector<uint16_t> px;
    for (uint32_t y = 0; y < H; y++)
        for (uint32_t x = 0; x < W; x++) {
            png_color c = colour(x, y);
            px.push_back(rgb565(c.red, c.green, c.blue));
        }
    return px;
}

uint8_t grey_of(uint32_t x, uint32_t y) { return uint8_t(x * 60 + y * 5); }

// Builds a test picture in the given format from the reference colours.
png_spec make_variant(int colour_type, int bit_depth, bool extra)
{
    png_spec spec;
    spec.width = W;
    spec.height = H;
    spec.colour_type = colour_type;
    spec.bit_depth = bit_depth;
    for (uint32_t y = 0; y < H; y++) {
        std::vector<uint8_t> row;
        for (uint32_t x = 0; x < W; x++) {
            png_color c = reference(x, y);
            uint8_t g = grey_of(x, y);
            auto sample = [&](uint8_t v) {
                row.push_back(v);
                if (bit_depth == 16)
                    row.push_back(uint8_t(~v));  // low byte, dropped by reduction
            };
            switch (colour_type) {
            case PNG_COLOR_TYPE_RGB:
                sample(c.red), sample(c.green), sample(c.blue);
                break;
            case PNG_COLOR_TYPE_RGB_ALPHA:
                sample(c.red), sample(c.green), sample(c.blue), sample(uint8_t(x * 60));
                break;
            case PNG_COLOR_TYPE_PALETTE:
                row.push_back(uint8_t(y * W + x));
                break;
            case PNG_COLOR_TYPE_GRAY:
                if (bit_depth == 1) {
                    if (x == 0)
                        row.push_back(0);
                    if ((x + y) % 2)
                        row.back() |= uint8_t(0x80 >> x);
                } else {
                    sample(g);
                }
                break;
            case PNG_COLOR_TYPE_GRAY_ALPHA:
                sample(g), sample(uint8_t(y * 100));
                break;
            }
        }
        spec.rows.push_back(row);
    }
    if (colour_type == PNG_COLOR_TYPE_PALETTE) {
        for (uint32_t i = 0; i < W * H; i++)
            spec.palette.push_back(reference(i % W, i / W));
        if (extra)  // transparency for some entries
            spec.palette_alpha = {0, 128, 255, 7};
    } else if (colour_type == PNG_COLOR_TYPE_GRAY && extra) {
        spec.grey_transparent = true;
        spec.transparent_grey = grey_of(1, 0);
    } else if (colour_type == PNG_COLOR_TYPE_RGB && extra) {
        spec.interlaced = true;
    }
    return spec;
}

std::string encode(const png_spec &spec)
{
    file_ptr f(tmpfile());
    EXPECT_TRUE(ks_pictures::write_png(f.get(), spec));
    std::string bytes(size_t(ftell(f.get())), '\0');
    rewind(f.get());
    EXPECT_EQ(fread(&bytes[0], 1, bytes.size(), f.get()), bytes.size());
    return bytes;
}

png_read_result decode(const std::string &bytes, rgb565_picture *out, uint32_t max_w = 480,
                       uint32_t max_h = 800)
{
    file_ptr f(tmpfile());
    fwrite(bytes.data(), 1, bytes.size(), f.get());
    rewind(f.get());
    return read_png_picture(f.get(), max_w, max_h, out);
}

TEST(Rgb565, FormulaTakesTheHighBitsOfEachChannel)
{
    EXPECT_EQ(rgb565(0x12, 0x34, 0x56), 0x11AA);
    EXPECT_EQ(rgb565(0xFF, 0, 0), 0xF800);
    EXPECT_EQ(rgb565(0, 0xFF, 0), 0x07E0);
    EXPECT_EQ(rgb565(0, 0, 0xFF), 0x001F);
    EXPECT_EQ(rgb565(0xFF, 0xFF, 0xFF), RGB565_WHITE);
    EXPECT_EQ(rgb565(0x07, 0x03, 0x07), 0);
}

// Every colour format comes out as the same RGB565 pixels: alpha and
// transparency dropped, palettes and grey expanded, 16 bits reduced.
TEST(ReadPngPicture, EveryColourFormatGivesItsPixels)
{
    auto grey = [](uint32_t x, uint32_t y) {
        uint8_t g = grey_of(x, y);
        return png_color{g, g, g};
    };
    auto grey1 = [](uint32_t x, uint32_t y) {
        uint8_t g = (x + y) % 2 ? 255 : 0;
        return png_color{g, g, g};
    };
    struct row {
        const char *name;
        int colour_type, bit_depth;
        bool extra;
        std::function<png_color(uint32_t, uint32_t)> colour;
    } rows[] = {
        {"rgb8", PNG_COLOR_TYPE_RGB, 8, false, reference},
        {"rgb8 interlaced", PNG_COLOR_TYPE_RGB, 8, true, reference},
        {"rgba8", PNG_COLOR_TYPE_RGB_ALPHA, 8, false, reference},
        {"rgb16", PNG_COLOR_TYPE_RGB, 16, false, reference},
        {"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, false, reference},
        {"palette", PNG_COLOR_TYPE_PALETTE, 8, false, reference},
        {"palette with tRNS", PNG_COLOR_TYPE_PALETTE, 8, true, reference},
        {"grey8", PNG_COLOR_TYPE_GRAY, 8, false, grey},
        {"grey8 with tRNS", PNG_COLOR_TYPE_GRAY, 8, true, grey},
        {"grey16", PNG_COLOR_TYPE_GRAY, 16, false, grey},
        {"grey1", PNG_COLOR_TYPE_GRAY, 1, false, grey1},
        {"grey+alpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false, grey},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        rgb565_picture pic;
        ASSERT_EQ(decode(encode(make_variant(r.colour_type, r.bit_depth, r.extra)), &pic),
                  PNG_READ_OK);
        EXPECT_EQ(pic.width, W);
        EXPECT_EQ(pic.height, H);
        EXPECT_EQ(pic.pixels, expected_rgb(r.colour));
    }
}

// Broken input is refused with a result, never by ending the process, and
// leaves the output untouched.
TEST(ReadPngPicture, BrokenInputIsRefused)
{
    const std::string good = encode(make_variant(PNG_COLOR_TYPE_RGB, 8, false));
    std::string bad_idat_crc = good;
    size_t idat = bad_idat_crc.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    bad_idat_crc[idat + 6] ^= 0x55;  // inside the compressed data
    std::string bad_ihdr = good;
    bad_ihdr[16] = 0x7F;  // width's high byte: IHDR's CRC no longer matches

    struct row {
        const char *name;
        std::string bytes;
        png_read_result result;
    } rows[] = {
        {"empty", "", PNG_READ_NOT_PNG},
        {"text", "hello, this is no picture", PNG_READ_NOT_PNG},
        {"signature only", good.substr(0, 8), PNG_READ_BAD_PICTURE},
        {"cut in the header", good.substr(0, 20), PNG_READ_BAD_PICTURE},
        {"cut in the data", good.substr(0, good.size() / 2 + 10), PNG_READ_BAD_PICTURE},
        {"damaged data", bad_idat_crc, PNG_READ_BAD_PICTURE},
        {"damaged header", bad_ihdr, PNG_READ_BAD_PICTURE},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        rgb565_picture pic;
        pic.width = 77;
        EXPECT_EQ(decode(r.bytes, &pic), r.result);
        EXPECT_EQ(pic.width, 77u);
        EXPECT_TRUE(pic.pixels.empty());
    }
}

TEST(ReadPngPicture, PictureLargerThanTheLimitsIsRefusedAfterItsHeader)
{
    const std::string bytes = encode(make_variant(PNG_COLOR_TYPE_RGB, 8, false));
    rgb565_picture pic;
    EXPECT_EQ(decode(bytes, &pic, W - 1, H), PNG_READ_TOO_BIG);
    EXPECT_EQ(decode(bytes, &pic, W, H - 1), PNG_READ_TOO_BIG);
    EXPECT_EQ(decode(bytes, &pic, W, H), PNG_READ_OK);
}

// A screen in memory, filled with a marker so that untouched bytes show.
struct memory_screen {
    std::vector<uint8_t> bytes;
    fb_screen screen;
    memory_screen(uint32_t xres, uint32_t yres, uint32_t line_length)
        : bytes(size_t(yres) * line_length, 0xAB)
    {
        screen.xres = xres;
        screen.yres = yres;
        screen.bits_per_pixel = 16;
        screen.line_length = line_length;
        screen.memory = bytes.data();
    }
    uint16_t pixel(uint32_t x, uint32_t y) const
    {
        uint16_t v;
        memcpy(&v, bytes.data() + size_t(y) * screen.line_length + x * 2, 2);
        return v;
    }
};

rgb565_picture numbered_picture(uint32_t width, uint32_t height)
{
    rgb565_picture pic;
    pic.width = width;
    pic.height = height;
    for (uint32_t i = 0; i < width * height; i++)
        pic.pixels.push_back(uint16_t(i * 7 + 1) == RGB565_WHITE ? 1 : uint16_t(i * 7 + 1));
    return pic;
}

// Checks that the picture sits at (left, top) and everything else of the
// visible screen is white.
void expect_centred(const memory_screen &m, const rgb565_picture &pic, uint32_t left, uint32_t top)
{
    size_t wrong = 0;
    for (uint32_t y = 0; y < m.screen.yres; y++)
        for (uint32_t x = 0; x < m.screen.xres; x++) {
            bool inside = x >= left && x < left + pic.width && y >= top && y < top + pic.height;
            uint16_t want = inside ? pic.pixels[(y - top) * pic.width + (x - left)] : RGB565_WHITE;
            if (m.pixel(x, y) != want && wrong++ < 5)
                ADD_FAILURE() << "pixel " << x << "," << y << " is " << m.pixel(x, y)
                              << ", want " << want;
        }
    EXPECT_EQ(wrong, 0u);
}

TEST(DrawPicture, FullScreenPictureIsCopiedWhole)
{
    memory_screen m(480, 800, 960);
    rgb565_picture pic = numbered_picture(480, 800);
    draw_picture(m.screen, pic);
    EXPECT_EQ(memcmp(m.bytes.data(), pic.pixels.data(), m.bytes.size()), 0);
}

TEST(DrawPicture, SmallerPictureIsCentredOnWhite)
{
    struct row {
        uint32_t width, height, left, top;
    } rows[] = {
        {400, 300, 40, 250},  // 250 white rows above and below, 40 columns each side
        {399, 299, 40, 250},  // odd margins: the extra row and column go below and right
        {1, 1, 239, 399},
        {480, 1, 0, 399},
        {1, 800, 239, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        memory_screen m(480, 800, 960);
        rgb565_picture pic = numbered_picture(r.width, r.height);
        draw_picture(m.screen, pic);
        expect_centred(m, pic, r.left, r.top);
    }
}

// A padded line length takes the centring path even for a full-size
// picture; the padding at the end of each row is left alone, and rows
// that start at odd addresses are fine.
TEST(DrawPicture, PaddedRowsLeaveThePaddingAlone)
{
    for (uint32_t line_length : {1024u, 963u}) {
        SCOPED_TRACE(line_length);
        memory_screen m(480, 800, line_length);
        rgb565_picture pic = numbered_picture(480, 800);
        draw_picture(m.screen, pic);
        expect_centred(m, pic, 0, 0);
        for (uint32_t y = 0; y < 800; y++)
            for (uint32_t b = 960; b < line_length; b++)
                ASSERT_EQ(m.bytes[size_t(y) * line_length + b], 0xAB) << y << "," << b;
    }
}

TEST(DrawPicture, OnlySixteenBitScreensWithWholeRowsAreDrawable)
{
    uint8_t memory[4];
    struct row {
        uint32_t xres, bpp, line_length;
        bool memory, drawable;
    } rows[] = {
        {480, 16, 960, true, true},   {480, 16, 1024, true, true}, {480, 16, 958, true, false},
        {480, 8, 960, true, false},   {480, 32, 1920, true, false}, {480, 16, 960, false, false},
        {0x80000000u, 16, 0, true, false},  // 2 x xres does not fit 32 bits
    };
    for (const auto &r : rows) {
        fb_screen s;
        s.xres = r.xres;
        s.yres = 800;
        s.bits_per_pixel = r.bpp;
        s.line_length = r.line_length;
        s.memory = r.memory ? memory : nullptr;
        EXPECT_EQ(screen_is_drawable(s), r.drawable) << r.xres << " " << r.bpp << " " << r.line_length;
    }
}

}  // namespace
