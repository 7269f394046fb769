// The simulated framebuffer "/dev/fb0" (see framebuffer.h).
#include "sim/models/framebuffer.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace ks_sim {

namespace {

// A fault's errno: its value, or the given default when it has none.
int fault_errno(const char *name, int otherwise)
{
    long v = fault(name);
    if (v == 0)
        return 0;
    return v > 1 ? int(v) : otherwise;
}

bool valid(const fb_geometry &g)
{
    return g.xres > 0 && g.yres > 0 && g.bits_per_pixel > 0 && g.bits_per_pixel % 8 == 0 &&
           uint64_t(g.line_length) * 8 >= uint64_t(g.xres) * g.bits_per_pixel &&
           uint64_t(g.line_length) * g.yres <= 0x7fffffffu;
}

// --- PNG encoding -----------------------------------------------------
// The simulator is preloaded into every program of the sandbox, so it
// links nothing beyond the C and C++ libraries: the picture is written
// with stored (uncompressed) deflate blocks, which every PNG reader takes.

uint32_t crc32_update(uint32_t crc, const uint8_t *p, size_t n)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    while (n--)
        crc = table[(crc ^ *p++) & 0xff] ^ (crc >> 8);
    return ~crc;
}

void put_be32(std::string &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char((v >> shift) & 0xff));
}

void put_chunk(std::string &out, const char type[4], const std::string &data)
{
    put_be32(out, uint32_t(data.size()));
    size_t start = out.size();
    out.append(type, 4);
    out += data;
    put_be32(out, crc32_update(0, reinterpret_cast<const uint8_t *>(out.data() + start),
                               out.size() - start));
}

