// PNG pictures for the malfunction screen: decoding with libpng into
// 16-bit RGB565 pixels and drawing them centred on a mapped framebuffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// A decoded picture, width x height RGB565 pixels row by row.
struct rgb565_picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint16_t> pixels;
};

// The part of the framebuffer's screen information that drawing needs, and
// its mapped memory (yres x line_length bytes).
struct fb_screen {
    uint32_t xres = 0;
    uint32_t yres = 0;
    uint32_t bits_per_pixel = 0;
    uint32_t line_length = 0;  // bytes from one row to the next
    uint8_t *memory = nullptr;
};

// Colour white on a 16-bit screen.
constexpr uint16_t RGB565_WHITE = 0xFFFF;

// (R >> 3) << 11 | (G >> 2) << 5 | (B >> 3).
inline uint16_t rgb565(uint8_t r, uint8_t g, uint8_t b)
{
    return uint16_t(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3));
}

// Results of read_png_picture.
enum png_read_result {
    PNG_READ_OK = 0,
    PNG_READ_NOT_PNG = -1,       // the first 8 bytes are no PNG signature
    PNG_READ_TOO_BIG = -2,       // wider or higher than the limits
    PNG_READ_BAD_PICTURE = -3,   // libpng refused it, or no 8-bit RGB after
                                 // the transformations
    PNG_READ_NO_MEMORY = -4,
};

// Reads a whole PNG picture from the stream (positioned at its start) and
// converts it to RGB565. Palette, grey and 16-bit pictures are expanded or
// reduced to 8-bit RGB; alpha and transparency are dropped. A picture wider
// than max_width or higher than max_height is refused after its header, so
// decoding never costs more than the screen's size. On failure out is left
// unchanged. Never ends the process: libpng errors come back as
// PNG_READ_BAD_PICTURE (libpng prints its own message on standard error).
png_read_result read_png_picture(FILE *stream, uint32_t max_width, uint32_t max_height,
                                 rgb565_picture *out);

// Whether draw_picture can draw on the screen: 16 bits per pixel and a
// line length that holds xres pixels.
bool screen_is_drawable(const fb_screen &screen);

// Draws the picture on the screen: in one piece when it fills an unpadded
// screen exactly, else centred, every pixel around it white. The picture
// must fit the screen and the screen must be drawable.
void draw_picture(const fb_screen &screen, const rgb565_picture &picture);
