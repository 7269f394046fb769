// The entries of a developer-mode settings file: nothing is read past the
// file, and accepted settings are whole (an origin is a non-empty string
// found in the file).
#include "init/developer_mode.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 4)
        return 0;
    uint32_t count = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8;
    // The entries follow a header of 52 bytes; the header itself is zeros.
    std::vector<unsigned char> file(DEVELOPER_MODE_HEADER_SIZE, 0);
    file.insert(file.end(), bytes + 4, bytes + size);
    // A copy of exactly the file's size, so that an over-read shows.
    unsigned char *data = static_cast<unsigned char *>(malloc(file.size()));
    memcpy(data, file.data(), file.size());
    developer_settings settings = {0, nullptr};
    int r = developer_mode_parse_entries(data, file.size(), count, &settings);
    if (r != 0 && r != -22)
        abort();
    if (settings.developer_origin) {
        size_t n = strlen(settings.developer_origin);
        if (n == 0 || n > file.size())
            abort();
    }
    free(settings.developer_origin);
    free(data);
    return 0;
}
