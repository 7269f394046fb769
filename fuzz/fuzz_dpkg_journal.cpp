// The dpkg wrapper journal in a scratch directory, with the stand-in
// crypto services of the storage tests (the key blob is their reversible
// scramble under the token):
// - a journal file made of arbitrary bytes opens with its records inside
//   the file, or not at all;
// - records appended after an open come back, after the records that open
//   gave, when the journal is opened again;
// - a journal with any one byte changed no longer opens.
// Input: a flags byte (bit 0: start from a file of the given bytes), a
// 16-bit length and that many file bytes, a byte position and an XOR mask
// for the change, then the records, separated by '|'. With
// KS_FUZZ_SEED_OUT naming a directory, a journal written here is put there
// as a seed input that starts from its file.
#include "fuzz/files.h"
#include "init/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string dir, path, bad_path;

// The records of the journal at path, false when it does not open.
bool open_records(std::string *records)
{
    Journal journal(path.c_str(), "tcb");
    uint32_t length = 0;
    const unsigned char *p = journal.open(&length);
    if (!p)
        return false;
    records->assign(reinterpret_cast<const char *>(p), length);
    return true;
}

void write_seed(const char *out)
{
    unlink(path.c_str());
    {
        Journal journal(path.c_str(), "tcb");
        if (journal.append("first", 5) != 0 || journal.append("second", 6) != 0)
            abort();
    }
    std::string file = fuzz_files::read(path);
    std::string seed{1, char(file.size() & 0xFF), char(file.size() >> 8)};
    seed += file;
    seed += std::string("\x07\x01third|fourth", 14);
    if (!fuzz_files::write(std::string(out) + "/written", seed))
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fuzz-journal.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        abort();
    dir = name.data();
    path = dir + "/dpkg-journal";
    bad_path = path + ".bad";
    if (const char *out = getenv("KS_FUZZ_SEED_OUT"))
        write_seed(out);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 5)
        return 0;
    bool raw = data[0] & 1;
    size_t file_length = size_t(data[1]) | size_t(data[2]) << 8;
    size_t at = 3;
    if (file_length > size - at)
        file_length = size - at;
    std::string file(reinterpret_cast<const char *>(data + at), raw ? file_length : 0);
    if (raw)
        at += file_length;
    if (size - at < 2)
        return 0;
    size_t change_at = data[at];
    uint8_t change_mask = data[at + 1];
    at += 2;
    std::vector<std::string> records;
    std::string rest(reinterpret_cast<const char *>(data + at), size - at);
    for (size_t start = 0; start <= rest.size();) {
        size_t bar = rest.find('|', start);
        if (bar == std::string::npos)
            bar = rest.size();
        records.push_back(rest.substr(start, bar - start));
        start = bar + 1;
    }

    unlink(path.c_str());
    unlink(bad_path.c_str());
    if (raw && !fuzz_files::write(path, file))
        abort();

    std::string expected;
    bool opened = false, appended = false;
    {
        Journal journal(path.c_str(), "tcb");
        uint32_t length = 0;
        const unsigned char *p = journal.open(&length);
        if (p) {
            if (uint64_t(length) + JOURNAL_MIN_SIZE > file.size())
                abort();
            expected.assign(reinterpret_cast<const char *>(p), length);
            opened = true;
        }
        for (const std::string &r : records) {
            if (journal.append(r.data(), uint32_t(r.size())) != 0)
                break;
            expected += r;
            appended = true;
        }
    }
    if (!opened && !appended)
        return 0;
    std::string got;
    if (!open_records(&got) || got != expected)
        abort();

    if (change_mask != 0) {
        std::string bytes = fuzz_files::read(path);
        if (bytes.empty())
            abort();
        bytes[change_at % bytes.size()] ^= char(change_mask);
        if (!fuzz_files::write(path, bytes))
            abort();
        if (open_records(&got))
            abort();
    }
    return 0;
}
