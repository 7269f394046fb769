// The malfunction picture from PNG bytes to the screen: read_png_picture
// (libpng decoding and the RGB565 conversion) for a full 480 x 800 screen
// in the colour formats the device ships, and draw_picture for the copy in
// one piece and the centred path. Counter: pixels per second.
#include "init/png_picture.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim/pictures/png_writer.h"

namespace {

using ks_pictures::png_spec;

png_color colour_at(uint32_t x, uint32_t y)
{
    return png_color{uint8_t(x), uint8_t(y), uint8_t((x ^ y) & 0xF0)};
}

png_spec picture(int colour_type, uint32_t width, uint32_t height)
{
    if (colour_type == PNG_COLOR_TYPE_RGB)
        return ks_pictures::rgb_picture(width, height, colour_at);
    png_spec spec;  // a palette of 64 colours in bands
    spec.width = width;
    spec.height = height;
    spec.colour_type = PNG_COLOR_TYPE_PALETTE;
    for (int i = 0; i < 64; i++)
        spec.palette.push_back(png_color{uint8_t(i * 4), uint8_t(255 - i * 4), uint8_t(i * 2)});
    spec.palette_alpha = {0};
    for (uint32_t y = 0; y < height; y++) {
        std::vector<uint8_t> row;
        for (uint32_t x = 0; x < width; x++)
            row.push_back(uint8_t(((x / 16) + (y / 16)) % 64));
        spec.rows.push_back(row);
    }
    return spec;
}

std::string encode(const png_spec &spec)
{
    FILE *f = tmpfile();
    ks_pictures::write_png(f, spec);
    std::string bytes(size_t(ftell(f)), '\0');
    rewind(f);
    if (fread(&bytes[0], 1, bytes.size(), f) != bytes.size())
        bytes.clear();
    fclose(f);
    return bytes;
}

void BM_ReadPngPicture(benchmark::State &state)
{
    const std::string bytes = encode(picture(int(state.range(0)), 480, 800));
    for (auto _ : state) {
        FILE *f = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
        rgb565_picture pic;
        if (read_png_picture(f, 480, 800, &pic) != PNG_READ_OK)
            state.SkipWithError("not decoded");
        fclose(f);
        benchmark::DoNotOptimize(pic.pixels.data());
    }
    state.counters["pixels/s"] =
        benchmark::Counter(480.0 * 800, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ReadPngPicture)
    ->ArgName("colour_type")
    ->Arg(PNG_COLOR_TYPE_RGB)
    ->Arg(PNG_COLOR_TYPE_PALETTE)
    ->Unit(benchmark::kMillisecond);

// Arguments: picture width and height on a 480 x 800 screen.
void BM_DrawPicture(benchmark::State &state)
{
    rgb565_picture pic;
    pic.width = uint32_t(state.range(0));
    pic.height = uint32_t(state.range(1));
    pic.pixels.assign(size_t(pic.width) * pic.height, 0x1234);
    std::vector<uint8_t> memory(960 * 800);
    fb_screen screen;
    screen.xres = 480;
    screen.yres = 800;
    screen.bits_per_pixel = 16;
    screen.line_length = 960;
    screen.memory = memory.data();
    for (auto _ : state) {
        draw_picture(screen, pic);
        benchmark::ClobberMemory();
    }
    state.counters["pixels/s"] =
        benchmark::Counter(480.0 * 800, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DrawPicture)->Args({480, 800})->Args({400, 300})->Unit(benchmark::kMicrosecond);

}  // namespace
