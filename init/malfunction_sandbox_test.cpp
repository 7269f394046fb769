// The malfunction screen on the device's own paths: the reboot counter in
// "/etc/tarvo", the power-off through "/proc/sysrq-trigger", the language
// settings, the pictures and the simulated framebuffer "/dev/fb0". Runs
// inside ks-sandbox only.
#include "init/malfunction.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "init/log.h"
#include "init/png_picture.h"
#include "sim/model.h"
#include "sim/models/framebuffer.h"
#include "sim/pictures/png_writer.h"

namespace {

using ks_sim::fb_geometry;
using ks_sim::fb_update;

const std::string picture_dir = MALF_PICTURE_DIR;
const std::string fi_picture = picture_dir + "/malfNOK_fi.png";
const std::string en_picture = MALF_FALLBACK_PICTURE;
const std::string test_picture = "/tmp/picture.png";

// The two language pictures have a colour of their own.
const png_color en_colour = {200, 16, 46};
const png_color fi_colour = {0, 47, 108};

bool write_picture(const std::string &path, const ks_pictures::png_spec &spec)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = ks_pictures::write_png(f, spec);
    return fclose(f) == 0 && ok;
}

ks_pictures::png_spec plain(uint32_t width, uint32_t height, png_color colour)
{
    return ks_pictures::rgb_picture(width, height, [=](uint32_t, uint32_t) { return colour; });
}

// A picture whose every pixel differs from its neighbours.
png_color pattern(uint32_t x, uint32_t y)
{
    return png_color{uint8_t(x * 7), uint8_t(y * 3 + x), uint8_t(255 - y)};
}

