// The NAND flash of the simulated device (see mtd.h).
#include "sim/models/mtd.h"

#include "sim/models/recording.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace ks_sim {

namespace {

constexpr uint32_t default_erase = 0x20000;
constexpr uint32_t default_page = 0x800;

const std::vector<mtd_partition> &default_partitions()
{
    static const std::vector<mtd_partition> parts = {
        {0, "bootloader", 0x00080000, default_erase, default_page, 0},
        {1, "config", 0x00180000, default_erase, default_page, default_erase},
        {2, "kernel", 0x00200000, default_erase, default_page, 0},
        {3, "initfs", 0x00200000, default_erase, default_page, 0},
        {4, "rootfs", 0x0f000000, default_erase, default_page, 0},
    };
    return parts;
}

// A fault's errno: its value, or the given default when it has none.
int fault_errno(const char *name, int otherwise)
{
    long v = fault(name);
    if (v == 0)
        return 0;
    return v > 1 ? int(v) : otherwise;
}

std::string image_name(unsigned number, bool otp)
{
    return "mtd/mtd" + std::to_string(number) + (otp ? ".otp" : ".img");
}

struct fd_closer {
    int fd;
    ~fd_closer()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Opens (creating) a flash image under an exclusive lock held until the
// descriptor is closed.
int open_image(unsigned number, bool otp)
{
    ::mkdir(state_dir().c_str(), 0755);
    ::mkdir(state_path("mtd").c_str(), 0755);
    int fd = ::open(state_path(image_name(number, otp)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                    0644);
    if (fd < 0)
        return -errno;
    if (flock(fd, LOCK_EX) != 0) {
        int e = errno;
        ::close(fd);
        return -e;
    }
    return fd;
}

// Reads flash bytes; the part past the end of the image file is erased.
int image_read(int fd, uint64_t offset, uint8_t *buf, size_t len)
{
    std::memset(buf, 0xff, len);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, buf + done, len - done, off_t(offset + done));
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        done += size_t(n);
    }
    if (done < len)
        std::memset(buf + done, 0xff, len - done);
    return 0;
}

int image_write(int fd, uint64_t offset, const uint8_t *buf, size_t len)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -errno;
    // A gap before the new bytes is erased flash.
    if (uint64_t(st.st_size) < offset) {
        std::string fill(size_t(offset - uint64_t(st.st_size)), '\xff');
        if (::pwrite(fd, fill.data(), fill.size(), st.st_size) != ssize_t(fill.size()))
            return -EIO;
    }
    if (::pwrite(fd, buf, len, off_t(offset)) != ssize_t(len))
        return -EIO;
    return 0;
}

bool power_off() { return ::access(run_path("mtd.off").c_str(), F_OK) == 0; }

