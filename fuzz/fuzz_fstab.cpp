// The "/var" line of an fstab text and its mount options: nothing is read
// past the text, the data string stays within its room and the flags hold
// only bits of the option table.
#include "init/mounts.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    std::vector<char> text(bytes, bytes + size);
    text.push_back('\0');
    char *source = nullptr;
    char *options = nullptr;
    if (find_var_line(text.data(), &source, &options) != 0)
        return 0;
    if (source < text.data() || source >= text.data() + text.size())
        abort();
    const char *opts = options ? options : "";
    size_t room = strlen(opts) + 1;
    std::vector<char> data(room + 1, '\x7f');
    unsigned long flags = 0;
    parse_mount_options(opts, &flags, data.data());
    if (data[room] != '\x7f' || strlen(data.data()) >= room)
        abort();
    unsigned long all = 0;
    for (const mount_option *o = mount_option_table; o->name; o++)
        all |= o->mask;
    if (flags & ~all)
        abort();
    return 0;
}
