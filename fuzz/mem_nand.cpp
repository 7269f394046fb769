// Both the plain and the 64-bit names of the calls are defined here.
#undef _FILE_OFFSET_BITS
#include "fuzz/mem_nand.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const char PROC_MTD[] = "/proc/mtd";
const char DEVICE[] = "/dev/mtd1";

struct flash_state {
    mem_nand::geometry geo{};
    std::vector<uint8_t> bytes;
    uint32_t bad = 0;
    unsigned cut_at = 0;  // operations until the power cut, 0 none
    mem_nand::cut_shape shape = mem_nand::first_bytes;
    uint32_t seed = 1;    // random bits of a cut
    bool off = false;
    int memfd = -1;       // identifies the descriptors opened on the device
    unsigned opens = 0;
    char table[160] = {};
} nand;

template <typename Fn> Fn next(const char *name)
{
    static_assert(sizeof(Fn) == sizeof(void *), "function pointer");
    void *p = dlsym(RTLD_NEXT, name);
    if (!p)
        abort();
    Fn fn;
    memcpy(&fn, &p, sizeof fn);
    return fn;
}

// The file positions of the descriptors opened on the device, by number.
constexpr int MAX_FD = 1024;
off_t positions[MAX_FD];
bool open_here[MAX_FD];

bool ours(int fd) { return fd >= 0 && fd < MAX_FD && open_here[fd]; }

bool bad_block(uint64_t offset) { return offset / nand.geo.erase < 32 && (nand.bad >> (offset / nand.geo.erase) & 1); }

// Counts one flash operation; true when it is the one the power cut stops.
bool cut_now()
{
    if (nand.cut_at == 0)
        return false;
    if (--nand.cut_at > 0)
        return false;
    nand.off = true;
    return true;
}

uint8_t random_byte()
{
    nand.seed ^= nand.seed << 13;
    nand.seed ^= nand.seed >> 17;
    nand.seed ^= nand.seed << 5;
    return uint8_t(nand.seed >> 8);
}

// Applies one cut operation to [at, at + n): the done half is the first
// or the last half of it; with random bits the rest gets some of what
// the operation was to do. apply(i, mask) does the operation to byte i
// with only the bits of mask.
template <typename Fn> void cut_operation(size_t n, Fn apply)
{
    const size_t half = n / 2;
    const bool last = nand.shape == mem_nand::last_bytes;
    for (size_t i = 0; i < n; i++) {
        const bool done = last ? i >= n - half : i < half;
        if (done)
            apply(i, uint8_t(0xFF));
        else if (nand.shape == mem_nand::random_bits)
            apply(i, random_byte());
    }
}

int fail(int e)
{
    errno = e;
    return -1;
}

ssize_t program(int fd, const void *buf, size_t n)
{
    uint64_t offset = uint64_t(positions[fd]);
    if (offset % nand.geo.page != 0 || n % nand.geo.page != 0 || offset + n > nand.bytes.size())
        return fail(EINVAL);
    const uint8_t *in = static_cast<const uint8_t *>(buf);
    for (size_t done = 0; done < n; done += nand.geo.page) {
        if (nand.off || bad_block(offset + done))
            return fail(EIO);
        uint8_t *page = nand.bytes.data() + offset + done;
        const uint8_t *data = in + done;
        if (cut_now())
            cut_operation(nand.geo.page, [&](size_t i, uint8_t mask) {
                page[i] &= uint8_t(data[i] | uint8_t(~mask));
            });
        else
            for (size_t i = 0; i < nand.geo.page; i++)
                page[i] &= data[i];
        if (nand.off)
            return fail(EIO);
    }
    positions[fd] = off_t(offset + n);
    return ssize_t(n);
}

int erase(const erase_info_user *req)
{
    if (req->start % nand.geo.erase != 0 || req->length % nand.geo.erase != 0 ||
        uint64_t(req->start) + req->length > nand.bytes.size())
        return fail(EINVAL);
    for (uint32_t b = 0; b < req->length; b += nand.geo.erase) {
        if (nand.off || bad_block(req->start + b))
            return fail(EIO);
        uint8_t *block = nand.bytes.data() + req->start + b;
        if (cut_now())
            cut_operation(nand.geo.erase, [&](size_t i, uint8_t mask) { block[i] |= mask; });
        else
            memset(block, 0xFF, nand.geo.erase);
        if (nand.off)
            return fail(EIO);
    }
    return 0;
}

int request(unsigned long req, void *arg)
{
    if (nand.off)
        return fail(EIO);
    switch (req) {
    case MEMGETINFO: {
        mtd_info_user info{};
        info.type = MTD_NANDFLASH;
        info.flags = MTD_CAP_NANDFLASH;
        info.size = uint32_t(nand.bytes.size());
        info.erasesize = nand.geo.erase;
        info.writesize = nand.geo.page;
        info.oobsize = 64;
        memcpy(arg, &info, sizeof info);
        return 0;
    }
    case MEMERASE:
        return erase(static_cast<const erase_info_user *>(arg));
    case MEMGETBADBLOCK: {
        int64_t offset;
        memcpy(&offset, arg, sizeof offset);
        if (offset < 0 || uint64_t(offset) >= nand.bytes.size())
            return fail(EINVAL);
        return bad_block(uint64_t(offset)) ? 1 : 0;
    }
    default:  // no OTP region, nothing else
        return fail(EOPNOTSUPP);
    }
}

