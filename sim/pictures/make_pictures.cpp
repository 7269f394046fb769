// Makes the sample device's malfunction pictures: a warning sign above a
// band that tells the languages apart, without any text.
//
//   make_pictures DIR   writes DIR/malfNOK_en.png and DIR/malfNOK_fi.png
//
// English is a palette picture with a transparency chunk (the kind of
// picture the device ships), Finnish an 8-bit RGB picture of another size,
// so the sample device shows both decoding paths.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/pictures/png_writer.h"

namespace {

using ks_pictures::png_spec;

enum colour_index : uint8_t { WHITE, RED, BLACK, BLUE, YELLOW, GREY, COLOURS };

const png_color palette[COLOURS] = {
    {255, 255, 255}, {200, 16, 46}, {20, 20, 20}, {0, 47, 108}, {255, 204, 0}, {160, 160, 160},
};

// The warning sign in a box of size x size at its top-left corner: a red
// triangle, yellow inside, with a black bar and dot. WHITE outside it.
colour_index warning_sign(double x, double y, double size)
{
    const double u = x / size, v = y / size;  // 0..1 within the box
    const double half = 0.5 * v;              // half width of the triangle at v
    const double dx = std::fabs(u - 0.5);
    if (v < 0.02 || v > 0.98 || dx > half)
        return WHITE;
    const double inner = half - 0.09;
    if (v > 0.85 || dx > inner)
        return RED;
    if (dx < 0.05 && v > 0.32 && v < 0.64)
        return BLACK;  // the bar
    if (std::hypot(u - 0.5, v - 0.74) < 0.055)
        return BLACK;  // the dot
    return YELLOW;
}

// English: three horizontal stripes, red, grey, blue.
colour_index band_en(double, double v)
{
    return v < 1.0 / 3 ? RED : v < 2.0 / 3 ? GREY : BLUE;
}

// Finnish: a blue cross on white, its upright left of the middle.
colour_index band_fi(double u, double v)
{
    bool upright = u > 0.28 && u < 0.40;
    bool beam = v > 0.36 && v < 0.64;
    return upright || beam ? BLUE : WHITE;
}

// Sign centred in the upper part, the band across the lower part, a grey
// frame around the whole picture.
template <typename Band>
colour_index picture_pixel(uint32_t x, uint32_t y, uint32_t w, uint32_t h, Band band)
{
    if (x < 3 || y < 3 || x >= w - 3 || y >= h - 3)
        return GREY;
    const double sign = h * 0.62;
    const double band_top = h * 0.70;
    if (y < sign) {
        double left = (w - sign) / 2;
        if (x < left || x >= left + sign)
            return WHITE;
        return warning_sign(x - left, y, sign);
    }
    if (y < band_top || y >= h - h * 0.06 || x < w * 0.1 || x >= w * 0.9)
        return WHITE;
    return band((x - w * 0.1) / (w * 0.8), (y - band_top) / (h * 0.94 - band_top));
}

png_spec english()
{
    png_spec spec;
    spec.width = 400;
    spec.height = 300;
    spec.colour_type = PNG_COLOR_TYPE_PALETTE;
    spec.bit_depth = 8;
    spec.palette.assign(palette, palette + COLOURS);
    spec.palette_alpha = {0};  // white is transparent; the screen is white anyway
    for (uint32_t y = 0; y < spec.height; y++) {
        std::vector<uint8_t> row;
        for (uint32_t x = 0; x < spec.width; x++)
            row.push_back(picture_pixel(x, y, spec.width, spec.height, band_en));
        spec.rows.push_back(row);
    }
    return spec;
}

png_spec finnish()
{
    return ks_pictures::rgb_picture(360, 420, [](uint32_t x, uint32_t y) {
        return palette[picture_pixel(x, y, 360, 420, band_fi)];
    });
}

bool save(const std::string &path, const png_spec &spec)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        fprintf(stderr, "make_pictures: cannot create %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = ks_pictures::write_png(f, spec);
    ok = fclose(f) == 0 && ok;
    if (!ok)
        fprintf(stderr, "make_pictures: cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = save(dir + "/malfNOK_en.png", english());
    ok = save(dir + "/malfNOK_fi.png", finnish()) && ok;
    return ok ? 0 : 1;
}
