#include "init/malfunction.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "init/log.h"
#include "init/png_picture.h"
#include "init/safe_open.h"
#include "support/c_xmldoc.h"

namespace {

// The counter is the boot's own: never writable by others, whatever the
// umask.
constexpr mode_t COUNTER_MODE = 0644;

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

class unique_fd {
public:
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

class mapping {
public:
    mapping(void *addr, size_t length) : addr_(addr), length_(length) {}
    ~mapping()
    {
        if (addr_ != MAP_FAILED)
            munmap(addr_, length_);
    }
    mapping(const mapping &) = delete;
    mapping &operator=(const mapping &) = delete;
    bool ok() const { return addr_ != MAP_FAILED; }
    uint8_t *bytes() const { return static_cast<uint8_t *>(addr_); }

private:
    void *addr_;
    size_t length_;
};

// One "%d" number from the stream, as fscanf would scan it: 1 with the
// number, 0 when the text is no number, EOF when only white space is left.
// A number beyond the range of int is held as INT_MAX or -INT_MAX, so that
// a huge count still means power-off and a huge negative one stays negative.
int scan_count(FILE *stream, int *held)
{
    int c;
    do
        c = getc(stream);
    while (c != EOF && isspace(c));
    if (c == EOF)
        return EOF;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(stream);
    }
    if (c == EOF || !isdigit(c))
        return 0;
    int magnitude = 0;
    for (; c != EOF && isdigit(c); c = getc(stream)) {
        int digit = c - '0';
        magnitude = magnitude > (INT_MAX - digit) / 10 ? INT_MAX : magnitude * 10 + digit;
    }
    *held = negative ? -magnitude : magnitude;
    return 1;
}

// Deletes the counter and asks the kernel to power off. False when the
// request cannot be made (the counter is gone all the same), so that the
// picture is shown instead of nothing at all.
bool request_power_off(const char *counter_path, const char *sysrq_path)
{
    unlink(counter_path);
    sync();
    // Only the kernel's trigger may take the request: without a procfs on
    // "/proc" a file of that name is no trigger, and nothing is created.
    struct statfs proc;
    if (statfs("/proc", &proc) != 0 || proc.f_type != PROC_SUPER_MAGIC) {
        log_error("Cannot write %s\n", sysrq_path);
        return false;
    }
    int fd = open(sysrq_path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    FILE *trigger = fd < 0 ? nullptr : fdopen(fd, "w");
    if (!trigger) {
        if (fd >= 0)
            close(fd);
        log_error("Cannot open %s\n", sysrq_path);
        return false;
    }
    log_error("Power-off\n");
    bool written = fwrite("o\n", 1, 2, trigger) == 2;
    written = fclose(trigger) == 0 && written;
    if (!written)
        log_error("Cannot write %s\n", sysrq_path);
    return written;
}

void write_count(const char *counter_path, int count)
{
    struct stat st;
    if (lstat(counter_path, &st) == 0 && !S_ISREG(st.st_mode)) {
        log_error("not regular file %s\n", counter_path);
    } else if (FILE *stream = fcreate_regular_file(counter_path, COUNTER_MODE); !stream) {
        log_error("cannot open for writing %s\n", counter_path);
    } else {
        log_error("set reboot [%d/%d]\n", count, MALF_BOOT_LIMIT);
        // A count that does not reach the file would keep the device
        // showing the picture for ever instead of powering off.
        bool written = fprintf(stream, "%d\n", count) > 0;
        written = fflush(stream) == 0 && written;
        written = fclose(stream) == 0 && written;
        if (!written)
            log_error("cannot write %s\n", counter_path);
    }
    sync();
}

// The whole of a regular file, or as much of it as could be read; nothing
// for a file that cannot be opened or is no regular file.
// The largest settings file read: a few settings, far below what the boot
// may spend; a larger one is read as no file (the default language).
constexpr size_t SETTINGS_FILE_MAX = 1 << 20;

void read_settings_text(const char *path, std::string *text)
{
    int fd = open_regular_file(path);
    if (fd < 0)
        return;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (text->size() + size_t(n) > SETTINGS_FILE_MAX) {
            log_error("%s is larger than %u bytes\n", path, unsigned(SETTINGS_FILE_MAX));
            text->clear();
            break;
        }
        try {
            text->append(chunk, size_t(n));
        } catch (const std::bad_alloc &) {
            text->clear();
            break;
        }
    }
    close(fd);
}

// The content of the first child of the first root child named
// "language" that has a child, or null.
const char *find_language(const c_xmlnode *root)
{
    for (int i = 0; i < root->child_count(); i++) {
        const c_xmlnode *entry = root->child(unsigned(i));
        for (int a = 0; a < entry->attribute_count(); a++) {
            if (strcmp(entry->attribute_name(unsigned(a)), "name") == 0 &&
                strcmp(entry->attribute_value(unsigned(a)), "language") == 0 &&
                entry->child_count() > 0)
                return entry->child(0)->content();
        }
    }
    return nullptr;
}

}  // namespace

