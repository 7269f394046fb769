#include "init/devices.h"

#include "init/log.h"
#include "init/safe_open.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>

namespace {

struct device_row {
    const char *node;
    const char *sysfs_dev;
    const char *failure;
};

const device_row DEVICES[] = {
    {"/dev/console", "/sys/devices/virtual/tty/console/dev", "%s creation failed (ignored)\n"},
    {"/dev/omap_sec", "/sys/devices/virtual/misc/omap_sec/dev", "%s creation failed\n"},
    {"/dev/ubi_ctrl", "/sys/devices/virtual/misc/ubi_ctrl/dev", "%s creation failed\n"},
    {"/dev/mtd4", "/sys/devices/platform/omap2-onenand/mtd/mtd4/dev", "%s creation failed\n"},
};

}  // namespace

int parse_device_numbers(const char *text, int *major_number, int *minor_number)
{
    int major_read = -1, minor_read = -1;
    char separator;
    if (sscanf(text, "%d%c%d", &major_read, &separator, &minor_read) != 3 || major_read < 0 ||
        minor_read < 0)
        return -1;
    *major_number = major_read;
    *minor_number = minor_read;
    return 0;
}

int create_device(const char *node, const char *sysfs_dev)
{
    struct stat st;
    if (stat("/dev", &st) != 0) {
        log_trace("/dev directory does not exist!\n");
        return -1;
    }
    if (stat(sysfs_dev, &st) != 0) {
        log_trace("%s does not exist!\n", sysfs_dev);
        return -2;
    }
    // lstat: a symbolic link, even to the right device, is not the node.
    struct stat node_st;
    bool node_exists = lstat(node, &node_st) == 0;
    if (node_exists)
        log_trace("%s found.\n", node);
    else
        log_trace("%s does not exist\n", node);

    // Only sysfs gives the kernel's numbers; a file of that name elsewhere
    // would choose the device the node leads to.
    FILE *f = fopen_kernel_file_for_reading(sysfs_dev, SYSFS_MAGIC);
    if (!f) {
        log_trace("Cannot open %s\n", sysfs_dev);
        return -5;
    }
    char text[64] = {};
    bool read_ok = fgets(text, sizeof text, f) != nullptr;
    fclose(f);
    int major_number, minor_number;
    if (!read_ok || parse_device_numbers(text, &major_number, &minor_number) != 0) {
        log_trace("Cannot read device numbers from %s\n", sysfs_dev);
        return -5;
    }
    dev_t wanted = makedev(unsigned(major_number), unsigned(minor_number));

    if (node_exists) {
        if (S_ISCHR(node_st.st_mode) && node_st.st_rdev == wanted)
            return 0;
        log_trace("Note: %s have incorrect device ID: 0x%llx vs 0x%llx\n", node,
                  (unsigned long long)node_st.st_rdev, (unsigned long long)wanted);
        int result = unlink(node);
        if (result != 0) {
            log_trace("Cannot remove %s (%d)\n", node, result);
            return -3;
        }
        log_trace("%s removed\n", node);
    }
    // Private to the owner whatever umask the program was started with.
    mode_t inherited = umask(0);
    int result = mknod(node, S_IFCHR | 0600, wanted);
    umask(inherited);
    if (result != 0) {
        log_trace("Cannot create %s (%d)\n", node, result);
        return -4;
    }
    log_trace("%s created\n", node);
    return 0;
}

int create_devices()
{
    log_trace("create_devices\n");
    int result = 0;
    for (const device_row &row : DEVICES) {
        result = create_device(row.node, row.sysfs_dev);
        if (result != 0)
            log_trace(row.failure, row.node);
    }
    return result;
}
