// The software certificate's entries as the boot reads them: nothing is
// read past the certificate, and the vdata hash is written only when the
// result says it was found.
#include "init/data_files.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    if (size < 2)
        return 0;
    // Two bytes give the entry count, the rest follows the header, which
    // is zeros; the certificate is allocated at exactly its length.
    size_t length = SW_CERT_ENTRIES_OFFSET + size - 2;
    uint8_t *cert = static_cast<uint8_t *>(calloc(1, length));
    cert[SW_CERT_COUNT_OFFSET] = bytes[0];
    cert[SW_CERT_COUNT_OFFSET + 1] = bytes[1];
    memcpy(cert + SW_CERT_ENTRIES_OFFSET, bytes + 2, size - 2);
    uint8_t hash[20];
    memset(hash, 0xEE, sizeof hash);
    int r = sw_cert_vdata_hash(cert, uint32_t(length), hash);
    bool untouched = true;
    for (uint8_t b : hash)
        untouched = untouched && b == 0xEE;
    if ((r != 0 && r != -22) || (r == -22 && !untouched))
        abort();
    free(cert);
    return 0;
}