// Counts one flash operation; returns how many bytes of it get through:
// all (SIZE_MAX) normally, fewer when this operation is the one cut short.
// Adds one to a counter of this boot (a file under "run/"); the new count,
// 0 when it cannot be kept.
long bump_boot_counter(const char *file)
{
    ::mkdir(run_path("").c_str(), 0755);
    int fd = ::open(run_path(file).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    fd_closer c{fd};
    flock(fd, LOCK_EX);
    char text[32] = {0};
    ssize_t r = ::pread(fd, text, sizeof text - 1, 0);
    long n = (r > 0 ? std::strtol(text, nullptr, 10) : 0) + 1;
    std::string s = std::to_string(n) + "\n";
    if (ftruncate(fd, 0) != 0 || ::pwrite(fd, s.data(), s.size(), 0) < 0)
        return 0;
    return n;
}

size_t count_operation(size_t whole)
{
    long n = bump_boot_counter("mtd.ops");
    long cut = fault("mtd.powercut");
    if (cut <= 0 || n != cut)
        return SIZE_MAX;
    long keep = fault("mtd.powercut.bytes");
    size_t k = keep > 0 ? std::min(size_t(keep), whole) : whole / 2;
    int fd = ::open(run_path("mtd.off").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
    return k;
}

// Counts one read request of a flash device and the bytes it returned
// ("run/mtd.reads": "CALLS BYTES").
void count_read(size_t bytes)
{
    ::mkdir(run_path("").c_str(), 0755);
    int fd = ::open(run_path("mtd.reads").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    fd_closer c{fd};
    flock(fd, LOCK_EX);
    char text[64] = {0};
    ssize_t r = ::pread(fd, text, sizeof text - 1, 0);
    long calls = 0, total = 0;
    if (r > 0)
        std::sscanf(text, "%ld %ld", &calls, &total);
    char out[64];
    int n = std::snprintf(out, sizeof out, "%ld %ld\n", calls + 1, total + long(bytes));
    // Same width or wider each time: no truncation needed.
    if (n > 0)
        (void)::pwrite(fd, out, size_t(n), 0);
}

// A small generator for the random bits of a cut operation, seeded by the
// fault's value and the operation's offset so that a run repeats.
struct cut_bits {
    uint64_t state;
    cut_bits(long seed, uint64_t offset) : state(uint64_t(seed) * 0x9E3779B97F4A7C15ull ^ offset)
    {
        if (state == 0)
            state = 1;
    }
    uint8_t next()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint8_t(state >> 24);
    }
};

const mtd_partition *find_partition(const std::vector<mtd_partition> &parts, unsigned number)
{
    for (const auto &p : parts)
        if (p.number == number)
            return &p;
    return nullptr;
}

bool parse_device_path(std::string_view path, unsigned *number)
{
    static const char prefix[] = "/dev/mtd";
    if (path.compare(0, sizeof prefix - 1, prefix) != 0 || path.size() == sizeof prefix - 1 ||
        path.size() > sizeof prefix + 2)
        return false;
    unsigned n = 0;
    for (size_t i = sizeof prefix - 1; i < path.size(); i++) {
        if (path[i] < '0' || path[i] > '9')
            return false;
        n = n * 10 + unsigned(path[i] - '0');
    }
    *number = n;
    return true;
}

class mtd_file : public open_file {
public:
    mtd_file(const mtd_partition &p, int flags) : part_(p), flags_(flags) {}

    ssize_t read(void *buf, size_t len) override
    {
        if (power_off())
            return -EIO;
        uint64_t end = region_size();
        if (pos_ >= end || len == 0)
            return 0;
        size_t n = size_t(std::min<uint64_t>(len, end - pos_));
        count_read(n);
        if (!otp_ && touches_unreadable_page(pos_, n))
            return -EBADMSG;
        int fd = open_image(part_.number, otp_);
        if (fd < 0)
            return fd;
        fd_closer c{fd};
        int r = image_read(fd, pos_, static_cast<uint8_t *>(buf), n);
        if (r < 0)
            return r;
        pos_ += n;
        return ssize_t(n);
    }

    ssize_t write(const void *buf, size_t len) override
    {
        if ((flags_ & O_ACCMODE) == O_RDONLY)
            return -EBADF;
        if (power_off())
            return -EIO;
        uint64_t end = region_size();
        if (pos_ >= end)
            return -ENOSPC;
        if (pos_ % part_.write_size != 0 || len % part_.write_size != 0)
            return -EINVAL;
        if (otp_ && ::access(lock_path().c_str(), F_OK) == 0)
            return -EROFS;
        size_t n = size_t(std::min<uint64_t>(len, end - pos_));
        auto bad = otp_ ? std::vector<uint32_t>{} : mtd_bad_blocks(part_.number);
        int fd = open_image(part_.number, otp_);
        if (fd < 0)
            return fd;
        fd_closer c{fd};
        const uint8_t *data = static_cast<const uint8_t *>(buf);
        std::vector<uint8_t> page(part_.write_size);
        for (size_t done = 0; done < n; done += part_.write_size) {
            uint64_t at = pos_ + done;
            if (power_off())
                return -EIO;
            if (std::find(bad.begin(), bad.end(), uint32_t(at / part_.erase_size)) != bad.end())
                return -EIO;
            size_t keep = count_operation(part_.write_size);
            size_t k = std::min<size_t>(keep, part_.write_size);
            int r = image_read(fd, at, page.data(), page.size());
            if (r < 0)
                return r;
            // The done part is the first k bytes, or with the cut shape
            // "last" the last k bytes of the page.
            const size_t w = part_.write_size;
            const bool last = k < w && fault("mtd.powercut.last") > 0;
            const size_t from = last ? w - k : 0, to = last ? w : k;
            for (size_t i = from; i < to; i++)
                page[i] &= data[done + i];
            // A cut program may leave the rest partly programmed: some of
            // the bits it was to clear are cleared, others are not.
            if (k < w)
                if (long seed = fault("mtd.powercut.random")) {
                    cut_bits bits(seed, at);
                    for (size_t i = 0; i < w; i++)
                        if (i < from || i >= to)
                            page[i] &= uint8_t(data[done + i] | bits.next());
                }
            r = image_write(fd, at, page.data(), page.size());
            if (r < 0)
                return r;
            if (k < part_.write_size)
                return -EIO;
        }
        pos_ += n;
        return ssize_t(n);
    }

    off_t lseek(off_t offset, int whence) override
    {
        int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? int64_t(pos_)
                       : whence == SEEK_END ? int64_t(region_size())
                                            : -1;
        if (base < 0 || base + offset < 0 || uint64_t(base + offset) > region_size())
            return -EINVAL;
        pos_ = uint64_t(base + offset);
        return off_t(pos_);
    }

    int ioctl(unsigned long request, void *arg) override
    {
        if (power_off())
            return -EIO;
        switch (request) {
        case MEMGETINFO:
            return get_info(static_cast<mtd_info_user *>(arg));
        case MEMERASE: {
            if (!arg)
                return -EFAULT;
            auto *e = static_cast<erase_info_user *>(arg);
            return erase(e->start, e->length);
        }
        case MEMERASE64: {
            if (!arg)
                return -EFAULT;
            auto *e = static_cast<erase_info_user64 *>(arg);
            return erase(e->start, e->length);
        }
        case MEMGETBADBLOCK: {
            if (!arg)
                return -EFAULT;
            if (int e = fault_errno("mtd.badblock", EIO))
                return -e;
            int64_t off;
            std::memcpy(&off, arg, sizeof off);
            if (off < 0 || uint64_t(off) >= part_.size)
                return -EINVAL;
            auto bad = mtd_bad_blocks(part_.number);
            return std::find(bad.begin(), bad.end(), uint32_t(off / part_.erase_size)) !=
                           bad.end()
                       ? 1
                       : 0;
        }
        case MEMSETBADBLOCK: {
            if (!arg)
                return -EFAULT;
            if ((flags_ & O_ACCMODE) == O_RDONLY)
                return -EBADF;
            int64_t off;
            std::memcpy(&off, arg, sizeof off);
            if (off < 0 || uint64_t(off) >= part_.size)
                return -EINVAL;
            return mtd_mark_bad(part_.number, uint32_t(off / part_.erase_size));
        }
        case OTPSELECT: {
            if (!arg)
                return -EFAULT;
            int mode;
            std::memcpy(&mode, arg, sizeof mode);
            if (int e = fault_errno("mtd.otpselect", EIO))
                return -e;
            if (mode == MTD_OTP_OFF) {
                if (int e = fault_errno("mtd.otpselect.off", EIO))
                    return -e;
                long nth = fault("mtd.otpselect.off.nth");
                if (nth > 0 && bump_boot_counter("mtd.otpoff") == nth)
                    return -EIO;
                otp_ = false;
            } else if (mode == MTD_OTP_USER) {
                if (part_.otp_size == 0)
                    return -EOPNOTSUPP;
                if (int e = fault_errno("mtd.otpselect.on", EIO))
                    return -e;
                long nth = fault("mtd.otpselect.on.nth");
                if (nth > 0 && bump_boot_counter("mtd.otpon") == nth)
                    return -EIO;
                otp_ = true;
            } else if (mode == MTD_OTP_FACTORY) {
                return -EOPNOTSUPP;
            } else {
                return -EINVAL;
            }
            pos_ = 0;
            return 0;
        }
        case OTPGETREGIONCOUNT: {
            if (!arg)
                return -EFAULT;
            if (!otp_)
                return -EINVAL;
            int count = 1;
            std::memcpy(arg, &count, sizeof count);
            return 0;
        }
        case OTPGETREGIONINFO: {
            if (!arg)
                return -EFAULT;
            if (!otp_)
                return -EINVAL;
            otp_info info = {0, part_.otp_size, ::access(lock_path().c_str(), F_OK) == 0};
            std::memcpy(arg, &info, sizeof info);
            return 0;
        }
        case OTPLOCK: {
            if (!arg)
                return -EFAULT;
            if (!otp_ || (flags_ & O_ACCMODE) == O_RDONLY)
                return -EINVAL;
            otp_info info;
            std::memcpy(&info, arg, sizeof info);
            if (info.length == 0 || info.start > part_.otp_size)
                return -EINVAL;
            int fd = ::open(lock_path().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0)
                return -errno;
            ::close(fd);
            return 0;
        }
        default:
            return -ENOTTY;
        }
    }

private:
    uint64_t region_size() const { return otp_ ? part_.otp_size : part_.size; }
    // Whether [at, at + n) touches the page armed as unreadable.
    bool touches_unreadable_page(uint64_t at, size_t n) const
    {
        long v = fault("mtd.unreadable");
        if (v <= 0 || n == 0)
            return false;
        uint64_t page = uint64_t(v) / part_.write_size * part_.write_size;
        return at < page + part_.write_size && page < at + n;
    }
    std::string lock_path() const
    {
        return state_path("mtd/mtd" + std::to_string(part_.number) + ".otplock");
    }

    int get_info(mtd_info_user *info)
    {
        if (!info)
            return -EFAULT;
        if (int e = fault_errno("mtd.getinfo", EIO))
            return -e;
        mtd_info_user out;
        std::memset(&out, 0, sizeof out);
        out.type = fault("mtd.nor") ? MTD_NORFLASH : MTD_NANDFLASH;
        out.flags = MTD_CAP_NANDFLASH;
        out.size = part_.size;
        out.erasesize = part_.erase_size;
        out.writesize = part_.write_size;
        out.oobsize = 64;
        std::memcpy(info, &out, sizeof out);
        return 0;
    }

    int erase(uint64_t start, uint64_t length)
    {
        if ((flags_ & O_ACCMODE) == O_RDONLY)
            return -EBADF;
        if (start % part_.erase_size != 0 || length % part_.erase_size != 0 || length == 0 ||
            start > part_.size || length > part_.size - start)
            return -EINVAL;
        auto bad = mtd_bad_blocks(part_.number);
        int fd = open_image(part_.number, false);
        if (fd < 0)
            return fd;
        fd_closer c{fd};
        std::vector<uint8_t> erased(part_.erase_size, 0xff);
        for (uint64_t at = start; at < start + length; at += part_.erase_size) {
            if (power_off())
                return -EIO;
            if (std::find(bad.begin(), bad.end(), uint32_t(at / part_.erase_size)) != bad.end())
                return -EIO;
            size_t keep = count_operation(part_.erase_size);
            size_t k = std::min<size_t>(keep, part_.erase_size);
            struct stat st;
            if (fstat(fd, &st) != 0)
                return -errno;
            // Nothing to do for flash that was never written.
            if (uint64_t(st.st_size) > at) {
                // The erased part is the start of the block, or with the
                // cut shape "last" its end.
                const bool last = k < part_.erase_size && fault("mtd.powercut.last") > 0;
                const uint64_t done_at = last ? at + part_.erase_size - k : at;
                const uint64_t rest_at = last ? at : at + k;
                int r = image_write(fd, done_at, erased.data(), k);
                if (r < 0)
                    return r;
                // A cut erase may leave the rest of the block with random
                // bits set: neither its old contents nor erased.
                long seed = fault("mtd.powercut.random");
                if (k < part_.erase_size && seed) {
                    std::vector<uint8_t> rest(part_.erase_size - k);
                    r = image_read(fd, rest_at, rest.data(), rest.size());
                    if (r < 0)
                        return r;
                    cut_bits bits(seed, at);
                    for (auto &b : rest)
                        b |= bits.next();
                    r = image_write(fd, rest_at, rest.data(), rest.size());
                    if (r < 0)
                        return r;
                }
            }
            if (k < part_.erase_size)
                return -EIO;
        }
        return 0;
    }

    mtd_partition part_;
    int flags_;
    uint64_t pos_ = 0;
    bool otp_ = false;
};

class mtd_model : public model {
public:
    const char *name() const override { return "mtd"; }
    bool serves(std::string_view path) const override
    {
        unsigned n;
        return path == "/proc/mtd" || parse_device_path(path, &n);
    }
    std::unique_ptr<open_file> open(const std::string &path, int flags, mode_t) override
    {
        if (path == "/proc/mtd") {
            if ((flags & O_ACCMODE) != O_RDONLY) {
                errno = EACCES;
                return nullptr;
            }
            return std::make_unique<recording_file>(run_path("mtd-proc-writes"),
                                                    mtd_proc_text());
        }
        unsigned n = 0;
        parse_device_path(path, &n);
        if (!placeholder_exists(path)) {
            errno = ENOENT;
            return nullptr;
        }
        return mtd_open_device(n, flags);
    }
};

model_registration<mtd_model> registration;

int parse_number(const std::string &s, uint32_t *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (s.empty() || *end || errno || v > 0xffffffffUL)
        return -EINVAL;
    *out = uint32_t(v);
    return 0;
}

int mtd_command(const std::vector<std::string> &args, FILE *out)
{
    uint32_t n = 0, a = 0, b = 0;
    if (args.empty()) {
        std::fputs(mtd_proc_text().c_str(), out);
        for (const auto &p : mtd_partitions()) {
            std::fprintf(out, "mtd%u: page %u, erase block %u, OTP %u, bad blocks:", p.number,
                         p.write_size, p.erase_size, p.otp_size);
            for (uint32_t blk : mtd_bad_blocks(p.number))
                std::fprintf(out, " %u", blk);
            std::fputc('\n', out);
        }
        mtd_read_count reads = mtd_reads();
        std::fprintf(out, "flash operations this boot: %ld%s; reads: %ld (%ld bytes)\n",
                     mtd_operations(), mtd_power_is_off() ? " (power cut)" : "", reads.calls,
                     reads.bytes);
        return 0;
    }
    if (args[0] == "bad" && args.size() == 3 && parse_number(args[1], &n) == 0 &&
        parse_number(args[2], &a) == 0) {
        int r = mtd_mark_bad(n, a);
        if (r < 0)
            std::fprintf(out, "cannot mark the block: %s\n", std::strerror(-r));
        return r < 0;
    }
    if (args[0] == "erase" && args.size() == 2 && parse_number(args[1], &n) == 0) {
        int r = mtd_erase_all(n);
        if (r < 0)
            std::fprintf(out, "cannot erase: %s\n", std::strerror(-r));
        return r < 0;
    }
    if (args[0] == "dump" && args.size() == 4 && parse_number(args[1], &n) == 0 &&
        parse_number(args[2], &a) == 0 && parse_number(args[3], &b) == 0) {
        std::string bytes;
        int r = mtd_read_flash(n, a, b, bytes);
        if (r < 0) {
            std::fprintf(out, "cannot read: %s\n", std::strerror(-r));
            return 1;
        }
        for (size_t i = 0; i < bytes.size(); i++)
            std::fprintf(out, "%s%02x%s", i % 16 == 0 ? "" : " ", unsigned(uint8_t(bytes[i])),
                         i % 16 == 15 || i + 1 == bytes.size() ? "\n" : "");
        return 0;
    }
    if (args[0] == "load" && (args.size() == 3 || args.size() == 4) &&
        parse_number(args[1], &n) == 0 && (args.size() == 3 || parse_number(args[3], &a) == 0)) {
        FILE *f = std::fopen(args[2].c_str(), "rb");
        if (!f) {
            std::fprintf(out, "cannot open %s: %s\n", args[2].c_str(), std::strerror(errno));
            return 1;
        }
        std::string bytes;
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
            bytes.append(buf, got);
        std::fclose(f);
        int r = mtd_poke_flash(n, a, bytes);
        if (r < 0)
            std::fprintf(out, "cannot write: %s\n", std::strerror(-r));
        return r < 0;
    }
    std::fprintf(out, "usage: mtd [bad N BLOCK | erase N | dump N OFFSET LENGTH |"
                      " load N FILE [OFFSET]]\n");
    return 2;
}

struct command_registration {
    command_registration()
    {
        register_command("mtd",
                         "[bad N BLOCK | erase N | dump N OFF LEN | load N FILE [OFF]]  the "
                         "NAND flash partitions",
                         mtd_command);
    }
} command_reg;

}  // namespace

std::vector<mtd_partition> mtd_partitions()
{
    std::string text;
    if (read_state("mtd.partitions", text) < 0)
        return default_partitions();
    std::vector<mtd_partition> parts;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string num, name, size, erase, write, otp;
        if (!(ls >> num >> name >> size >> erase >> write))
            continue;
        ls >> otp;
        mtd_partition p;
        uint32_t number;
        if (parse_number(num, &number) || parse_number(size, &p.size) ||
            parse_number(erase, &p.erase_size) || parse_number(write, &p.write_size) ||
            (!otp.empty() && parse_number(otp, &p.otp_size)))
            continue;
        if (p.erase_size == 0 || p.write_size == 0 || p.erase_size % p.write_size != 0 ||
            p.size % p.erase_size != 0)
            continue;
        p.number = number;
        p.name = name;
        parts.push_back(p);
    }
    return parts;
}