std::string zlib_stored(const std::string &raw)
{
    std::string z("\x78\x01", 2);
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(raw.size() - pos, 65535);
        bool last = pos + n == raw.size();
        z.push_back(char(last ? 1 : 0));
        z.push_back(char(n & 0xff));
        z.push_back(char(n >> 8));
        z.push_back(char(~n & 0xff));
        z.push_back(char((~n >> 8) & 0xff));
        z.append(raw, pos, n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put_be32(z, (b << 16) | a);
    return z;
}

// --- The device -------------------------------------------------------

class fb_file : public open_file {
public:
    fb_file(const fb_geometry &g, int memory_fd) : geometry_(g), memory_fd_(memory_fd) {}
    ~fb_file() override { ::close(memory_fd_); }

    int ioctl(unsigned long request, void *arg) override
    {
        if (request != FBIOGET_VSCREENINFO && request != FBIOGET_FSCREENINFO &&
            request != FB_UPDATE_WINDOW_REQUEST)
            return -ENOTTY;
        if (!arg)
            return -EFAULT;
        if (request == FB_UPDATE_WINDOW_REQUEST)
            return update(arg);
        if (int e = fault_errno("fb0.screeninfo", EINVAL))
            return -e;
        if (request == FBIOGET_VSCREENINFO) {
            fb_var_screeninfo var;
            memset(&var, 0, sizeof var);
            var.xres = var.xres_virtual = geometry_.xres;
            var.yres = var.yres_virtual = geometry_.yres;
            var.bits_per_pixel = geometry_.bits_per_pixel;
            if (geometry_.bits_per_pixel == 16) {
                var.red = {11, 5, 0};
                var.green = {5, 6, 0};
                var.blue = {0, 5, 0};
            }
            memcpy(arg, &var, sizeof var);
        } else {
            fb_fix_screeninfo fix;
            memset(&fix, 0, sizeof fix);
            static const char id[] = "ks-sim fb";
            static_assert(sizeof id <= sizeof fix.id, "fits the id field");
            memcpy(fix.id, id, sizeof id);
            fix.smem_len = geometry_.yres * geometry_.line_length;
            fix.type = FB_TYPE_PACKED_PIXELS;
            fix.visual = FB_VISUAL_TRUECOLOR;
            fix.line_length = geometry_.line_length;
            memcpy(arg, &fix, sizeof fix);
        }
        return 0;
    }

    int backing_fd() const override { return memory_fd_; }

private:
    int update(const void *arg)
    {
        uint32_t f[FB_UPDATE_RECORD_SIZE / 4];
        memcpy(f, arg, sizeof f);
        int32_t answer = 0;
        const uint32_t x = f[0], y = f[1], width = f[2], height = f[3];
        if (width == 0 || height == 0 || x > geometry_.xres || width > geometry_.xres - x ||
            y > geometry_.yres || height > geometry_.yres - y)
            answer = -EINVAL;
        else if (int e = fault_errno("fb0.update", EIO))
            answer = -e;
        std::string rec(reinterpret_cast<const char *>(f), sizeof f);
        rec.append(reinterpret_cast<const char *>(&answer), sizeof answer);
        append_record(run_path(FB_UPDATES_RUN), rec.data(), rec.size());
        if (answer == 0 && geometry_.bits_per_pixel == 16) {
            std::string memory = fb_memory();
            if (memory.size() >= size_t(geometry_.yres) * geometry_.line_length)
                write_state(FB_PICTURE_STATE,
                            fb_encode_png(reinterpret_cast<const uint8_t *>(memory.data()),
                                          geometry_));
        }
        return answer;
    }

    fb_geometry geometry_;
    int memory_fd_;
};

class framebuffer_model : public model {
public:
    const char *name() const override { return "fb0"; }
    bool serves(std::string_view path) const override { return path == FB_DEVICE; }

    std::unique_ptr<open_file> open(const std::string &, int, mode_t) override
    {
        if (int e = fault_errno("fb0.open", ENODEV)) {
            errno = e;
            return nullptr;
        }
        fb_geometry g = fb_read_geometry();
        const off_t size = off_t(g.yres) * g.line_length;
        ::mkdir(state_dir().c_str(), 0755);
        ::mkdir(run_path("").c_str(), 0755);
        int fd = ::open(run_path(FB_MEMORY_RUN).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return nullptr;
        struct stat st;
        if (fstat(fd, &st) != 0 || (st.st_size != size && ftruncate(fd, size) != 0)) {
            int e = errno;
            ::close(fd);
            errno = e;
            return nullptr;
        }
        return std::make_unique<fb_file>(g, fd);
    }
};

model_registration<framebuffer_model> registration;

// ks-sim fb [geometry X Y [BPP [LINE]] | export FILE]
int fb_command(const std::vector<std::string> &args, FILE *out)
{
    if (args.size() >= 3 && args[0] == "geometry") {
        fb_geometry g;
        g.xres = uint32_t(strtoul(args[1].c_str(), nullptr, 10));
        g.yres = uint32_t(strtoul(args[2].c_str(), nullptr, 10));
        g.bits_per_pixel = args.size() > 3 ? uint32_t(strtoul(args[3].c_str(), nullptr, 10)) : 16;
        g.line_length = args.size() > 4 ? uint32_t(strtoul(args[4].c_str(), nullptr, 10)) : 0;
        int r = fb_write_geometry(g);
        if (r < 0)
            fprintf(out, "fb: cannot set the geometry: %s\n", strerror(-r));
        return r < 0 ? 1 : 0;
    }
    if (args.size() == 2 && args[0] == "export") {
        std::string png;
        if (int r = read_state(FB_PICTURE_STATE, png); r < 0) {
            fprintf(out, "fb: no picture on the screen yet: %s\n", strerror(-r));
            return 1;
        }
        FILE *f = fopen(args[1].c_str(), "wb");
        bool ok = f && fwrite(png.data(), 1, png.size(), f) == png.size();
        ok = f && fclose(f) == 0 && ok;
        if (!ok)
            fprintf(out, "fb: cannot write %s\n", args[1].c_str());
        return ok ? 0 : 1;
    }
    if (!args.empty()) {
        fprintf(out, "usage: fb [geometry XRES YRES [BPP [LINE_LENGTH]] | export FILE]\n");
        return 2;
    }
    fb_geometry g = fb_read_geometry();
    fprintf(out, "screen %ux%u, %u bits per pixel, line length %u\n", g.xres, g.yres,
            g.bits_per_pixel, g.line_length);
    for (const fb_update &u : fb_updates())
        fprintf(out,
                "update window x=%u y=%u width=%u height=%u format=%u out=%u,%u,%u,%u"
                " -> %d\n",
                u.fields[0], u.fields[1], u.fields[2], u.fields[3], u.fields[4], u.fields[5],
                u.fields[6], u.fields[7], u.fields[8], u.answer);
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("fb", "framebuffer: screen, updates; geometry X Y [BPP [LINE]]; "
                               "export FILE (PNG)",
                         fb_command);
    }
} command_registered;

}  // namespace

