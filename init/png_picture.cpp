#include "init/png_picture.h"

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Everything that libpng's error jump may leave half done lives in this
// plain record of the caller, so that the jump skips no C++ object and the
// caller can release what was allocated, whatever point the jump came from.
struct png_decode {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_infop end_info = nullptr;
    png_bytep image = nullptr;   // height x row_bytes, 8-bit RGB
    png_bytepp rows = nullptr;   // height pointers into image
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    size_t row_bytes = 0;
};

void release(png_decode *d)
{
    if (d->png)
        png_destroy_read_struct(&d->png, d->info ? &d->info : nullptr,
                                d->end_info ? &d->end_info : nullptr);
    free(d->rows);
    free(d->image);
    d->rows = nullptr;
    d->image = nullptr;
}

// Decodes the stream into d->image as 8-bit RGB. Holds no C++ object, since
// libpng reports errors with longjmp back into this function.
png_read_result decode_rgb(FILE *stream, uint32_t max_width, uint32_t max_height,
                           png_decode *d)
{
    png_byte signature[8];
    if (fread(signature, 1, sizeof signature, stream) != sizeof signature ||
        png_sig_cmp(signature, 0, sizeof signature) != 0)
        return PNG_READ_NOT_PNG;

    d->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!d->png)
        return PNG_READ_NO_MEMORY;
    d->info = png_create_info_struct(d->png);
    d->end_info = png_create_info_struct(d->png);
    if (!d->info || !d->end_info)
        return PNG_READ_NO_MEMORY;

    if (setjmp(png_jmpbuf(d->png)))
        return PNG_READ_BAD_PICTURE;

    png_init_io(d->png, stream);
    png_set_sig_bytes(d->png, sizeof signature);
    png_read_info(d->png, d->info);
    int bit_depth = 0;
    int colour_type = 0;
    png_get_IHDR(d->png, d->info, &d->width, &d->height, &bit_depth, &colour_type,
                 nullptr, nullptr, nullptr);
    if (d->width > max_width || d->height > max_height)
        return PNG_READ_TOO_BIG;

    // Down to three 8-bit samples per pixel: transparency of a palette or
    // grey picture becomes an alpha channel when expanded, so it is
    // stripped as well as a real alpha channel.
    if ((colour_type & PNG_COLOR_MASK_ALPHA) || png_get_valid(d->png, d->info, PNG_INFO_tRNS))
        png_set_strip_alpha(d->png);
    if (colour_type != PNG_COLOR_TYPE_RGB)
        png_set_expand(d->png);
    if (!(colour_type & PNG_COLOR_MASK_COLOR))
        png_set_gray_to_rgb(d->png);
    if (bit_depth == 16)
        png_set_strip_16(d->png);
    png_set_interlace_handling(d->png);
    png_read_update_info(d->png, d->info);

    d->row_bytes = png_get_rowbytes(d->png, d->info);
    if (png_get_channels(d->png, d->info) != 3 || png_get_bit_depth(d->png, d->info) != 8 ||
        d->row_bytes < size_t(d->width) * 3)
        return PNG_READ_BAD_PICTURE;
    if (d->height != 0 && d->row_bytes > SIZE_MAX / d->height)
        return PNG_READ_NO_MEMORY;

    d->image = static_cast<png_bytep>(malloc(d->row_bytes * d->height));
    d->rows = static_cast<png_bytepp>(calloc(d->height, sizeof(png_bytep)));
    if (!d->image || !d->rows)
        return PNG_READ_NO_MEMORY;
    for (png_uint_32 y = 0; y < d->height; y++)
        d->rows[y] = d->image + size_t(y) * d->row_bytes;
    png_read_image(d->png, d->rows);
    return PNG_READ_OK;
}

}  // namespace

png_read_result read_png_picture(FILE *stream, uint32_t max_width, uint32_t max_height,
                                 rgb565_picture *out)
{
    png_decode d;
    png_read_result result = decode_rgb(stream, max_width, max_height, &d);
    if (result == PNG_READ_OK) {
        try {
            std::vector<uint16_t> pixels(size_t(d.width) * d.height);
            uint16_t *pixel = pixels.data();
            for (png_uint_32 y = 0; y < d.height; y++) {
                const png_byte *rgb = d.rows[y];
                for (png_uint_32 x = 0; x < d.width; x++, rgb += 3)
                    *pixel++ = rgb565(rgb[0], rgb[1], rgb[2]);
            }
            out->width = d.width;
            out->height = d.height;
            out->pixels.swap(pixels);
        } catch (const std::bad_alloc &) {
            result = PNG_READ_NO_MEMORY;
        }
    }
    release(&d);
    return result;
}

bool screen_is_drawable(const fb_screen &screen)
{
    return screen.bits_per_pixel == 16 && screen.memory != nullptr &&
           uint64_t(screen.line_length) >= uint64_t(screen.xres) * 2;
}

void draw_picture(const fb_screen &screen, const rgb565_picture &picture)
{
    const size_t picture_row = size_t(picture.width) * sizeof(uint16_t);
    if (uint64_t(screen.line_length) ==
            uint64_t(screen.bits_per_pixel) * picture.width / 8 &&
        picture.width == screen.xres && picture.height == screen.yres) {
        memcpy(screen.memory, picture.pixels.data(), picture_row * picture.height);
        return;
    }

    // Centred on white. White is 0xFFFF, all bits set whatever the byte
    // order, so it is filled bytewise; rows may start at any address.
    const uint32_t top = (screen.yres - picture.height) / 2;
    const uint32_t left = (screen.xres - picture.width) / 2;
    const size_t screen_row = size_t(screen.xres) * sizeof(uint16_t);
    const size_t left_bytes = size_t(left) * sizeof(uint16_t);
    const size_t right_bytes = screen_row - left_bytes - picture_row;
    const uint8_t *source = reinterpret_cast<const uint8_t *>(picture.pixels.data());
    for (uint32_t y = 0; y < screen.yres; y++) {
        uint8_t *row = screen.memory + size_t(y) * screen.line_length;
        if (y < top || y - top >= picture.height) {
            memset(row, 0xFF, screen_row);
            continue;
        }
        memset(row, 0xFF, left_bytes);
        memcpy(row + left_bytes, source + size_t(y - top) * picture_row, picture_row);
        memset(row + left_bytes + picture_row, 0xFF, right_bytes);
    }
}