void put(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::string get(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "(absent)";
    if (S_ISDIR(st.st_mode))
        return "(directory)";
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Malfunction : public ::testing::Test {
protected:
    // The picture directory lives under /usr, which the sandbox shows
    // read-only from the host: a tmpfs over /usr/share of this private
    // namespace takes the device's pictures.
    static void SetUpTestSuite()
    {
        ASSERT_EQ(ks_sim::state_dir(), "/.ks-sim") << "runs inside ks-sandbox only";
        ASSERT_EQ(mount("tmpfs", "/usr/share", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
        ASSERT_EQ(system(("mkdir -p '" + picture_dir + "' /etc/tarvo "
                          "'/etc/vekk-af-init/gconf-dir/sorratouch/i18n'")
                             .c_str()),
                  0);
        // Traces and errors both on the simulated console, to be read back.
        set_log_mode(2);
        ASSERT_EQ(open_clog(), 0);
    }
    static void TearDownTestSuite()
    {
        // Closed while the simulator behind the console is still there; a
        // stream left for the exit-time flush would reach it after its end.
        close_console_log();
        umount2("/usr/share", MNT_DETACH);
    }

    void SetUp() override
    {
        ASSERT_EQ(system("rm -rf /.ks-sim/run/* /.ks-sim/faults /.ks-sim/fb0.* "
                         "/etc/tarvo/reboot_counter /etc/vekk-af-init/gconf-dir/sorratouch/i18n/*"),
                  0);
        ASSERT_TRUE(write_picture(en_picture, plain(400, 300, en_colour)));
        ASSERT_TRUE(write_picture(fi_picture, plain(200, 100, fi_colour)));
    }

    static void arm(const std::string &line) { ASSERT_EQ(ks_sim::write_state("faults", line + "\n"), 0); }
    static void geometry(const std::string &text)
    {
        ASSERT_EQ(ks_sim::write_state(ks_sim::FB_GEOMETRY_STATE, text), 0);
    }
    static std::vector<std::string> records(const char *name)
    {
        std::vector<std::string> recs;
        ks_sim::read_records(ks_sim::run_path(name), recs);
        return recs;
    }
    static std::vector<std::string> sleeps() { return records("sleeps"); }
    // Everything logged since the test case began: errors with the
    // program's prefix, traces after their time stamp.
    static std::string console()
    {
        flush_logs();
        std::string text;
        for (const std::string &r : records("console"))
            text += r;
        return text;
    }
    static std::vector<std::string> sysrq() { return records("sysrq"); }

    // The screen as the program left it.
    struct screen {
        fb_geometry geometry = ks_sim::fb_read_geometry();
        std::string memory = ks_sim::fb_memory();
        uint16_t pixel(uint32_t x, uint32_t y) const
        {
            uint16_t v = 0;
            size_t at = size_t(y) * geometry.line_length + x * 2;
            if (at + 2 <= memory.size())
                memcpy(&v, memory.data() + at, 2);
            return v;
        }
    };
};

// --- show_bmp ---------------------------------------------------------

TEST_F(Malfunction, FullScreenPictureIsShownWholeAndWaitedFor)
{
    ASSERT_TRUE(write_picture(test_picture, ks_pictures::rgb_picture(480, 800, pattern)));
    EXPECT_EQ(show_bmp(test_picture.c_str(), 7), 0);

    screen seen_now;
    const std::string &memory = seen_now.memory;
    ASSERT_EQ(memory.size(), 480u * 800 * 2);
    size_t wrong = 0;
    for (uint32_t y = 0; y < 800; y++)
        for (uint32_t x = 0; x < 480; x++) {
            png_color c = pattern(x, y);
            wrong += seen_now.pixel(x, y) != rgb565(c.red, c.green, c.blue);
        }
    EXPECT_EQ(wrong, 0u);

    // The whole screen in the 68-byte record, every other field 0.
    std::vector<fb_update> updates = ks_sim::fb_updates();
    ASSERT_EQ(updates.size(), 1u);
    const uint32_t want[17] = {0, 0, 480, 800};
    EXPECT_EQ(memcmp(updates[0].fields, want, sizeof want), 0);
    EXPECT_EQ(sleeps(), std::vector<std::string>{"sleep 7.000000000"});

    // What a person would see: the saved screen decodes to the same pixels.
    FILE *saved = fopen((ks_sim::state_dir() + "/" + ks_sim::FB_PICTURE_STATE).c_str(), "rb");
    ASSERT_NE(saved, nullptr);
    rgb565_picture seen;
    EXPECT_EQ(read_png_picture(saved, 480, 800, &seen), PNG_READ_OK);
    fclose(saved);
    ASSERT_EQ(seen.pixels.size(), 480u * 800);
    EXPECT_EQ(memcmp(seen.pixels.data(), memory.data(), memory.size()), 0);
}

TEST_F(Malfunction, SmallerPictureIsCentredOnWhite)
{
    ASSERT_TRUE(write_picture(test_picture, ks_pictures::rgb_picture(400, 300, pattern)));
    EXPECT_EQ(show_bmp(test_picture.c_str(), 1), 0);
    screen s;
    // 250 white rows above and below, 40 white columns on each side.
    for (uint32_t y : {0u, 249u, 550u, 799u})
        for (uint32_t x : {0u, 200u, 479u})
            EXPECT_EQ(s.pixel(x, y), RGB565_WHITE) << x << "," << y;
    for (uint32_t x : {0u, 39u, 440u, 479u})
        EXPECT_EQ(s.pixel(x, 400), RGB565_WHITE) << x;
    struct sample {
        uint32_t x, y;
    } samples[] = {{0, 0}, {399, 0}, {0, 299}, {399, 299}, {123, 45}};
    for (const auto &p : samples) {
        png_color c = pattern(p.x, p.y);
        EXPECT_EQ(s.pixel(40 + p.x, 250 + p.y), rgb565(c.red, c.green, c.blue)) << p.x << "," << p.y;
    }
}

// A padded screen takes the centring path even for a full-size picture:
// the padding after each row's 960 bytes is not written.
TEST_F(Malfunction, PaddedRowsAreLeftAlone)
{
    geometry("xres=480 yres=800 bits_per_pixel=16 line_length=1024");
    ASSERT_EQ(ks_sim::write_state(ks_sim::run_path(ks_sim::FB_MEMORY_RUN),
                                  std::string(1024 * 800, '\xAB')),
              0);
    ASSERT_TRUE(write_picture(test_picture, ks_pictures::rgb_picture(480, 800, pattern)));
    EXPECT_EQ(show_bmp(test_picture.c_str(), 1), 0);
    screen s;
    const std::string &memory = s.memory;
    ASSERT_EQ(memory.size(), 1024u * 800);
    for (uint32_t y = 0; y < 800; y += 111) {
        png_color c = pattern(479, y);
        EXPECT_EQ(s.pixel(479, y), rgb565(c.red, c.green, c.blue)) << y;
        EXPECT_EQ(memory.substr(size_t(y) * 1024 + 960, 64), std::string(64, '\xAB')) << y;
    }
}

// Every way of not showing: -14, no update request and no wait.
TEST_F(Malfunction, PictureThatCannotBeShownIsRefused)
{
    struct row {
        const char *name;
        std::function<void()> prepare;
    } rows[] = {
        {"wider than the screen",
         [] { write_picture(test_picture, plain(481, 10, en_colour)); }},
        {"higher than the screen",
         [] { write_picture(test_picture, plain(10, 801, en_colour)); }},
        {"no picture file", [] { unlink(test_picture.c_str()); }},
        {"not a PNG", [] { put(test_picture, "GIF89a, or anything else"); }},
        {"cut short",
         [] {
             write_picture(test_picture, ks_pictures::rgb_picture(100, 100, pattern));
             EXPECT_EQ(truncate(test_picture.c_str(), 200), 0);
         }},
        {"8-bit screen",
         [] {
             write_picture(test_picture, plain(10, 10, en_colour));
             geometry("xres=480 yres=800 bits_per_pixel=8");
         }},
        {"no framebuffer",
         [] {
             write_picture(test_picture, plain(10, 10, en_colour));
             arm("fb0.open");
         }},
        {"no screen information",
         [] {
             write_picture(test_picture, plain(10, 10, en_colour));
             arm("fb0.screeninfo");
         }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        SetUp();
        r.prepare();
        EXPECT_EQ(show_bmp(test_picture.c_str(), 5), SHOW_BMP_CANNOT_SHOW);
        EXPECT_TRUE(ks_sim::fb_updates().empty());
        EXPECT_TRUE(sleeps().empty());
    }
}

TEST_F(Malfunction, FailedUpdateReturnsAtOnce)
{
    arm("fb0.update");
    ASSERT_TRUE(write_picture(test_picture, plain(10, 10, en_colour)));
    EXPECT_EQ(show_bmp(test_picture.c_str(), 360), SHOW_BMP_UPDATE_FAILED);
    std::vector<fb_update> updates = ks_sim::fb_updates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].answer, -EIO);
    EXPECT_TRUE(sleeps().empty());
}

// --- show_malf ----------------------------------------------------------

// Each row: the counter before, the counter after, whether the picture
// was shown (and waited for) and whether power-off was requested.
TEST_F(Malfunction, CounterDecidesBetweenPictureAndPowerOff)
{
    struct row {
        const char *before;  // null: absent; "/": a directory
        const char *after;
        bool shown;
        bool power_off;
    } rows[] = {
        {nullptr, "1\n", true, false},
        {"4\n", "5\n", true, false},
        {"5\n", "(absent)", false, true},
        {"2147483647", "(absent)", false, true},
        {"", "", true, false},  // corrupted: left alone, the picture still shown
        {"-3", "-3", true, false},
        {"/", "(directory)", true, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.before ? r.before : "(absent)");
        SetUp();
        if (r.before && std::string(r.before) == "/")
            ASSERT_EQ(mkdir(REBOOT_COUNTER_PATH, 0755), 0);
        else if (r.before)
            put(REBOOT_COUNTER_PATH, r.before);
        show_malf(360);
        EXPECT_EQ(get(REBOOT_COUNTER_PATH), r.after);
        EXPECT_EQ(ks_sim::fb_updates().size(), r.shown ? 1u : 0u);
        EXPECT_EQ(sleeps(), r.shown ? std::vector<std::string>{"sleep 360.000000000"}
                                    : std::vector<std::string>{});
        EXPECT_EQ(sysrq(), r.power_off ? std::vector<std::string>{"o\n"} : std::vector<std::string>{});
        rmdir(REBOOT_COUNTER_PATH);
    }
}

TEST_F(Malfunction, PictureFollowsTheLanguageWithEnglishAsFallback)
{
    const std::string fi_settings =
        "<?xml version=\"1.0\"?>\n<gconf>\n"
        "  <entry name=\"language\" mtime=\"1\" type=\"string\">\n"
        "    <stringvalue>fi</stringvalue>\n  </entry>\n</gconf>\n";
    struct row {
        const char *name;
        const char *settings;  // null: no settings file
        bool fi_picture;
        const png_color *shown;  // null: nothing shown
    } rows[] = {
        {"finnish", fi_settings.c_str(), true, &fi_colour},
        {"finnish picture missing", fi_settings.c_str(), false, &en_colour},
        {"no settings", nullptr, true, &en_colour},
        {"no language in the settings", "<gconf><entry name=\"other\"><s>fi</s></entry></gconf>",
         true, &en_colour},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        SetUp();
        if (r.settings)
            put(LANGUAGE_SETTINGS_PATH, r.settings);
        if (!r.fi_picture)
            unlink(fi_picture.c_str());
        show_malf(360);
        ASSERT_EQ(ks_sim::fb_updates().size(), 1u);
        screen s;
        EXPECT_EQ(s.pixel(240, 400), rgb565(r.shown->red, r.shown->green, r.shown->blue));
        EXPECT_EQ(s.pixel(0, 0), RGB565_WHITE);
    }
}

TEST_F(Malfunction, NoPictureAtAllReturnsWithoutWaiting)
{
    unlink(en_picture.c_str());
    put(LANGUAGE_SETTINGS_PATH,
        "<gconf><entry name=\"language\"><stringvalue>sv</stringvalue></entry></gconf>");
    show_malf(360);
    EXPECT_TRUE(ks_sim::fb_updates().empty());
    EXPECT_TRUE(sleeps().empty());
    EXPECT_EQ(get(REBOOT_COUNTER_PATH), "1\n");
}

// Which message each step gives, and whether it is an error (with the
// program's prefix) or a trace (after a time stamp).
TEST_F(Malfunction, MessagesTellWhatHappened)
{
    const std::string error = "keepstone-init: ";
    const std::string trace = "] ";
    const std::string fi_settings =
        "<gconf><entry name=\"language\"><stringvalue>fi</stringvalue></entry></gconf>";
    struct row {
        const char *name;
        std::function<void()> run;
        std::vector<std::string> lines;
    } rows[] = {
        {"first malfunction boot",
         [] { show_malf(360); },
         {error + "show malf bitmap\n", error + "set reboot [1/5]\n",
          error + "gconffile " + LANGUAGE_SETTINGS_PATH + " NOT found (-1)\n",
          trace + "show_bmp: screen 480 X 800, image 400 X 300\n", trace + "Show picture...\n",
          trace + "Update window...\n", trace + "Sleep...\n"}},
        {"empty counter",
         [] {
             put(REBOOT_COUNTER_PATH, "");
             show_malf(360);
         },
         {error + "reboot counter file corrupted (-1, 0)\n"}},
        {"counter is a directory",
         [] {
             mkdir(REBOOT_COUNTER_PATH, 0755);
             show_malf(360);
             rmdir(REBOOT_COUNTER_PATH);
         },
         {error + "not regular file " + REBOOT_COUNTER_PATH + "\n"}},
        {"sixth boot",
         [] {
             put(REBOOT_COUNTER_PATH, "5\n");
             show_malf(360);
         },
         {error + "Power-off\n"}},
        {"language found",
         [&] {
             put(LANGUAGE_SETTINGS_PATH, fi_settings);
             show_malf(360);
         },
         {trace + "language is fi\n", trace + "show_bmp: screen 480 X 800, image 200 X 100\n"}},
        {"language picture missing",
         [&] {
             put(LANGUAGE_SETTINGS_PATH, fi_settings);
             unlink(fi_picture.c_str());
             show_malf(360);
         },
         {error + "File " + fi_picture + " not found\n",
          trace + "show_bmp: screen 480 X 800, image 400 X 300\n"}},
        {"no language in the settings",
         [] {
             put(LANGUAGE_SETTINGS_PATH, "<gconf/>");
             show_malf(360);
         },
         {error + "language is NOT set in gconf file\n"}},
        {"no picture at all",
         [] {
             unlink(en_picture.c_str());
             show_malf(360);
         },
         {error + "File " + en_picture + " not found\n"}},
        {"picture too big",
         [] {
             write_picture(test_picture, plain(481, 10, en_colour));
             show_bmp(test_picture.c_str(), 1);
         },
         {trace + "PNG picture is bigger than screen (not shown)\nScreen resolution is: 480x800\n",
          error + "Cannot show MALF bitmap " + test_picture + "\n"}},
        {"not a picture",
         [] {
             put(test_picture, "text");
             show_bmp(test_picture.c_str(), 1);
         },
         {error + test_picture + " is not PNG image\n",
          error + "Cannot show MALF bitmap " + test_picture + "\n"}},
        {"no picture file",
         [] {
             unlink(test_picture.c_str());
             show_bmp(test_picture.c_str(), 1);
         },
         {error + "Cannot open file " + test_picture + "\n",
          error + "Cannot show MALF bitmap " + test_picture + "\n"}},
        {"no framebuffer",
         [] {
             arm("fb0.open");
             show_bmp(en_picture.c_str(), 1);
         },
         {trace + "Unable to open frame buffer device /dev/fb0\n"}},
        {"no screen information",
         [] {
             arm("fb0.screeninfo");
             show_bmp(en_picture.c_str(), 1);
         },
         {trace + "Unable to get screen info via ioctl\n"}},
        {"update fails",
         [] {
             arm("fb0.update");
             show_bmp(en_picture.c_str(), 1);
         },
         {trace + "Update window...\n", trace + "Updating screen failed\n"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        SetUp();
        r.run();
        std::string text = console();
        for (const std::string &line : r.lines)
            EXPECT_NE(text.find(line), std::string::npos) << "missing: " << line << "in:\n" << text;
    }
}

TEST_F(Malfunction, ClearingTheCounterDeletesIt)
{
    put(REBOOT_COUNTER_PATH, "3\n");
    clear_reboot_counter();
    EXPECT_EQ(get(REBOOT_COUNTER_PATH), "(absent)");
    clear_reboot_counter();  // nothing to delete: nothing happens
    EXPECT_EQ(get(REBOOT_COUNTER_PATH), "(absent)");
}

}  // namespace
