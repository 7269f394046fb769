// Character device nodes that the boot program needs, made from the
// numbers that sysfs publishes.
#pragma once

// Makes node a character device with the numbers of the sysfs "dev" file,
// unless it is one already. 0; -1 no "/dev"; -2 no sysfs file; -3 a wrong
// node cannot be removed; -4 the node cannot be created; -5 the sysfs file
// cannot be opened or does not hold two numbers.
int create_device(const char *node, const char *sysfs_dev);

// Creates "/dev/console", "/dev/omap_sec", "/dev/ubi_ctrl" and "/dev/mtd4"
// in that order. Returns the result for "/dev/mtd4".
int create_devices();

// Reads "major<any one character>minor" from the start of text. 0 with
// both numbers set, -1 when the text does not hold two numbers of 0 or
// more.
int parse_device_numbers(const char *text, int *major_number, int *minor_number);
