// Writes PNG pictures with libpng, in any colour type and bit depth: the
// sample device's malfunction pictures are made with it at build time, and
// the tests make their picture fixtures with it.
#pragma once

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace ks_pictures {

// A picture as libpng takes it: rows of packed samples in file order
// (16-bit samples big-endian), plus the optional palette and transparency.
struct png_spec {
    uint32_t width = 0;
    uint32_t height = 0;
    int colour_type = PNG_COLOR_TYPE_RGB;
    int bit_depth = 8;
    bool interlaced = false;
    std::vector<std::vector<uint8_t>> rows;
    std::vector<png_color> palette;
    std::vector<uint8_t> palette_alpha;  // tRNS of a palette picture
    bool grey_transparent = false;       // tRNS of a grey picture
    uint16_t transparent_grey = 0;
};

namespace detail {

// Plain C-style body: libpng reports errors by longjmp into it.
inline bool write_png_body(FILE *stream, const png_spec &spec, png_bytepp rows)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, stream);
    png_set_IHDR(png, info, spec.width, spec.height, spec.bit_depth, spec.colour_type,
                 spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!spec.palette.empty())
        png_set_PLTE(png, info, spec.palette.data(), int(spec.palette.size()));
    if (!spec.palette_alpha.empty())
        png_set_tRNS(png, info, spec.palette_alpha.data(), int(spec.palette_alpha.size()),
                     nullptr);
    if (spec.grey_transparent) {
        png_color_16 grey{};
        grey.gray = spec.transparent_grey;
        png_set_tRNS(png, info, nullptr, 0, &grey);
    }
    png_write_info(png, info);
    if (spec.interlaced)
        png_set_interlace_handling(png);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace detail

// Writes the picture to the stream; false when libpng refused it.
inline bool write_png(FILE *stream, const png_spec &spec)
{
    std::vector<png_bytep> rows;
    for (const auto &row : spec.rows)
        rows.push_back(const_cast<png_bytep>(row.data()));
    if (rows.size() != spec.height)
        return false;
    return detail::write_png_body(stream, spec, rows.data());
}

// An 8-bit RGB picture from a function giving each pixel's colour.
template <typename Colour>
png_spec rgb_picture(uint32_t width, uint32_t height, Colour colour)
{
    png_spec spec;
    spec.width = width;
    spec.height = height;
    for (uint32_t y = 0; y < height; y++) {
        std::vector<uint8_t> row;
        row.reserve(size_t(width) * 3);
        for (uint32_t x = 0; x < width; x++) {
            png_color c = colour(x, y);
            row.push_back(c.red);
            row.push_back(c.green);
            row.push_back(c.blue);
        }
        spec.rows.push_back(std::move(row));
    }
    return spec;
}

}  // namespace ks_pictures
