#include "init/mounts.h"

#include "init/log.h"
#include "init/safe_open.h"
#include "support/tarvo_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

const mount_option mount_option_table[] = {
    {"defaults", 0, 0},
    {"ro", 0, 0x1},
    {"rw", 1, 0x1},
    {"suid", 1, 0x2},
    {"nosuid", 0, 0x2},
    {"dev", 1, 0x4},
    {"nodev", 0, 0x4},
    {"exec", 1, 0x8},
    {"noexec", 0, 0x8},
    {"sync", 0, 0x10},
    {"async", 1, 0x10},
    {"remount", 0, 0x20},
    {"mand", 0, 0x40},
    {"nomand", 1, 0x40},
    {"atime", 1, 0x400},
    {"noatime", 0, 0x400},
    {"diratime", 1, 0x800},
    {"nodiratime", 0, 0x800},
    {"bind", 0, 0x1000},
    {"auto", 0, 0},
    {"noauto", 0, 0},
    {"dirsync", 0, 0},
    {nullptr, 0, 0},
};

namespace {

// nosuid, nodev, noexec, noatime, nodiratime
constexpr unsigned long PSEUDO_FS_FLAGS = 0xc0e;
constexpr const char VAR_SOURCE[] = "ubi0:var";
constexpr const char VAR_TARGET[] = "/var";
constexpr const char VAR_DATA[] = "no_chk_data_crc,bulk_read";
constexpr const char UBI_CONTROL_PATH[] = "/dev/ubi_ctrl";
constexpr const char FSTAB_PATH[] = "/etc/fstab";
constexpr const char PARSE_FSTAB_SWITCH[] = "/etc/tarvo/parse_fstab";

// The largest "/etc/fstab" read.
constexpr uint64_t FSTAB_MAX = 64 * 1024;

int sysfs_mounted;
int securityfs_mounted;
int procfs_mounted;

struct pseudo_fs {
    const char *test_path;
    long magic;  // the file system's type, as statfs gives it
    const char *source;
    const char *target;
    const char *type;
    const char *failure;
    int *mounted;
};

const pseudo_fs PSEUDO_FILE_SYSTEMS[] = {
    {"/sys/kernel", SYSFS_MAGIC, "none", "/sys", "sysfs", "sysfs mount failed (%d)\n",
     &sysfs_mounted},
    {"/sys/kernel/security/keepstone", SECURITYFS_MAGIC, "securityfs", "/sys/kernel/security",
     "securityfs", "securityfs mount failed (%d)\n", &securityfs_mounted},
    {"/proc/cpuinfo", PROC_SUPER_MAGIC, "proc", "/proc", "proc", "procfs mount failed (%d)\n",
     &procfs_mounted},
};

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// Whether the path is there and lies on the file system of that type. A
// directory or file of the test path's name on another file system (the
// device's image, where the kernel's is not mounted) is not the kernel's.
bool on_file_system(const char *path, long magic)
{
    struct statfs fs;
    return statfs(path, &fs) == 0 && long(fs.f_type) == magic;
}

// Splits the line at its first three single blanks. Returns how many were
// found (0 to 3).
int split_fields(char *line, char *fields[4])
{
    fields[0] = line;
    int count = 0;
    for (char *p = line; *p && count < 3; p++) {
        if (*p == ' ') {
            *p = '\0';
            fields[++count] = p + 1;
        }
    }
    return count;
}

const mount_option *find_mount_option(const char *name, size_t length)
{
    for (const mount_option *o = mount_option_table; o->name; o++)
        if (strlen(o->name) == length && memcmp(o->name, name, length) == 0)
            return o;
    return nullptr;
}

int fstab_failure()
{
    log_trace("fstab parsing failed (%d)\n", -22);
    return -22;
}

// The fstab way of mount_var, on the text of the file.
int mount_var_line(char *text)
{
    char *source = nullptr;
    char *options = nullptr;
    if (find_var_line(text, &source, &options) != 0)
        return fstab_failure();
    if (!options)
        options = const_cast<char *>("");
    std::vector<char> data(strlen(options) + 1);
    unsigned long flags = 0;
    parse_mount_options(options, &flags, data.data());
    log_trace("Mount flags 0x%lx\n", flags);
    log_trace("Mount: %s %s %lx %s\n", source, VAR_TARGET, flags, data.data());
    int result = ubifs_mount(source, VAR_TARGET, flags, data.data());
    if (result == 0) {
        log_trace("Ubifs mounted (%d)\n", result);
        return 0;
    }
    log_trace("Ubifs mount failed - retry\n");
    result = ubifs_mount(VAR_SOURCE, VAR_TARGET, 0, VAR_DATA);
    if (result == 0) {
        log_trace("Ubifs mounted (%d)\n", result);
        return 0;
    }
    log_trace("Ubifs mount failed\n");
    return fstab_failure();
}

}  // namespace

