// Decodes arbitrary bytes as base64: at most 3/4 of the text's digits come
// out, and what decodes encodes and decodes again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/tarvo_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();  // up to the first NUL, as a C string
    unsigned char *out = nullptr;
    int n = base64_decode(text.c_str(), &out);
    if (n < 0 || size_t(n) > text.size() * 3 / 4)
        abort();
    if (out == nullptr) {
        if (n != 0)
            abort();
        return 0;
    }
    char *encoded = base64_encode(out, n);
    if (encoded == nullptr)
        abort();
    unsigned char *back = nullptr;
    int m = base64_decode(encoded, &back);
    if (m != n || back == nullptr || memcmp(back, out, size_t(n)) != 0)
        abort();
    free(back);
    free(encoded);
    free(out);
    return 0;
}
