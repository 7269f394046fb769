// Flash device access: the "config" partition's MTD device, its geometry,
// the division of its good erase blocks into areas, and reading, verified
// page writing and erasing through an area's table of erase blocks.
#include "cal/cal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <new>

namespace {

// The MTD requests as the kernel numbers them.
constexpr unsigned long REQ_MEMGETINFO = 0x80204D01;
constexpr unsigned long REQ_MEMERASE = 0x40084D02;
constexpr unsigned long REQ_MEMGETBADBLOCK = 0x40084D0B;
constexpr unsigned long REQ_OTPSELECT = 0x80044D0D;
constexpr unsigned long REQ_OTPLOCK = 0x800C4D10;
static_assert(REQ_MEMGETINFO == MEMGETINFO && REQ_MEMERASE == MEMERASE &&
                  REQ_MEMGETBADBLOCK == MEMGETBADBLOCK && REQ_OTPSELECT == OTPSELECT &&
                  REQ_OTPLOCK == OTPLOCK,
              "request numbers of the kernel");
static_assert(sizeof(cal_mtd_info) == sizeof(mtd_info_user), "MEMGETINFO record");

constexpr int otp_mode_user = 2;
constexpr uint32_t otp_lock_length = 0x5000;

const char *const partition_name = "config";

struct erase_request {
    uint32_t start;
    uint32_t length;
};
struct otp_request {
    uint32_t start;
    uint32_t length;
    uint32_t locked;
};

// Text of a transfer that ended short: the error when there was one.
const char *short_text(ssize_t r) { return r < 0 ? strerror(errno) : "short transfer"; }

// Finds the physical offset of a logical address; false when no erase
// block of the area holds it.
bool translate(const cal_context *ctx, const cal_area *area, uint32_t a, uint32_t *physical)
{
    for (uint32_t k = 0; k < area->block_count; k++) {
        const cal_block_map &m = area->blocks[k];
        if (m.logical <= a && a - m.logical < ctx->erase_size) {
            *physical = m.physical + (a - m.logical);
            return true;
        }
    }
    return false;
}

// OTP mode around one access to the OTP region. When the mode cannot be
// switched on, the access must not go ahead: its offsets would reach the
// normal flash, where the first configuration half lies.
struct otp_span {
    cal_context *ctx;
    bool on;
    bool failed = false;
    otp_span(cal_context *c, const cal_area *area) : ctx(c), on(c->otp && area->otp)
    {
        if (on && onen_set_otp_mode(ctx, 1) != 0) {
            on = false;
            failed = true;
        }
    }
    // A mode that cannot be switched off again leaves every later offset
    // in the OTP region: the context stops all flash access.
    ~otp_span()
    {
        if (on && onen_set_otp_mode(ctx, 0) != 0)
            ctx->io_failed = 1;
    }
    otp_span(const otp_span &) = delete;
    otp_span &operator=(const otp_span &) = delete;
};

void free_area_table(cal_area *area)
{
    free(area->blocks);
    area->blocks = nullptr;
    area->block_count = 0;
}

}  // namespace