int do_mounts()
{
    log_trace("do_mounts\n");
    for (const pseudo_fs &fs : PSEUDO_FILE_SYSTEMS) {
        if (on_file_system(fs.test_path, fs.magic))
            continue;
        int result = mount(fs.source, fs.target, fs.type, PSEUDO_FS_FLAGS, nullptr);
        if (result != 0)
            log_trace(fs.failure, result);
        else
            *fs.mounted = 1;
    }
    return 0;
}

int umount_all()
{
    if (procfs_mounted) {
        int result = umount("/proc");
        if (result != 0)
            log_trace("procfs umount failed (%d)\n", result);
    }
    if (securityfs_mounted) {
        int result = umount("/sys/kernel/security");
        if (result != 0)
            log_trace("securityfs umount failed (%d)\n", result);
    }
    if (sysfs_mounted) {
        int result = umount("/sys");
        if (result != 0)
            log_trace("sysfs umount failed (%d)\n", result);
    }
    return 0;
}

int ubifs_mount(const char *source, const char *target, unsigned long flags, const char *data)
{
    int fd = open_char_device(UBI_CONTROL_PATH, O_RDONLY);
    if (fd < 0) {
        log_error("cannot open %s\n", UBI_CONTROL_PATH);
        return -2;
    }
    ubi_attach_record request = {};
    request.ubi_num = -1;
    request.mtd_num = VAR_MTD_NUMBER;
    request.vid_hdr_offset = 0;
    int result = ioctl(fd, UBI_ATTACH_REQUEST, &request);
    // A partition that is attached already (by an earlier attempt or by the
    // kernel's command line) is answered with EEXIST; its volume can still
    // be mounted.
    if (result < 0 && errno != EEXIST) {
        log_error("ubi ioctl failed (%d)\n", result);
        close(fd);
        return -14;
    }
    close(fd);
    result = mount(source, target, "ubifs", flags, data);
    if (result != 0) {
        log_error("ubifs mount failed (%d,%s,%s,0x%lx,%s)\n", result, source, target, flags,
                  data);
        return -14;
    }
    return 0;
}

int find_var_line(char *text, char **source, char **options)
{
    char *line = text;
    while (*line) {
        char *end = strchr(line, '\n');
        char *next = end ? end + 1 : line + strlen(line);
        if (end)
            *end = '\0';
        char *fields[4] = {};
        int blanks = split_fields(line, fields);
        if (blanks < 2)
            return -22;
        if (strcmp(fields[1], "/var") == 0 && strcmp(fields[2], "ubifs") == 0) {
            *source = fields[0];
            *options = blanks == 3 ? fields[3] : nullptr;
            return 0;
        }
        line = next;
    }
    return -22;
}

void parse_mount_options(const char *options, unsigned long *flags, char *data)
{
    *flags = 0;
    size_t used = 0;
    data[0] = '\0';
    const char *p = options;
    for (;;) {
        const char *comma = strchr(p, ',');
        size_t length = comma ? size_t(comma - p) : strlen(p);
        if (length > 0) {
            const mount_option *o = find_mount_option(p, length);
            if (o) {
                if (o->clear)
                    *flags &= ~static_cast<unsigned long>(o->mask);
                else
                    *flags |= o->mask;
            } else {
                if (used > 0)
                    data[used++] = ',';
                memcpy(data + used, p, length);
                used += length;
                data[used] = '\0';
            }
        }
        if (!comma)
            break;
        p = comma + 1;
    }
}

int mount_var(int rd_mode)
{
    if (!rd_mode || !exists(PARSE_FSTAB_SWITCH))
        return ubifs_mount(VAR_SOURCE, VAR_TARGET, 0, VAR_DATA);

    int fd = open_regular_file(FSTAB_PATH);
    if (fd < 0) {
        log_error("Cannot open %s\n", FSTAB_PATH);
        return -2;
    }
    struct stat st;
    int result = fstat(fd, &st);
    if (result != 0) {
        close(fd);
        log_error("Cannot stat %s\n", FSTAB_PATH);
        return result;
    }
    if (st.st_size == 0) {
        close(fd);
        log_error("%s is empty\n", FSTAB_PATH);
        return -22;
    }
    // A file table of a few lines; anything far larger is no file table,
    // and would only take the memory the boot needs.
    if (uint64_t(st.st_size) > FSTAB_MAX) {
        close(fd);
        log_error("%s is larger than %u bytes\n", FSTAB_PATH, unsigned(FSTAB_MAX));
        return -12;
    }
    // Read once into memory of the boot's own (never mapped: a file
    // shortened meanwhile cannot fault the boot), ended after its last
    // byte, so a file without a final newline keeps its last character.
    size_t size = size_t(st.st_size);
    char *text = static_cast<char *>(malloc(size + 1));
    if (!text) {
        close(fd);
        log_error("Not enough memory to map %s\n", FSTAB_PATH);
        return -12;
    }
    size_t done = tarvo_read_fully(fd, text, size);
    close(fd);
    text[done] = '\0';
    if (done == 0) {
        free(text);
        log_error("%s is empty\n", FSTAB_PATH);
        return -22;
    }

    result = mount_var_line(text);

    free(text);
    return result;
}