int mtd_write_partitions(const std::vector<mtd_partition> &parts)
{
    std::string text;
    for (const auto &p : parts) {
        char line[160];
        std::snprintf(line, sizeof line, "%u %s 0x%x 0x%x 0x%x 0x%x\n", p.number, p.name.c_str(),
                      p.size, p.erase_size, p.write_size, p.otp_size);
        text += line;
    }
    return write_state("mtd.partitions", text);
}

std::string mtd_proc_text()
{
    std::string text = "dev:    size   erasesize  name\n";
    for (const auto &p : mtd_partitions()) {
        char line[128];
        std::snprintf(line, sizeof line, "mtd%u: %08x %08x \"%s\"\n", p.number, p.size,
                      p.erase_size, p.name.c_str());
        text += line;
    }
    return text;
}

std::unique_ptr<open_file> mtd_open_device(unsigned number, int flags)
{
    auto parts = mtd_partitions();
    const mtd_partition *p = find_partition(parts, number);
    if (!p) {
        errno = ENXIO;
        return nullptr;
    }
    if (int e = fault_errno("mtd.open", EIO)) {
        errno = e;
        return nullptr;
    }
    return std::make_unique<mtd_file>(*p, flags);
}

std::vector<uint32_t> mtd_bad_blocks(unsigned number)
{
    std::string text;
    std::vector<uint32_t> out;
    if (read_state("mtd/mtd" + std::to_string(number) + ".bad", text) < 0)
        return out;
    std::istringstream in(text);
    uint32_t b;
    while (in >> b)
        out.push_back(b);
    return out;
}