extern "C" {

int cal_access_stopped(const cal_context *ctx)
{
    if (!ctx->io_failed)
        return 0;
    cal_error("flash access stopped: OTP mode could not be switched off");
    return 1;
}

int find_config_partition(char path[16])
{
    FILE *f = fopen("/proc/mtd", "r");
    if (!f) {
        cal_error("%s: %m", "/proc/mtd");
        return -1;
    }
    char line[128];
    int found = -1;
    while (found < 0 && fgets(line, sizeof line, f)) {
        unsigned number, size, erase;
        char name[sizeof line];
        if (sscanf(line, "mtd%u: %x %x \"%127[^\"]", &number, &size, &erase, name) != 4)
            continue;
        if (strcmp(name, partition_name) != 0)
            continue;
        char buf[32];
        int n = snprintf(buf, sizeof buf, "/dev/mtd%u", number);
        if (n > 0 && n <= 15) {
            memcpy(path, buf, size_t(n) + 1);
            found = 0;
        }
    }
    fclose(f);
    if (found < 0)
        cal_error("Partition '%s' not found", partition_name);
    return found;
}

int open_config_device(cal_context *ctx, int read_only)
{
    char path[16];
    if (find_config_partition(path) != 0)
        return -1;
    int fd = open(path, (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (fd < 0) {
        cal_error("open(%s): %s", path, strerror(errno));
        return -1;
    }
    int r;
    do
        r = flock(fd, LOCK_EX);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        cal_error("flock(): %s", strerror(errno));
        close(fd);
        return -1;
    }
    auto fail = [fd]() {
        flock(fd, LOCK_UN);
        close(fd);
        return -1;
    };
    cal_mtd_info info;
    memset(&info, 0, sizeof info);
    if (ioctl(fd, REQ_MEMGETINFO, &info) != 0) {
        cal_error("MEMGETINFO: %s", strerror(errno));
        return fail();
    }
    if (info.type != MTD_NANDFLASH) {
        cal_error("Only NAND devices supported");
        return fail();
    }
    // Every later step divides by these sizes and writes whole pages of an
    // erase block.
    if (info.writesize == 0 || info.erasesize == 0 || info.erasesize % info.writesize != 0) {
        cal_error("invalid flash geometry: erase size %u, write size %u", info.erasesize,
                  info.writesize);
        return fail();
    }
    ctx->fd = fd;
    ctx->info = info;
    ctx->page_size = info.writesize;
    ctx->erase_size = info.erasesize;
    cal_debug(1, "Eraseblock size %u kB, Write size %u b", ctx->erase_size / 1024,
              ctx->page_size);
    int mode = otp_mode_user;
    if (ioctl(fd, REQ_OTPSELECT, &mode) != 0) {
        ctx->otp = 0;
        // Only a refusal of the request says the flash has no OTP region;
        // any other failure leaves that unknown, and write-once writes,
        // which would go to the wrong place, are refused.
        if (errno != EOPNOTSUPP && errno != ENOTTY && errno != EINVAL) {
            cal_error("OTP probe failed: %s", strerror(errno));
            ctx->otp_unknown = 1;
        }
        return 0;
    }
    ctx->otp = 1;
    mode = 0;
    if (ioctl(fd, REQ_OTPSELECT, &mode) != 0) {
        cal_error("Could not disable OTP mode after probe");
        ctx->fd = -1;
        return fail();
    }
    return 0;
}

void close_config_device(cal_context *ctx)
{
    if (ctx->fd < 0)
        return;
    flock(ctx->fd, LOCK_UN);
    close(ctx->fd);
    ctx->fd = -1;
}

int is_bad_block(cal_context *ctx, uint64_t offset)
{
    int64_t off = int64_t(offset);
    int r = ioctl(ctx->fd, REQ_MEMGETBADBLOCK, &off);
    if (r < 0) {
        perror("MEMGETBADBLOCK");
        return -1;
    }
    return r;
}

int map_area_blocks(cal_context *ctx, cal_area *area, uint32_t count, uint64_t *offset)
{
    uint64_t p = *offset;
    for (uint32_t k = 0; k < count; k++) {
        for (;;) {
            // Never map past the partition, whatever the queries said.
            if (p + ctx->erase_size > ctx->info.size)
                return -1;
            int bad = is_bad_block(ctx, p);
            if (bad < 0)
                return -1;
            if (bad == 0)
                break;
            cal_debug(2, "bad erase block at 0x%08x", uint32_t(p));
            p += ctx->erase_size;
        }
        area->blocks[k].logical = k * ctx->erase_size;
        area->blocks[k].physical = uint32_t(p);
        cal_debug(2, "erase block at 0x%08x mapping to %s %08x", uint32_t(p), area->name,
                  k * ctx->erase_size);
        p += ctx->erase_size;
    }
    *offset = p;
    return 0;
}

int scan_erase_blocks(cal_context *ctx)
{
    uint32_t count = ctx->info.size / ctx->erase_size;
    if (count < 1) {
        cal_error("need at least three good erase blocks");
        return -1;
    }
    uint32_t good = 0;
    for (uint32_t i = 0; i < count; i++) {
        int bad = is_bad_block(ctx, uint64_t(i) * ctx->erase_size);
        if (bad < 0)
            return -1;
        if (bad == 0)
            good++;
    }
    uint32_t n = good / 3;
    if (n < 1) {
        cal_error("need at least three good erase blocks");
        return -1;
    }
    cal_area *areas[] = {&ctx->config[0], &ctx->config[1], &ctx->user};
    auto free_all = [ctx]() {
        free_area_table(&ctx->config[0]);
        free_area_table(&ctx->config[1]);
        free_area_table(&ctx->user);
        free_area_table(&ctx->wp);
        return -1;
    };
    for (cal_area *a : areas) {
        a->blocks = static_cast<cal_block_map *>(calloc(n, sizeof(cal_block_map)));
        if (!a->blocks) {
            cal_error("scan_erase_blocks: malloc");
            return free_all();
        }
        a->block_count = n;
    }
    if (ctx->otp) {
        ctx->wp.blocks = static_cast<cal_block_map *>(calloc(1, sizeof(cal_block_map)));
        if (!ctx->wp.blocks) {
            cal_error("scan_erase_blocks: malloc");
            return free_all();
        }
        ctx->wp.block_count = 1;
        ctx->wp.otp = 1;
    }
    uint64_t p = 0;
    for (cal_area *a : areas)
        if (map_area_blocks(ctx, a, n, &p) != 0)
            return free_all();
    return 0;
}

uint32_t cal_area_size(const cal_context *ctx, const cal_area *area)
{
    return area->block_count * ctx->erase_size;
}

namespace {

int read_chunks(cal_context *ctx, cal_area *area, uint32_t address, void *buffer,
                uint32_t length)
{
    cal_debug(2, "cal_nand_read: %u bytes from %s addr 0x%08x%s", length, area->name, address,
              area->otp ? " OTP" : "");
    unsigned char *out = static_cast<unsigned char *>(buffer);
    uint32_t a = address;
    while (length > 0) {
        uint32_t chunk = ctx->erase_size - a % ctx->erase_size;
        if (chunk > length)
            chunk = length;
        uint32_t physical;
        if (!translate(ctx, area, a, &physical)) {
            cal_error("nand_read: invalid addr: 0x%08x", a);
            return -1;
        }
        cal_debug(2, "nand_read: %d bytes from 0x%08x", int(chunk), physical);
        if (lseek(ctx->fd, off_t(physical), SEEK_SET) < 0) {
            cal_error("nand_read: lseek %08x: %s", physical, strerror(errno));
            return -1;
        }
        ssize_t r = read(ctx->fd, out, chunk);
        if (r != ssize_t(chunk)) {
            cal_error("nand_read: read (%d bytes at %08x): %s", int(chunk), physical,
                      short_text(r));
            return -1;
        }
        a += chunk;
        out += chunk;
        length -= chunk;
    }
    return 0;
}

int write_pages(cal_context *ctx, cal_area *area, uint32_t address, const void *data,
                uint32_t length);

// One access to an area, in OTP mode for the OTP region: fails when the
// context has stopped its flash access, or stops it, failing, when the
// mode cannot be switched back.
extern "C++" template <typename Access>
int area_access(cal_context *ctx, cal_area *area, Access access)
{
    if (cal_access_stopped(ctx))
        return -1;
    int r;
    {
        otp_span otp(ctx, area);
        if (otp.failed)
            return -1;
        r = access();
    }
    return ctx->io_failed ? -1 : r;
}

}  // namespace

int cal_nand_read(cal_context *ctx, cal_area *area, uint32_t address, void *buffer,
                  uint32_t length)
{
    return area_access(ctx, area,
                       [&] { return read_chunks(ctx, area, address, buffer, length); });
}

int verify_write(int fd, uint32_t physical, const unsigned char *expected, uint32_t length)
{
    if (lseek(fd, off_t(physical), SEEK_SET) < 0) {
        cal_error("verify_write: lseek %08x: %s", physical, strerror(errno));
        return -1;
    }
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[length ? length : 1]);
    if (!buf) {
        cal_error("verify_write: malloc");
        return -1;
    }
    ssize_t r = read(fd, buf.get(), length);
    if (r != ssize_t(length)) {
        cal_error("verify_write: read (%d bytes at around %08x): %s", int(length), physical,
                  short_text(r));
        return -1;
    }
    for (uint32_t i = 0; i < length; i++)
        if (buf[i] != expected[i]) {
            cal_error("verify error at paddr 0x%08x: read 0x%02x, want 0x%02x", physical + i,
                      buf[i], expected[i]);
            return -1;
        }
    return 0;
}

int nand_write(cal_context *ctx, cal_area *area, uint32_t address, const void *data,
               uint32_t length)
{
    if (address % ctx->page_size != 0 || length % ctx->page_size != 0) {
        cal_error("nand_write: both addr and len must be aligned on page boundary (0x%08x, %d)",
                  address, int(length));
        return -1;
    }
    return area_access(ctx, area,
                       [&] { return write_pages(ctx, area, address, data, length); });
}

namespace {

int write_pages(cal_context *ctx, cal_area *area, uint32_t address, const void *data,
                uint32_t length)
{
    const unsigned char *in = static_cast<const unsigned char *>(data);
    uint32_t a = address;
    while (length > 0) {
        uint32_t chunk = ctx->erase_size - a % ctx->erase_size;
        if (chunk > length)
            chunk = length;
        uint32_t physical;
        if (!translate(ctx, area, a, &physical)) {
            cal_error("nand_write: invalid addr: 0x%08x", a);
            return -1;
        }
        cal_debug(2, "nand_write: %d bytes to 0x%08x", int(chunk), physical);
        for (uint32_t done = 0; done < chunk; done += ctx->page_size) {
            uint32_t page = physical + done;
            if (lseek(ctx->fd, off_t(page), SEEK_SET) < 0) {
                cal_error("nand_write: lseek %08x: %s", page, strerror(errno));
                return -1;
            }
            ssize_t r = write(ctx->fd, in + done, ctx->page_size);
            if (r != ssize_t(ctx->page_size)) {
                cal_error("nand_write: write (%d bytes at around %08x): %s", int(chunk), page,
                          short_text(r));
                return -1;
            }
            if (verify_write(ctx->fd, page, in + done, ctx->page_size) != 0)
                return -1;
        }
        a += chunk;
        in += chunk;
        length -= chunk;
    }
    return 0;
}

}  // namespace

int erase_area(cal_context *ctx, cal_area *area)
{
    if (cal_access_stopped(ctx))
        return -1;
    for (uint32_t k = 0; k < area->block_count; k++) {
        uint32_t physical = area->blocks[k].physical;
        cal_debug(1, "erasing block at 0x%08x", physical);
        erase_request req = {physical, ctx->erase_size};
        if (ioctl(ctx->fd, REQ_MEMERASE, &req) != 0) {
            cal_error("MEMERASE 0x%08x: %s", physical, strerror(errno));
            return -1;
        }
    }
    return 0;
}

int onen_set_otp_mode(cal_context *ctx, int on)
{
    int mode = on ? otp_mode_user : 0;
    if (ioctl(ctx->fd, REQ_OTPSELECT, &mode) != 0) {
        cal_error("onen_set_otp_mode: ioctl OTPSELECT");
        return -1;
    }
    return 0;
}

int lock_otp_region(cal_context *ctx)
{
    if (cal_access_stopped(ctx) || onen_set_otp_mode(ctx, 1) != 0)
        return -1;
    otp_request req = {0, otp_lock_length, 0};
    int r = ioctl(ctx->fd, REQ_OTPLOCK, &req);
    if (r < 0)
        cal_error("OTPLOCK: %s", strerror(errno));
    if (onen_set_otp_mode(ctx, 0) != 0) {
        ctx->io_failed = 1;
        return -1;
    }
    return r;
}

int cal_lock_wp_area(cal_context *ctx, int area_number)
{
    if (area_number != 2)
        return -1;
    return lock_otp_region(ctx);
}

}  // extern "C"
