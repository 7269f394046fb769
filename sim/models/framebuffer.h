// The framebuffer "/dev/fb0" of the simulated device: a 16-bit RGB565
// screen whose memory the program maps, with the display controller's
// update-window request.
//
// Requests (ioctl with a pointer):
//   0x4600 FBIOGET_VSCREENINFO  variable screen information: xres, yres
//          (also as the virtual size), bits_per_pixel, RGB565 bit fields
//   0x4602 FBIOGET_FSCREENINFO  fixed screen information: line_length,
//          smem_len = yres x line_length, packed pixels, true colour
//   0x40444f36 OMAPFB_UPDATE_WINDOW  the 68-byte record {x, y, width,
//          height, format, out_x, out_y, out_width, out_height, 8 reserved},
//          native u32: recorded; EINVAL when the window is empty or leaves
//          the screen; after a successful update the screen is saved as a
//          PNG picture
// The memory is a real file, so the program's shared mapping works (the
// model hands it out as the backing descriptor).
//
// State files:
//   "fb0.geometry"     the screen, "xres=480 yres=800 bits_per_pixel=16
//                      line_length=960" (any key may be left out; the
//                      line length defaults to xres x bits / 8); absent:
//                      that default screen
//   "fb0.png"          the screen after the last successful update
//   "run/fb0.mem"      the screen memory, yres x line_length bytes
//   "run/fb0.updates"  one record per update request: its 68 bytes, then
//                      the answer as a native int32 (0 or -errno)
//
// Faults ("faults" state file):
//   fb0.open=ERRNO        opening "/dev/fb0" fails with ERRNO
//   fb0.screeninfo=ERRNO  both screen-information requests fail
//   fb0.update=ERRNO      the update-window request fails (still recorded)
//
// ks-sim fb                     the geometry and the recorded updates
// ks-sim fb geometry X Y [BPP [LINE]]  sets the screen of the next boots
// ks-sim fb export FILE         writes the screen's PNG picture to FILE
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model.h"

namespace ks_sim {

constexpr const char FB_DEVICE[] = "/dev/fb0";
constexpr const char FB_GEOMETRY_STATE[] = "fb0.geometry";
constexpr const char FB_PICTURE_STATE[] = "fb0.png";
constexpr const char FB_MEMORY_RUN[] = "fb0.mem";
constexpr const char FB_UPDATES_RUN[] = "fb0.updates";
constexpr unsigned long FB_UPDATE_WINDOW_REQUEST = 0x40444f36;
constexpr size_t FB_UPDATE_RECORD_SIZE = 68;

struct fb_geometry {
    uint32_t xres = 480;
    uint32_t yres = 800;
    uint32_t bits_per_pixel = 16;
    uint32_t line_length = 960;
};

// The configured screen (the default one when none is configured or the
// configuration cannot be used).
fb_geometry fb_read_geometry();
// Configures the screen; a line length of 0 means xres x bits / 8.
// 0 or -errno.
int fb_write_geometry(const fb_geometry &geometry);

// The visible screen of 16-bit memory (rows line_length bytes apart) as an
// 8-bit RGB PNG picture.
std::string fb_encode_png(const uint8_t *memory, const fb_geometry &geometry);

// One recorded update request.
struct fb_update {
    uint32_t fields[17];  // the 68-byte record as native u32
    int32_t answer;
};
std::vector<fb_update> fb_updates();

// The screen memory as the program left it (empty when never opened).
std::string fb_memory();

}  // namespace ks_sim
