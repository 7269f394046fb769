// The UBI control device "/dev/ubi_ctrl" and UBIFS mounts.
//
// Attaching an MTD device (UBI_IOCATT with its 24-byte request) is recorded
// in run/ubi and remembered for the boot in run/ubi-attached; attaching
// the same MTD device again answers EEXIST, as the kernel does. A UBIFS
// volume is a directory of the state, ubi/mtdN/NAME; mounting "ubiX:NAME"
// bind-mounts that directory on the target (inside the sandbox only).
//
// Faults: ubi.open[=ERRNO], ubi.attach[=ERRNO], ubifs.mount[=ERRNO]; the
// attach fault with EEXIST (17) attaches the device and answers EEXIST, as
// for a device the kernel attached before the request.
#include "sim/core/dispatch.h"
#include "sim/models/recording.h"

#include <sys/mount.h>

#include <cstdlib>
#include <sstream>

namespace ks_sim {
namespace {

constexpr unsigned long UBI_IOCATT = 0x40186f40;  // _IOW('o', 64, 24-byte request)
constexpr unsigned long UBI_IOCDET = 0x40046f41;  // _IOW('o', 65, int32_t)
constexpr int max_ubi_devices = 32;
constexpr int max_mtd_devices = 16;

struct attach_request {
    int32_t ubi_num;
    int32_t mtd_num;
    int32_t vid_hdr_offset;
    uint8_t reserved[12];
};
static_assert(sizeof(attach_request) == 24, "the kernel's attach request is 24 bytes");

// ubi number -> mtd number of this boot.
std::vector<std::pair<int, int>> attached()
{
    std::string text;
    std::vector<std::pair<int, int>> out;
    if (read_state(run_path("ubi-attached"), text) < 0)
        return out;
    std::istringstream in(text);
    int ubi, mtd;
    while (in >> ubi >> mtd)
        out.push_back({ubi, mtd});
    return out;
}

int save_attached(const std::vector<std::pair<int, int>> &list)
{
    std::string text;
    for (const auto &p : list)
        text += std::to_string(p.first) + " " + std::to_string(p.second) + "\n";
    return write_state(run_path("ubi-attached"), text);
}

void note(const std::string &line) { append_record(run_path("ubi"), line.data(), line.size()); }

int attach(attach_request *req)
{
    std::string what = "attach mtd=" + std::to_string(req->mtd_num) +
                       " ubi=" + std::to_string(req->ubi_num) +
                       " vid_hdr_offset=" + std::to_string(req->vid_hdr_offset);
    int r = 0;
    auto list = attached();
    long err = fault("ubi.attach");
    if (err && err != EEXIST) {
        r = -int(err);
    } else if (req->mtd_num < 0 || req->mtd_num >= max_mtd_devices ||
               req->ubi_num < -1 || req->ubi_num >= max_ubi_devices) {
        r = req->mtd_num < 0 || req->mtd_num >= max_mtd_devices ? -ENODEV : -EINVAL;
    } else {
        int ubi = req->ubi_num;
        for (const auto &p : list)
            if (p.second == req->mtd_num || p.first == ubi)
                r = -EEXIST;
        if (r == 0 && ubi < 0) {
            for (ubi = 0; ubi < max_ubi_devices; ubi++) {
                bool used = false;
                for (const auto &p : list)
                    used = used || p.first == ubi;
                if (!used)
                    break;
            }
            if (ubi == max_ubi_devices)
                r = -ENFILE;
        }
        if (r == 0) {
            list.push_back({ubi, req->mtd_num});
            r = save_attached(list);
            if (r == 0)
                req->ubi_num = ubi;  // the kernel hands the number back
        }
        // "Already attached": the kernel attached the device before this
        // request (from its command line, say); the request is refused,
        // the device is there all the same.
        if (err == EEXIST && r == 0)
            r = -EEXIST;
    }
    note(what + " -> " + std::to_string(r) + (r == 0 ? " (ubi" + std::to_string(req->ubi_num) + ")" : ""));
    return r;
}

int detach(int32_t ubi)
{
    auto list = attached();
    int r = -EINVAL;
    for (size_t i = 0; i < list.size(); i++)
        if (list[i].first == ubi) {
            list.erase(list.begin() + long(i));
            r = save_attached(list);
            break;
        }
    note("detach ubi=" + std::to_string(ubi) + " -> " + std::to_string(r));
    return r;
}

class ubi_ctrl_file : public open_file {
public:
    int ioctl(unsigned long request, void *arg) override
    {
        if (request == UBI_IOCATT)
            return arg ? attach(static_cast<attach_request *>(arg)) : -EFAULT;
        if (request == UBI_IOCDET)
            return arg ? detach(*static_cast<int32_t *>(arg)) : -EFAULT;
        return -ENOTTY;
    }
};

class ubi_ctrl_model : public model {
public:
    const char *name() const override { return "ubi"; }
    bool serves(std::string_view path) const override { return path == "/dev/ubi_ctrl"; }
    std::unique_ptr<open_file> open(const std::string &path, int, mode_t) override
    {
        if (!placeholder_exists(path)) {
            errno = ENOENT;
            return nullptr;
        }
        if (long err = fault("ubi.open")) {
            errno = int(err);
            return nullptr;
        }
        return std::make_unique<ubi_ctrl_file>();
    }
};

model_registration<ubi_ctrl_model> registration;

// The options UBIFS knows; any other makes the kernel refuse the mount.
bool ubifs_option_known(const std::string &opt)
{
    static const char *const plain[] = {"fast_unmount", "norm_unmount", "bulk_read",
                                        "no_bulk_read", "chk_data_crc", "no_chk_data_crc"};
    for (const char *p : plain)
        if (opt == p)
            return true;
    static const char *const valued[] = {"compr=", "auth_key=", "auth_hash_name=", "assert="};
    for (const char *v : valued)
        if (opt.compare(0, std::strlen(v), v) == 0)
            return true;
    return false;
}

int ubi_command(const std::vector<std::string> &, FILE *out)
{
    std::fputs(records_as_lines("ubi").c_str(), out);
    for (const auto &p : attached())
        std::fprintf(out, "attached: ubi%d on mtd%d\n", p.first, p.second);
    return 0;
}

int mounts_command(const std::vector<std::string> &, FILE *out)
{
    std::fputs(records_as_lines("mounts").c_str(), out);
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("ubi", "UBI attach requests and attached devices", ubi_command);
        register_command("mounts", "mounts and unmounts the program asked for", mounts_command);
    }
} command_reg;

}  // namespace