// A descriptor of its own (for its number and its lock) on the memory
// file; its position is kept here.
int open_device(int)
{
    int fd = fcntl(nand.memfd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0)
        return -1;
    if (fd >= MAX_FD) {
        next<int (*)(int)>("close")(fd);
        return fail(EMFILE);
    }
    nand.opens++;
    open_here[fd] = true;
    positions[fd] = 0;
    return fd;
}

// open or open64 (the C library's name): the device, or the path.
int open_path(const char *name, const char *path, int flags, mode_t mode)
{
    if (strcmp(path, DEVICE) == 0 && nand.memfd >= 0)
        return open_device(flags);
    return next<int (*)(const char *, int, ...)>(name)(path, flags, mode);
}

off_t seek(int fd, off_t offset, int whence)
{
    off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? positions[fd]
               : whence == SEEK_END ? off_t(nand.bytes.size()) : -1;
    if (base < 0 || base + offset < 0)
        return fail(EINVAL);
    positions[fd] = base + offset;
    return positions[fd];
}

}  // namespace

namespace mem_nand {

void reset(const geometry &g, const uint8_t *image, size_t length, uint32_t bad)
{
    nand.geo = g;
    nand.bytes.assign(size_t(g.blocks) * g.erase, 0xFF);
    memcpy(nand.bytes.data(), image, length < nand.bytes.size() ? length : nand.bytes.size());
    nand.bad = bad;
    nand.cut_at = 0;
    nand.off = false;
    if (nand.memfd < 0)
        nand.memfd = memfd_create("nand", MFD_CLOEXEC);
    if (nand.memfd < 0)
        abort();
    snprintf(nand.table, sizeof nand.table,
             "dev:    size   erasesize  name\nmtd1: %08x %08x \"config\"\n",
             unsigned(nand.bytes.size()), unsigned(g.erase));
}

void arm_power_cut(unsigned n, cut_shape shape, uint32_t seed)
{
    nand.cut_at = n;
    nand.shape = shape;
    nand.seed = seed ? seed : 1;
}
bool powered_off() { return nand.off; }
void power_on()
{
    nand.cut_at = 0;
    nand.off = false;
}
unsigned opens() { return nand.opens; }
const std::string contents() { return std::string(nand.bytes.begin(), nand.bytes.end()); }

}  // namespace mem_nand

// The memory file holds no bytes itself: reads, writes, seeks and requests
// on a descriptor opened on the device are served from nand.bytes.
extern "C" {

FILE *fopen(const char *path, const char *mode)
{
    if (strcmp(path, PROC_MTD) == 0 && nand.memfd >= 0)
        return fmemopen(nand.table, strlen(nand.table), "r");
    return next<FILE *(*)(const char *, const char *)>("fopen")(path, mode);
}

FILE *fopen64(const char *path, const char *mode)
{
    if (strcmp(path, PROC_MTD) == 0 && nand.memfd >= 0)
        return fmemopen(nand.table, strlen(nand.table), "r");
    return next<FILE *(*)(const char *, const char *)>("fopen64")(path, mode);
}

int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_t(va_arg(ap, int));
    va_end(ap);
    return open_path("open", path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_t(va_arg(ap, int));
    va_end(ap);
    return open_path("open64", path, flags, mode);
}

ssize_t read(int fd, void *buf, size_t n)
{
    if (!ours(fd))
        return next<ssize_t (*)(int, void *, size_t)>("read")(fd, buf, n);
    if (nand.off)
        return fail(EIO);
    uint64_t offset = uint64_t(positions[fd]);
    if (offset >= nand.bytes.size())
        return 0;
    if (n > nand.bytes.size() - offset)
        n = size_t(nand.bytes.size() - offset);
    memcpy(buf, nand.bytes.data() + offset, n);
    positions[fd] = off_t(offset + n);
    return ssize_t(n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
    if (!ours(fd))
        return next<ssize_t (*)(int, const void *, size_t)>("write")(fd, buf, n);
    return program(fd, buf, n);
}

off_t lseek(int fd, off_t offset, int whence)
{
    if (!ours(fd))
        return next<off_t (*)(int, off_t, int)>("lseek")(fd, offset, whence);
    return seek(fd, offset, whence);
}

off64_t lseek64(int fd, off64_t offset, int whence)
{
    if (!ours(fd))
        return next<off64_t (*)(int, off64_t, int)>("lseek64")(fd, offset, whence);
    return seek(fd, off_t(offset), whence);
}

int close(int fd)
{
    if (ours(fd))
        open_here[fd] = false;
    return next<int (*)(int)>("close")(fd);
}

int ioctl(int fd, unsigned long req, ...)
{
    va_list ap;
    va_start(ap, req);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (!ours(fd))
        return next<int (*)(int, unsigned long, ...)>("ioctl")(fd, req, arg);
    return request(req, arg);
}

}  // extern "C"