int mtd_mark_bad(unsigned number, uint32_t block)
{
    auto bad = mtd_bad_blocks(number);
    if (std::find(bad.begin(), bad.end(), block) != bad.end())
        return 0;
    bad.push_back(block);
    std::string text;
    for (uint32_t b : bad)
        text += std::to_string(b) + "\n";
    ::mkdir(state_dir().c_str(), 0755);
    ::mkdir(state_path("mtd").c_str(), 0755);
    return write_state("mtd/mtd" + std::to_string(number) + ".bad", text);
}

int mtd_read_flash(unsigned number, uint32_t offset, uint32_t length, std::string &out, bool otp)
{
    int fd = open_image(number, otp);
    if (fd < 0)
        return fd;
    fd_closer c{fd};
    out.assign(length, '\xff');
    return image_read(fd, offset, reinterpret_cast<uint8_t *>(&out[0]), length);
}

int mtd_poke_flash(unsigned number, uint32_t offset, const std::string &bytes, bool otp)
{
    int fd = open_image(number, otp);
    if (fd < 0)
        return fd;
    fd_closer c{fd};
    return image_write(fd, offset, reinterpret_cast<const uint8_t *>(bytes.data()),
                       bytes.size());
}

int mtd_erase_all(unsigned number)
{
    for (bool otp : {false, true}) {
        int fd = open_image(number, otp);
        if (fd < 0)
            return fd;
        fd_closer c{fd};
        if (ftruncate(fd, 0) != 0)
            return -errno;
    }
    ::unlink(state_path("mtd/mtd" + std::to_string(number) + ".otplock").c_str());
    return 0;
}

long mtd_operations()
{
    std::string text;
    if (read_state(run_path("mtd.ops"), text) < 0)
        return 0;
    return std::strtol(text.c_str(), nullptr, 10);
}

bool mtd_power_is_off() { return power_off(); }

mtd_read_count mtd_reads()
{
    std::string text;
    mtd_read_count c;
    if (read_state(run_path("mtd.reads"), text) < 0)
        return c;
    std::sscanf(text.c_str(), "%ld %ld", &c.calls, &c.bytes);
    return c;
}

void mtd_power_cycle()
{
    ::unlink(run_path("mtd.off").c_str());
    ::unlink(run_path("mtd.ops").c_str());
    ::unlink(run_path("mtd.reads").c_str());
    ::unlink(run_path("mtd.otpoff").c_str());
    ::unlink(run_path("mtd.otpon").c_str());
}

}  // namespace ks_sim
