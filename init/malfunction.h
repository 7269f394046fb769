// The malfunction state: the reboot counter of consecutive malfunction
// boots, the power-off on the sixth, and the malfunction picture in the
// device's language on the framebuffer.
#pragma once

#include <cstdint>
#include <string>

// Consecutive malfunction boots so far, "%d\n"; absent means 0.
constexpr const char REBOOT_COUNTER_PATH[] = "/etc/tarvo/reboot_counter";
// Boots that show the picture; the boot that finds this count powers off.
constexpr int MALF_BOOT_LIMIT = 5;
constexpr const char SYSRQ_TRIGGER_PATH[] = "/proc/sysrq-trigger";
// The settings file that holds the language (its name starts with '%').
constexpr const char LANGUAGE_SETTINGS_PATH[] =
    "/etc/vekk-af-init/gconf-dir/sorratouch/i18n/%gconf.xml";
constexpr const char DEFAULT_LANGUAGE[] = "en";
constexpr const char MALF_PICTURE_DIR[] =
    "/usr/share/themes/tridel/sorratouch/images/system-services";
constexpr const char MALF_FALLBACK_PICTURE[] =
    "/usr/share/themes/tridel/sorratouch/images/system-services/malfNOK_en.png";
constexpr const char FRAMEBUFFER_PATH[] = "/dev/fb0";

// The display controller's update-window request and its record, nine
// fields and eight reserved words, all native 32-bit.
constexpr unsigned long OMAPFB_UPDATE_WINDOW = 0x40444f36;
struct omapfb_update_window {
    uint32_t x, y;
    uint32_t width, height;
    uint32_t format;
    uint32_t out_x, out_y;
    uint32_t out_width, out_height;
    uint32_t reserved[8];
};
static_assert(sizeof(omapfb_update_window) == 68, "update-window record is 68 bytes");

// Results of show_bmp.
constexpr int SHOW_BMP_CANNOT_SHOW = -14;
constexpr int SHOW_BMP_UPDATE_FAILED = -22;

// Deletes the reboot counter when it exists (a boot that ended without the
// malfunction state).
void clear_reboot_counter();

// Enters the malfunction screen: counts this boot, powers off on the sixth
// consecutive malfunction boot, else shows the picture in the device's
// language (English when there is none) for the given seconds. Returns
// after the wait, at once after a failure, or after the power-off request.
void show_malf(unsigned seconds);

// Shows the PNG picture centred on white on "/dev/fb0" and waits the given
// seconds: 0; SHOW_BMP_CANNOT_SHOW when the screen or the picture cannot be
// used; SHOW_BMP_UPDATE_FAILED when the update request failed (no wait).
int show_bmp(const char *path, unsigned seconds);

// The steps of show_malf, on the paths they are given.

// Counts one more malfunction boot in the counter file. When it already
// holds MALF_BOOT_LIMIT or more, deletes it and writes "o\n" to the sysrq
// trigger, which must exist on a procfs "/proc" (it is never created):
// true then, and no picture is to be shown. A counter that is not a
// regular file (a symbolic link included), unreadable as a number, or
// negative is left as it is.
bool count_malfunction_boot(const char *counter_path, const char *sysrq_path);

// The language of the settings file: the content of the first child of the
// first root child whose attribute "name" is "language" and that has a
// child; DEFAULT_LANGUAGE when there is none.
std::string read_language(const char *settings_path);
