// The fstab "/var" line and its mount options; the mounts themselves run
// in the sandbox (mounts_sandbox_test.cpp).
#include "init/mounts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(MountOptions, TableHasTheTwentyTwoOptions)
{
    int rows = 0;
    while (mount_option_table[rows].name)
        rows++;
    EXPECT_EQ(rows, 22);
}

struct fstab_case {
    const char *text;
    int result;
    const char *source;
    unsigned long flags;
    const char *data;
};

TEST(FstabVarLine, Table)
{
    fstab_case rows[] = {
        {"ubi0:var /var ubifs ro,noatime,bulk_read\n", 0, "ubi0:var", 0x401, "bulk_read"},
        {"ubi0:var /var ubifs defaults\n", 0, "ubi0:var", 0, ""},
        {"ubi0:var /var ubifs rw,ro\n", 0, "ubi0:var", 0x1, ""},
        {"ubi0:var /var ubifs ro,rw\n", 0, "ubi0:var", 0, ""},
        {"ubi0:var /var ubifs bulk_read 0 0\n", 0, "ubi0:var", 0, "bulk_read 0 0"},
        {"ubi0:var /var ubifs\n", 0, "ubi0:var", 0, ""},
        {"ubi0:var /var ubifs nosuid,nodev,noexec,sync,mand,nodiratime,bind,remount,"
         "auto,noauto,dirsync\n",
         0, "ubi0:var", 0x187e, ""},
        {"ubi0:var /var ubifs ro,,bulk_read,x=1\n", 0, "ubi0:var", 1, "bulk_read,x=1"},
        // No final newline: the last character stays.
        {"ubi0:var /var ubifs bulk_read", 0, "ubi0:var", 0, "bulk_read"},
        // A "/var" line of another type comes first.
        {"/dev/sda1 /var ext4 ro\nubi1:v /var ubifs noatime\n", 0, "ubi1:v", 0x400, ""},
        {"proc /proc proc defaults\nubi0:var /var ubifs sync\n", 0, "ubi0:var", 0x10, ""},
        // Options are matched exactly; a carriage return is part of the text.
        {"ubi0:var /var ubifs defaults\r\n", 0, "ubi0:var", 0, "defaults\r"},
        // Only single blanks separate fields.
        {"ubi0:var\t/var\tubifs ro\n", -22, nullptr, 0, nullptr},
        {"ubi0:var  /var ubifs ro\n", -22, nullptr, 0, nullptr},
        {"\nubi0:var /var ubifs ro\n", -22, nullptr, 0, nullptr},
        {"# comment\nubi0:var /var ubifs ro\n", -22, nullptr, 0, nullptr},
        {"a /b c\n", -22, nullptr, 0, nullptr},
        {"", -22, nullptr, 0, nullptr},
    };
    for (const fstab_case &r : rows) {
        std::vector<char> text(r.text, r.text + strlen(r.text) + 1);
        char *source = nullptr;
        char *options = nullptr;
        int result = find_var_line(text.data(), &source, &options);
        ASSERT_EQ(result, r.result) << r.text;
        if (result != 0)
            continue;
        EXPECT_STREQ(source, r.source) << r.text;
        const char *opts = options ? options : "";
        std::vector<char> data(strlen(opts) + 1, 'X');
        unsigned long flags = 99;
        parse_mount_options(opts, &flags, data.data());
        EXPECT_EQ(flags, r.flags) << r.text;
        EXPECT_STREQ(data.data(), r.data) << r.text;
    }
}

}  // namespace