fb_geometry fb_read_geometry()
{
    fb_geometry g;
    std::string text;
    if (read_state(FB_GEOMETRY_STATE, text) < 0)
        return g;
    bool line_given = false;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        size_t eq = word.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = word.substr(0, eq);
        const uint32_t value = uint32_t(strtoul(word.c_str() + eq + 1, nullptr, 10));
        if (key == "xres")
            g.xres = value;
        else if (key == "yres")
            g.yres = value;
        else if (key == "bits_per_pixel")
            g.bits_per_pixel = value;
        else if (key == "line_length")
            g.line_length = value, line_given = true;
    }
    if (!line_given)
        g.line_length = uint32_t(uint64_t(g.xres) * g.bits_per_pixel / 8);
    return valid(g) ? g : fb_geometry();
}

int fb_write_geometry(const fb_geometry &geometry)
{
    fb_geometry g = geometry;
    if (g.line_length == 0)
        g.line_length = uint32_t(uint64_t(g.xres) * g.bits_per_pixel / 8);
    if (!valid(g))
        return -EINVAL;
    char text[160];
    snprintf(text, sizeof text, "xres=%u yres=%u bits_per_pixel=%u line_length=%u\n", g.xres,
             g.yres, g.bits_per_pixel, g.line_length);
    return write_state(FB_GEOMETRY_STATE, text);
}

std::string fb_encode_png(const uint8_t *memory, const fb_geometry &g)
{
    std::string raw;
    raw.reserve(size_t(g.yres) * (size_t(g.xres) * 3 + 1));
    for (uint32_t y = 0; y < g.yres; y++) {
        raw.push_back('\0');  // filter: none
        const uint8_t *row = memory + size_t(y) * g.line_length;
        for (uint32_t x = 0; x < g.xres; x++) {
            uint16_t v;
            memcpy(&v, row + size_t(x) * 2, 2);
            const unsigned r = v >> 11, gr = (v >> 5) & 0x3f, b = v & 0x1f;
            raw.push_back(char((r << 3) | (r >> 2)));
            raw.push_back(char((gr << 2) | (gr >> 4)));
            raw.push_back(char((b << 3) | (b >> 2)));
        }
    }
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    put_be32(ihdr, g.xres);
    put_be32(ihdr, g.yres);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
    put_chunk(png, "IHDR", ihdr);
    put_chunk(png, "IDAT", zlib_stored(raw));
    put_chunk(png, "IEND", std::string());
    return png;
}

std::vector<fb_update> fb_updates()
{
    std::vector<std::string> records;
    std::vector<fb_update> updates;
    read_records(run_path(FB_UPDATES_RUN), records);
    for (const std::string &rec : records) {
        if (rec.size() != sizeof(fb_update::fields) + sizeof(int32_t))
            continue;
        fb_update u;
        memcpy(u.fields, rec.data(), sizeof u.fields);
        memcpy(&u.answer, rec.data() + sizeof u.fields, sizeof u.answer);
        updates.push_back(u);
    }
    return updates;
}

std::string fb_memory()
{
    std::string memory;
    read_state(run_path(FB_MEMORY_RUN), memory);
    return memory;
}

}  // namespace ks_sim