bool count_malfunction_boot(const char *counter_path, const char *sysrq_path)
{
    // lstat: a symbolic link in the counter's place is not the counter.
    struct stat st;
    if (lstat(counter_path, &st) != 0) {
        write_count(counter_path, 1);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        log_error("not regular file %s\n", counter_path);
        return false;
    }
    int stored = 0;
    if (file_ptr stream{fopen_regular_file(counter_path, O_NOFOLLOW)}; !stream) {
        log_error("cannot open %s\n", counter_path);
    } else if (int scanned = scan_count(stream.get(), &stored); scanned != 1) {
        log_error("reboot counter file corrupted (%d, %d)\n", scanned, stored);
        return false;
    }
    if (stored < 0)
        return false;
    // Compared before counting on, so that no stored value can wrap.
    if (stored >= MALF_BOOT_LIMIT)
        return request_power_off(counter_path, sysrq_path);
    write_count(counter_path, stored + 1);
    return false;
}

std::string read_language(const char *settings_path)
{
    struct stat st;
    if (int result = stat(settings_path, &st); result != 0) {
        log_error("gconffile %s NOT found (%d)\n", settings_path, result);
        return DEFAULT_LANGUAGE;
    }
    std::string language;
    bool found = false;
    {
        // Parsed from one private copy of the file, read without waiting.
        std::string text;
        read_settings_text(settings_path, &text);
        c_xmldoc settings;
        settings.parse_buffer(text.data(), text.size());
        if (const char *content = settings.root() ? find_language(settings.root()) : nullptr) {
            language = content;
            found = true;
        }
    }
    if (!found) {
        log_error("language is NOT set in gconf file\n");
        return DEFAULT_LANGUAGE;
    }
    log_trace("language is %s\n", language.c_str());
    return language;
}

void clear_reboot_counter()
{
    struct stat st;
    if (stat(REBOOT_COUNTER_PATH, &st) == 0)
        unlink(REBOOT_COUNTER_PATH);
}

void show_malf(unsigned seconds)
{
    log_error("show malf bitmap\n");
    if (count_malfunction_boot(REBOOT_COUNTER_PATH, SYSRQ_TRIGGER_PATH))
        return;
    std::string language = read_language(LANGUAGE_SETTINGS_PATH);

    std::string picture;
    try {
        picture.append(MALF_PICTURE_DIR).append("/malfNOK_").append(language).append(".png");
    } catch (const std::bad_alloc &) {
        log_error("malf filename malloc failed\n");
        return;
    }
    struct stat st;
    if (stat(picture.c_str(), &st) == 0) {
        show_bmp(picture.c_str(), seconds);
        return;
    }
    log_error("File %s not found\n", picture.c_str());
    if (stat(MALF_FALLBACK_PICTURE, &st) == 0) {
        show_bmp(MALF_FALLBACK_PICTURE, seconds);
        return;
    }
    log_error("File %s not found\n", MALF_FALLBACK_PICTURE);
}

