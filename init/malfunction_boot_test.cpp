// Whole malfunction boots of keepstone-init on a simulated device with the
// sample pictures: what the screen shows after each boot, the reboot
// counter across boots and the power-off of the sixth. Each boot runs in
// the sandbox; this program prepares the device and reads its state.
#include "init/png_picture.h"
#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ks_sim::testing::device;

const std::string INIT = KS_INIT_PATH;
const std::string BOOT_PREFIX = KS_BOOT_PREFIX;  // the emulator for an ARM build
const std::string SAMPLE_PICTURES = KS_SAMPLE_PICTURES;  // malfNOK_{en,fi}.png
const std::string PICTURE_DIR = "/usr/share/themes/tridel/sorratouch/images/system-services";
const std::string SETTINGS = "/etc/vekk-af-init/gconf-dir/sorratouch/i18n/%gconf.xml";

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

rgb565_picture decode(const std::string &path)
{
    rgb565_picture picture;
    FILE *f = fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr) << path;
    if (f) {
        EXPECT_EQ(read_png_picture(f, 480, 800, &picture), PNG_READ_OK) << path;
        fclose(f);
    }
    return picture;
}

// A production device (signature checking on) without a vdata file, so
// every boot ends in the malfunction state, with the sample pictures.
void prepare(const device &d, const char *language)
{
    d.write_file("/etc/tarvo/.keep", "");
    d.write_file("/var/lib/tarvo/.keep", "");
    d.write_file("/sbin/preinit", "#!/bin/sh\n");
    for (const char *lang : {"en", "fi"}) {
        std::string name = std::string("malfNOK_") + lang + ".png";
        d.write_file("/pictures/" + name, slurp(SAMPLE_PICTURES + "/" + name));
    }
    if (language)
        d.write_file(SETTINGS, std::string("<?xml version=\"1.0\"?>\n<gconf>\n"
                                           "  <entry name=\"language\" type=\"string\">\n"
                                           "    <stringvalue>") +
                                   language + "</stringvalue>\n  </entry>\n</gconf>\n");
}

// One boot. The device's /usr is the host's, read-only, in the sandbox: the
// pictures are put on a tmpfs over /usr/share of the boot's namespace.
ks_sim::testing::run_result boot(const device &d)
{
    return d.shell("mount -t tmpfs -o mode=755 tmpfs /usr/share && mkdir -p " + PICTURE_DIR +
                   " && cp /pictures/*.png " + PICTURE_DIR + "/ && exec " + BOOT_PREFIX + " " +
                   INIT);
}

std::string console(const device &d)
{
    std::string text;
    for (const std::string &r : d.run_records("console"))
        text += r;
    return text;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The saved screen shows the picture centred on white, pixel for pixel.
void expect_screen_shows(const device &d, const rgb565_picture &picture)
{
    rgb565_picture screen = decode(d.state_dir() + "/fb0.png");
    ASSERT_EQ(screen.width, 480u);
    ASSERT_EQ(screen.height, 800u);
    const uint32_t left = (480 - picture.width) / 2, top = (800 - picture.height) / 2;
    size_t wrong = 0;
    for (uint32_t y = 0; y < 800; y++)
        for (uint32_t x = 0; x < 480; x++) {
            bool inside = x >= left && x < left + picture.width && y >= top &&
                          y < top + picture.height;
            uint16_t want = inside ? picture.pixels[(y - top) * picture.width + x - left]
                                   : RGB565_WHITE;
            wrong += screen.pixels[y * 480 + x] != want;
        }
    EXPECT_EQ(wrong, 0u);
}

TEST(MalfunctionBoot, FiveBootsShowThePictureAndTheSixthPowersOff)
{
    device d;
    prepare(d, "fi");
    const rgb565_picture finnish = decode(SAMPLE_PICTURES + "/malfNOK_fi.png");
    ASSERT_EQ(finnish.width, 360u);

    for (int n = 1; n <= 5; n++) {
        SCOPED_TRACE("boot " + std::to_string(n));
        auto run = boot(d);
        std::string lines = console(d);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_TRUE(has(lines, "keepstone-init: Going to MALF 1\n")) << lines;
        EXPECT_TRUE(has(lines, "keepstone-init: show malf bitmap\n"));
        EXPECT_TRUE(has(lines, "keepstone-init: set reboot [" + std::to_string(n) + "/5]\n"));
        EXPECT_EQ(d.read_file("/etc/tarvo/reboot_counter"), std::to_string(n) + "\n");
        EXPECT_EQ(d.run_records("fb0.updates").size(), 1u);
        EXPECT_TRUE(d.run_records("sysrq").empty());
        expect_screen_shows(d, finnish);
        std::string sleeps;
        for (const std::string &r : d.run_records("sleeps"))
            sleeps += r + "\n";
        EXPECT_EQ(sleeps, "sleep 360.000000000\nsleep 3600.000000000\n");
    }

    auto run = boot(d);
    std::string lines = console(d);
    EXPECT_TRUE(has(lines, "keepstone-init: Power-off\n")) << lines;
    EXPECT_FALSE(has(lines, "set reboot"));
    struct stat st;
    EXPECT_NE(stat(d.host_path("/etc/tarvo/reboot_counter").c_str(), &st), 0);
    EXPECT_EQ(d.run_records("sysrq"), std::vector<std::string>{"o\n"});
    EXPECT_TRUE(d.run_records("fb0.updates").empty());
}

// Without a language setting the English picture, a palette picture with
// transparency, is shown as it is.
TEST(MalfunctionBoot, WithoutLanguageTheEnglishPictureIsShown)
{
    device d;
    prepare(d, nullptr);
    auto run = boot(d);
    std::string lines = console(d);
    EXPECT_TRUE(has(lines, "keepstone-init: gconffile " + SETTINGS + " NOT found (-1)\n")) << lines;
    EXPECT_EQ(d.run_records("fb0.updates").size(), 1u) << run.output;
    expect_screen_shows(d, decode(SAMPLE_PICTURES + "/malfNOK_en.png"));
}

}  // namespace
