// parse_hashlist over arbitrary bytes after one of the two headers (the
// first input byte chooses it), the list in a heap block that ends with the
// NUL that must follow it, so that any read past the list is caught.
// parse_journal_hashes gets the same bytes as journal text.
#include "fuzz/sandbox_guard.h"
#include "init/hash_entry.h"
#include "init/refhashlist.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Lists may name existing kernel modules, whose hashes would go to the
    // integrity module: refuse to run where a real one is present (the
    // sandbox's is the simulator's).
    struct stat st;
    if (stat("/sys/kernel/security/keepstone", &st) == 0 &&
        !ks_sim::testing::inside_sandbox_with_simulator("mount"))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *header = (data[0] & 1) ? "Tarvo3.0\n" : "Tarvo2.0\n";
    size_t body = size - 1;
    std::vector<char> list(9 + body + 1);
    std::memcpy(list.data(), header, 9);
    std::memcpy(list.data() + 9, data + 1, body);
    list[9 + body] = '\0';
    parse_hashlist(list.data(), 9 + body, data[0] & 2, data[0] & 4);

    std::vector<char> text(data + 1, data + size);
    parse_journal_hashes(text.data(), text.size(), data[0] & 2, data[0] & 4);

    release_all_entries();
    release_source_names();
    return 0;
}