namespace {

// Steps 4 to 7 of show_bmp: the picture read and converted, or the
// messages of its failure.
bool load_picture(const char *path, const fb_screen &screen, rgb565_picture *picture)
{
    file_ptr stream(fopen_regular_file(path));
    if (!stream) {
        log_error("Cannot open file %s\n", path);
        return false;
    }
    switch (read_png_picture(stream.get(), screen.xres, screen.yres, picture)) {
    case PNG_READ_OK:
        return true;
    case PNG_READ_NOT_PNG:
        log_error("%s is not PNG image\n", path);
        break;
    case PNG_READ_TOO_BIG:
        log_trace("PNG picture is bigger than screen (not shown)\nScreen resolution is: %dx%d\n",
                  screen.xres, screen.yres);
        break;
    case PNG_READ_BAD_PICTURE:
    case PNG_READ_NO_MEMORY:
        break;
    }
    return false;
}

}  // namespace

int show_bmp(const char *path, unsigned seconds)
{
    // Opened without waiting and kept from what the boot starts; the screen
    // information requests below refuse anything that is not a framebuffer
    // (a FIFO, a regular file or a terminal in its place).
    unique_fd fb(open(FRAMEBUFFER_PATH, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fb.get() < 0) {
        log_trace("Unable to open frame buffer device %s\n", FRAMEBUFFER_PATH);
        return SHOW_BMP_CANNOT_SHOW;
    }
    fb_var_screeninfo var;
    fb_fix_screeninfo fix;
    memset(&var, 0, sizeof var);
    memset(&fix, 0, sizeof fix);
    if (ioctl(fb.get(), FBIOGET_VSCREENINFO, &var) != 0 ||
        ioctl(fb.get(), FBIOGET_FSCREENINFO, &fix) != 0) {
        log_trace("Unable to get screen info via ioctl\n");
        return SHOW_BMP_CANNOT_SHOW;
    }
    fb_screen screen;
    screen.xres = var.xres;
    screen.yres = var.yres;
    screen.bits_per_pixel = var.bits_per_pixel;
    screen.line_length = fix.line_length;

    // Only 16-bit screens whose rows hold xres pixels can be drawn on; the
    // mapping's size must be representable here (32-bit size_t).
    if (screen.bits_per_pixel != 16 || uint64_t(screen.line_length) < uint64_t(screen.xres) * 2) {
        log_trace("Unsupported screen format: %u bits per pixel, line length %u\n",
                  screen.bits_per_pixel, screen.line_length);
        return SHOW_BMP_CANNOT_SHOW;
    }
    const uint64_t map_length = uint64_t(screen.yres) * screen.line_length;
    mapping memory(map_length <= SIZE_MAX
                       ? mmap(nullptr, size_t(map_length), PROT_READ | PROT_WRITE, MAP_SHARED,
                              fb.get(), 0)
                       : MAP_FAILED,
                   size_t(map_length));
    if (!memory.ok()) {
        log_trace("Unable to map memory for frame buffer\n");
        return SHOW_BMP_CANNOT_SHOW;
    }
    screen.memory = memory.bytes();

    rgb565_picture picture;
    if (!load_picture(path, screen, &picture)) {
        log_error("Cannot show MALF bitmap %s\n", path);
        return SHOW_BMP_CANNOT_SHOW;
    }

    log_trace("show_bmp: screen %u X %u, image %u X %u\n", screen.xres, screen.yres,
              picture.width, picture.height);
    log_trace("Show picture...\n");
    draw_picture(screen, picture);

    log_trace("Update window...\n");
    omapfb_update_window update;
    memset(&update, 0, sizeof update);
    update.width = screen.xres;
    update.height = screen.yres;
    if (ioctl(fb.get(), OMAPFB_UPDATE_WINDOW, &update) != 0) {
        log_trace("Updating screen failed\n");
        return SHOW_BMP_UPDATE_FAILED;
    }

    log_trace("Sleep...\n");
    // A signal may end the sleep early; the picture stays for the whole time.
    for (unsigned left = seconds; left > 0;)
        left = sleep(left);
    return 0;
}
