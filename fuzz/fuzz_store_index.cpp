// A signed store's index on arbitrary bytes (inside ks-sandbox: stores
// live at fixed paths), with the storage tests' stand-in crypto services,
// whose signatures the fuzzer cannot make: the store opened on the index
// lists no entry that was not validly signed. At start-up one store is
// committed with two members and a link; every index must then open with
// exactly those entries (a replay of the signed index) or none.
// With KS_FUZZ_SEED_OUT naming a directory, the signed index is put there
// as a seed input.
#include "fuzz/files.h"
#include "fuzz/sandbox_guard.h"
#include "storage/tarvo_storage.h"
#include "storage/test_crypto.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace {

const char STORE[] = "fuzz-index";
const char OWNER[] = "UID::0";
const char MEMBERS[] = "/tmp/fuzz-store";

typedef std::map<std::string, std::string> listing;

struct entries {
    listing files;  // name -> digest
    listing links;  // name -> target
    bool operator==(const entries &o) const { return files == o.files && links == o.links; }
};

entries signed_entries;
std::string index_path;

entries listed(const tarvo::storage &st)
{
    entries e;
    for (const auto &f : st.m_files)
        e.files[f.first] = f.second.digest;
    e.links = st.m_links;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    require_sandbox();
    fake_crypto::reset();
    mkdir(MEMBERS, 0755);
    std::string a = std::string(MEMBERS) + "/a", b = std::string(MEMBERS) + "/b";
    if (!fuzz_files::write(a, "alpha") || !fuzz_files::write(b, "beta"))
        abort();
    {
        tarvo::storage st(STORE, OWNER, 0, 0);
        st.add_file(a.c_str());
        st.add_file(b.c_str());
        st.add_link("first", a.c_str());
        if (!st.commit())
            abort();
        signed_entries = listed(st);
        index_path = st.index_path();
    }
    if (signed_entries.files.size() != 2 || signed_entries.links.size() != 1)
        abort();
    if (const char *out = getenv("KS_FUZZ_SEED_OUT"))
        if (!fuzz_files::write(std::string(out) + "/signed-index", fuzz_files::read(index_path)))
            abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!fuzz_files::write(index_path, std::string(reinterpret_cast<const char *>(data), size)))
        abort();
    tarvo::storage st(STORE, 0, 0);
    entries e = listed(st);
    if (!(e.files.empty() && e.links.empty()) && !(e == signed_entries))
        abort();
    return 0;
}
