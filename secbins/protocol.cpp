// Device, last-error state and request framing of the hardware client.
#include "secbins/kz4_secbins.h"
#include "secbins/kz4_internal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

struct kz4_error kz4_last_error = {-1, -1, -1};
char *kz4_programid = nullptr;

namespace {

int device_fd = -1;
int flag = 0;

// One read of exactly n bytes, recording nothing: 0 or -1.
int read_quiet(void *buffer, size_t n)
{
    int saved = errno;
    ssize_t r = read(device_fd, buffer, n);
    errno = saved;
    return r >= 0 && size_t(r) == n ? 0 : -1;
}

}  // namespace

void kz4_clear_error(void)
{
    kz4_last_error.lib = -1;
    kz4_last_error.rom = -1;
    kz4_last_error.pa = -1;
}

void kz4_set_lib_error(int value)
{
    kz4_last_error.lib = value;
    errno = value;
}

int kz4_error_info(int *lib, int *rom, int *pa)
{
    if (lib)
        *lib = kz4_last_error.lib;
    if (rom)
        *rom = kz4_last_error.rom;
    if (pa)
        *pa = kz4_last_error.pa;
    bool none = kz4_last_error.lib == -1 && kz4_last_error.rom == -1 &&
                kz4_last_error.pa == -1;
    return none ? 0 : -1;
}

int kz4_close(void)
{
    if (device_fd != -1)
        close(device_fd);
    device_fd = -1;
    free(kz4_programid);
    kz4_programid = nullptr;
    return 0;
}

// Announces the program name to the secure side (service 2): the name and
// its terminating zero.
static int announce_name(const char *name)
{
    size_t len = strlen(name) + 1;
    if (len > UINT32_MAX)
        return -1;
    if (kz4_begin_request(KZ4_SERVICE_ANNOUNCE, uint32_t(len)) != 0)
        return -1;
    if (kz4_write_arg(name, uint32_t(len)) != 0)
        return -1;
    int r = kz4_read_status(KZ4_SERVICE_ANNOUNCE);
    kz4_end_request();
    return r;
}

int kz4_open(const char *program_name)
{
    kz4_clear_error();
    if (device_fd != -1)
        kz4_close();

    device_fd = open(KZ4_DEVICE_PATH, O_RDWR | O_NONBLOCK | O_NOFOLLOW);
    if (device_fd == -1) {
        // Open again without refusing a link, to tell a link from a device
        // that cannot be opened at all. Only ELOOP from the first open
        // means the path is a symbolic link.
        int first = errno;
        int fd = open(KZ4_DEVICE_PATH, O_RDWR | O_NONBLOCK);
        if (fd == -1)
            return -1;
        close(fd);
        errno = first;
        return first == ELOOP ? -2 : -1;
    }

    if (program_name == nullptr)
        return 0;
    if (announce_name(program_name) != 0) {
        int saved = errno;
        kz4_close();
        errno = saved;
        return -2;
    }
    return 0;
}

int kz4_begin_request(uint32_t service, uint32_t arg_length)
{
    int r = ioctl(device_fd, KZ4_IOCTL_SELECT, (unsigned long)service);
    if (r != 0)
        return r;
    return kz4_write_u32(arg_length);
}

int kz4_write_arg(const void *bytes, uint32_t n)
{
    if (bytes == nullptr) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    if (n == 0)
        return 0;
    ssize_t w = write(device_fd, bytes, n);
    if (w < 0 || size_t(w) != n) {
        // The device did not take the field whole; errno names the cause,
        // if any, and is left as the write set it.
        kz4_last_error.lib = 1;
        return -2;
    }
    return 0;
}

int kz4_write_u32(uint32_t value) { return kz4_write_arg(&value, sizeof value); }
int kz4_write_u16(uint16_t value) { return kz4_write_arg(&value, sizeof value); }
int kz4_write_u8(uint8_t value) { return kz4_write_arg(&value, sizeof value); }

int kz4_read_status(uint32_t service)
{
    // A status word of 0 is no error: the triple keeps recording only what
    // went wrong (and the mode), so that a successful request leaves it
    // all -1.
    uint32_t rom;
    if (kz4_read_u32(&rom) != 0)
        return -1;
    if (rom != 0)
        kz4_last_error.rom = int32_t(rom);

    if (rom != 0 && service != KZ4_SERVICE_MODE) {
        // The secure side still sends its second word; take it off the
        // response whatever becomes of it.
        uint32_t ignored;
        read_quiet(&ignored, sizeof ignored);
        return -2;
    }

    uint32_t second;
    if (kz4_read_u32(&second) != 0)
        return -3;
    if (service < 256)
        return service == KZ4_SERVICE_MODE ? int(rom) : 0;
    if (second == 0)
        return 0;
    kz4_last_error.pa = int32_t(second);
    return -4;
}

int kz4_read_result(void *buffer, uint32_t n)
{
    if (buffer == nullptr) {
        kz4_set_lib_error(EINVAL);
        return -1;
    }
    if (n == 0)
        return 0;
    ssize_t r = read(device_fd, buffer, n);
    if (r >= 0 && size_t(r) == n)
        return 0;
    // A device that has nothing more (EAGAIN) or returns fewer bytes
    // without an error gave a short response: EIO.
    int cause = EIO;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        cause = errno;
    kz4_set_lib_error(cause);
    return -2;
}

int kz4_read_u32(uint32_t *value) { return kz4_read_result(value, sizeof *value); }
int kz4_read_u16(uint16_t *value) { return kz4_read_result(value, sizeof *value); }
int kz4_read_u8(uint8_t *value) { return kz4_read_result(value, sizeof *value); }

int kz4_end_request(void)
{
    // The drain ends with a failing read (EAGAIN on an empty device); the
    // caller's errno keeps the cause of the request's own failure.
    int saved = errno;
    uint8_t piece[16];
    ssize_t r;
    do {
        r = read(device_fd, piece, sizeof piece);
    } while (r > 0);
    errno = saved;
    return int(r);
}

void *kz4_alloc(uint32_t size)
{
    // A zero-length result still gets a block of its own.
    return malloc(size ? size : 1);
}

void kz4_free(void *p) { free(p); }

void kz4_flag_set(void) { flag = 1; }
void kz4_flag_clear(void) { flag = 0; }
