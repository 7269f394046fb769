// Small files that hold one number: the switch and value files under
// "/etc/tarvo" are read, the kernel integrity module's mask files written.
#pragma once

#include <cstddef>

// Writes length bytes to an existing kernel file, truncating it and never
// creating it. 0; -2 the file cannot be opened; -5 the file did not take
// them whole, also when it refuses them only when they are flushed or the
// file closed.
int write_kernel_file(const char *path, const void *data, size_t length);

// Writes value as "%x\n" (write_hex_value) or "%d\n" (write_int_value)
// with write_kernel_file. 0; -22 the value cannot be formatted; -2 and -5
// as write_kernel_file.
int write_hex_value(const char *path, int value);
int write_int_value(const char *path, int value);

// Reads one hexadecimal (read_hex_value, "0x" accepted) or decimal number
// from the start of a regular file, leading white space skipped and the
// rest ignored. 0 with *value set; -1 when the file cannot be opened, is
// not a regular file or does not start with a number (*value untouched).
int read_hex_value(const char *path, int *value);
int read_int_value(const char *path, int *value);

// The number at the start of text by the rule of read_hex_value (base 16)
// or read_int_value (base 10). A number beyond 32 bits saturates the way a
// 32-bit C library's conversion does, so every build reads a file alike:
// hexadecimal to 0xffffffff, decimal to INT_MIN or INT_MAX; a minus sign
// before a hexadecimal number negates it modulo 2^32. 0 or -1.
int parse_value_text(const char *text, int base, int *value);

// Reads "enable" and "enforce" under directory (joined as "%s/%s") as
// hexadecimal values; a file that cannot be read leaves its value as
// preset. 0, or -12 without memory for the paths.
int load_keepstone_rd_config(const char *directory, int *enable, int *enforce);
