// The vdata file on arbitrary bytes (inside ks-sandbox: the list is saved
// at its fixed path): the list that a text parses to, saved and parsed
// again, is the same list.
#include "crypto/vdata.h"
#include "fuzz/files.h"
#include "fuzz/sandbox_guard.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    require_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    tarvo_vdata list;
    parse_tarvo_vdata(reinterpret_cast<const char *>(data), size, list);
    // A NUL byte in a path or hash ends it as the file is written: such a
    // list is parsed but not saved.
    for (const auto &entry : list)
        if (entry.first.find('\0') != std::string::npos ||
            entry.second.find('\0') != std::string::npos)
            return 0;
    if (save_tarvo_vdata(list) != 1)
        abort();
    std::string saved = fuzz_files::read(TARVO_VDATA_PATH);
    if (saved.empty() != list.empty())
        abort();
    tarvo_vdata again;
    parse_tarvo_vdata(saved.data(), saved.size(), again);
    if (again != list)
        abort();
    return 0;
}