int ubifs_mount(const std::string &source, const std::string &target, unsigned long flags,
                const std::string &data)
{
    if (long err = fault("ubifs.mount"))
        return -int(err);
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find(',', start);
        if (end == std::string::npos)
            end = data.size();
        std::string opt = data.substr(start, end - start);
        if (!opt.empty() && !ubifs_option_known(opt))
            return -EINVAL;
        start = end + 1;
    }
    // "ubiX:NAME" or "ubi:NAME" (the first attached device).
    size_t colon = source.find(':');
    if (source.compare(0, 3, "ubi") != 0 || colon == std::string::npos || colon + 1 == source.size())
        return -EINVAL;
    std::string num = source.substr(3, colon - 3);
    std::string volume = source.substr(colon + 1);
    if (volume.find('/') != std::string::npos || volume == "." || volume == "..")
        return -EINVAL;
    auto list = attached();
    int mtd = -1;
    for (const auto &p : list)
        if (num.empty() ? mtd < 0 : p.first == std::atoi(num.c_str()))
            mtd = p.second;
    if (mtd < 0 || (!num.empty() && num.find_first_not_of("0123456789") != std::string::npos))
        return -ENODEV;
    std::string dir = state_path("ubi/mtd" + std::to_string(mtd) + "/" + volume);
    if (!placeholder_exists(dir))
        return -ENODEV;
    if (flags & MS_REMOUNT)
        return 0;
    if (real::mount(dir.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return -errno;
    unsigned long extra = flags & (MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME |
                                   MS_NODIRATIME);
    if (extra &&
        real::mount(nullptr, target.c_str(), nullptr, MS_REMOUNT | MS_BIND | extra, nullptr) != 0) {
        int e = errno;
        real::umount2(target.c_str(), MNT_DETACH);
        return -e;
    }
    return 0;
}

}  // namespace ks_sim
