#include "sim/models/framebuffer.h"
#include "sim/testing/state_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fb.h>
#include <png.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace ks_sim {
namespace {

class FramebufferModel : public ks_sim::testing::StateDirTest {
protected:

    static std::unique_ptr<open_file> open_fb()
    {
        model *m = find_model(FB_DEVICE);
        EXPECT_NE(m, nullptr);
        return m ? m->open(FB_DEVICE, O_RDWR, 0) : nullptr;
    }

    static int update(open_file &fb, uint32_t x, uint32_t y, uint32_t w, uint32_t h)
    {
        uint32_t record[17] = {x, y, w, h};
        return fb.ioctl(FB_UPDATE_WINDOW_REQUEST, record);
    }

};

// Decodes a PNG to 8-bit RGB with libpng's simplified interface.
std::vector<uint8_t> decode_rgb(const std::string &png, uint32_t *width, uint32_t *height)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
        return {};
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr))
        return {};
    *width = image.width;
    *height = image.height;
    return rgb;
}

TEST_F(FramebufferModel, ReportsTheConfiguredScreen)
{
    struct row {
        const char *config;  // null: none
        fb_geometry want;
    } rows[] = {
        {nullptr, {480, 800, 16, 960}},
        {"xres=64 yres=32", {64, 32, 16, 128}},
        {"xres=100 yres=10 bits_per_pixel=16 line_length=256", {100, 10, 16, 256}},
        {"xres=8 yres=8 bits_per_pixel=32", {8, 8, 32, 32}},
        {"xres=100 yres=10 line_length=100", {480, 800, 16, 960}},  // rows too short
        {"xres=0", {480, 800, 16, 960}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.config ? r.config : "(none)");
        if (r.config)
            ASSERT_EQ(write_state(FB_GEOMETRY_STATE, r.config), 0);
        else
            unlink(state_path(FB_GEOMETRY_STATE).c_str());
        auto fb = open_fb();
        ASSERT_NE(fb, nullptr);
        fb_var_screeninfo var;
        fb_fix_screeninfo fix;
        ASSERT_EQ(fb->ioctl(FBIOGET_VSCREENINFO, &var), 0);
        ASSERT_EQ(fb->ioctl(FBIOGET_FSCREENINFO, &fix), 0);
        EXPECT_EQ(var.xres, r.want.xres);
        EXPECT_EQ(var.yres, r.want.yres);
        EXPECT_EQ(var.bits_per_pixel, r.want.bits_per_pixel);
        EXPECT_EQ(fix.line_length, r.want.line_length);
        EXPECT_EQ(fix.smem_len, r.want.yres * r.want.line_length);
        struct stat st;
        ASSERT_EQ(fstat(fb->backing_fd(), &st), 0);
        EXPECT_EQ(st.st_size, off_t(r.want.yres) * r.want.line_length);
    }
}

// What the program writes through its mapping reaches the screen, and an
// update saves it as a picture.
TEST_F(FramebufferModel, UpdateRecordsTheRequestAndSavesTheScreen)
{
    ASSERT_EQ(fb_write_geometry({4, 2, 16, 10}), 0);  // two bytes of padding per row
    auto fb = open_fb();
    ASSERT_NE(fb, nullptr);
    void *map = mmap(nullptr, 20, PROT_READ | PROT_WRITE, MAP_SHARED, fb->backing_fd(), 0);
    ASSERT_NE(map, MAP_FAILED);
    const uint16_t pixels[2][4] = {{0xF800, 0x07E0, 0x001F, 0xFFFF}, {0x0000, 0x8410, 0x11AA, 1}};
    for (int y = 0; y < 2; y++)
        memcpy(static_cast<uint8_t *>(map) + y * 10, pixels[y], 8);
    munmap(map, 20);

    uint32_t record[17] = {0, 0, 4, 2, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(fb->ioctl(FB_UPDATE_WINDOW_REQUEST, record), 0);
    auto updates = fb_updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(memcmp(updates[0].fields, record, sizeof record), 0);
    EXPECT_EQ(updates[0].answer, 0);

    std::string png;
    ASSERT_EQ(read_state(FB_PICTURE_STATE, png), 0);
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> rgb = decode_rgb(png, &w, &h);
    ASSERT_EQ(rgb.size(), 4u * 2 * 3);
    EXPECT_EQ(w, 4u);
    EXPECT_EQ(h, 2u);
    const uint8_t want[2][12] = {
        {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255},
        {0, 0, 0, 132, 130, 132, 16, 52, 82, 0, 0, 8},
    };
    EXPECT_EQ(memcmp(rgb.data(), want, sizeof want), 0);
}

TEST_F(FramebufferModel, RefusedRequestsAndFaults)
{
    ASSERT_EQ(fb_write_geometry({8, 4, 16, 0}), 0);
    auto fb = open_fb();
    ASSERT_NE(fb, nullptr);
    EXPECT_EQ(update(*fb, 0, 0, 9, 4), -EINVAL);  // wider than the screen
    EXPECT_EQ(update(*fb, 1, 0, 8, 4), -EINVAL);
    EXPECT_EQ(update(*fb, 0, 0, 0, 4), -EINVAL);
    EXPECT_EQ(update(*fb, 0, 0xFFFFFFFF, 8, 2), -EINVAL);  // no wrap-around
    EXPECT_EQ(fb->ioctl(0x4601, &fb), -ENOTTY);
    EXPECT_EQ(fb->ioctl(FBIOGET_VSCREENINFO, nullptr), -EFAULT);
    std::string png;
    EXPECT_EQ(read_state(FB_PICTURE_STATE, png), -ENOENT) << "refused updates show nothing";

    ASSERT_EQ(write_state("faults", "fb0.update\nfb0.screeninfo=5\n"), 0);
    fb_var_screeninfo var;
    EXPECT_EQ(fb->ioctl(FBIOGET_VSCREENINFO, &var), -5);
    EXPECT_EQ(update(*fb, 0, 0, 8, 4), -EIO);
    EXPECT_EQ(read_state(FB_PICTURE_STATE, png), -ENOENT);
    auto updates = fb_updates();
    ASSERT_EQ(updates.size(), 5u);
    EXPECT_EQ(updates.back().answer, -EIO);

    ASSERT_EQ(write_state("faults", "fb0.open=19\n"), 0);
    errno = 0;
    EXPECT_EQ(open_fb(), nullptr);
    EXPECT_EQ(errno, 19);
}

}  // namespace
}  // namespace ks_sim
