// The malfunction screen's picture path on arbitrary bytes: decoding with
// libpng (whose errors must come back as a result, never an abort) and
// drawing on a small 64 x 64 screen whose rows are padded, so that any
// write outside a row's visible pixels or past the memory shows.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "init/png_picture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr uint32_t XRES = 64, YRES = 64, LINE = 2 * XRES + 6;
    FILE *stream = fmemopen(const_cast<uint8_t *>(data), size ? size : 1, "rb");
    if (!stream)
        return 0;
    if (size == 0)
        fgetc(stream);  // leave an empty stream at its end
    rgb565_picture picture;
    png_read_result result = read_png_picture(stream, XRES, YRES, &picture);
    fclose(stream);
    if (result != PNG_READ_OK)
        return 0;
    if (picture.width > XRES || picture.height > YRES ||
        picture.pixels.size() != size_t(picture.width) * picture.height)
        __builtin_trap();

    // Exactly sized memory: ASan catches a write past it; the padding
    // bytes of every row must keep their marker.
    std::vector<uint8_t> memory(size_t(YRES) * LINE, 0x5A);
    fb_screen screen;
    screen.xres = XRES;
    screen.yres = YRES;
    screen.bits_per_pixel = 16;
    screen.line_length = LINE;
    screen.memory = memory.data();
    draw_picture(screen, picture);
    for (uint32_t y = 0; y < YRES; y++)
        for (uint32_t b = 2 * XRES; b < LINE; b++)
            if (memory[size_t(y) * LINE + b] != 0x5A)
                __builtin_trap();
    return 0;
}
