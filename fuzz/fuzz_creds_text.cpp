// Credential texts, the texts of a set's credentials and the status-file
// reader on arbitrary bytes (inside ks-sandbox, where the kernel's
// translations come from the simulated credentials module):
// - a text that reads as a credential writes back as a text that reads as
//   the same credential, and the written text cut to any buffer size is the
//   full text's prefix, terminated, with nothing written past the buffer;
// - a match in a set made of arbitrary words is a terminated text of the
//   returned length that fits the buffer;
// - the status reader never writes past the room it is given, and the
//   words it fills form whole entries.
// The first line of the input is the text (or pattern); the rest gives the
// set's words or the status file.
#include "creds/creds.h"
#include "creds/internal.h"
#include "fuzz/sandbox_guard.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A buffer of exactly size bytes (so that ASan sees a write past it).
struct exact_buffer {
    explicit exact_buffer(size_t size) : data(static_cast<char *>(malloc(size ? size : 1))) {}
    ~exact_buffer() { free(data); }
    exact_buffer(const exact_buffer &) = delete;
    exact_buffer &operator=(const exact_buffer &) = delete;
    char *data;
};

void check_text_round_trip(const std::string &text)
{
    long value = 0;
    int type = creds_from_text(text.c_str(), &value);
    if (type < 0)
        return;
    int n = creds_to_text(type, value, nullptr, 0);
    if (n < 0)
        return;
    std::vector<char> full(size_t(n) + 1);
    if (creds_to_text(type, value, full.data(), full.size()) != n || strlen(full.data()) != size_t(n))
        abort();
    long again = 0;
    if (creds_from_text(full.data(), &again) != type || again != value)
        abort();
    for (size_t size = 0; size <= size_t(n) + 1; size++) {
        exact_buffer cut(size);
        if (creds_to_text(type, value, cut.data, size) != n)
            abort();
        if (size > 0) {
            size_t kept = size - 1 < size_t(n) ? size - 1 : size_t(n);
            if (cut.data[kept] != '\0' || memcmp(cut.data, full.data(), kept) != 0)
                abort();
        }
    }
}

void check_match(const std::string &pattern, const uint8_t *words, size_t bytes, size_t size)
{
    std::vector<uint32_t> list(bytes / 4);
    if (!list.empty())
        memcpy(list.data(), words, list.size() * 4);
    creds_handle set = creds_from_list(list.data(), int(list.size()));
    if (!set)
        return;
    exact_buffer buf(size);
    int n = creds_match(set, pattern.c_str(), buf.data, size);
    if (n >= 0 && size_t(n) < size && strlen(buf.data) != size_t(n))
        abort();
    creds_release(set);
}

void check_status(const uint8_t *bytes, size_t size, int room)
{
    int fd = memfd_create("status", MFD_CLOEXEC);
    if (fd < 0)
        return;
    if (write(fd, bytes, size) != ssize_t(size) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return;
    }
    // Room for `room` words and nothing more.
    uint32_t *words = static_cast<uint32_t *>(malloc(sizeof(uint32_t) * size_t(room ? room : 1)));
    int n = proc_status_read(fd, words, room);  // closes fd
    if (n >= 0 && n <= room && !creds_words_whole(words, uint32_t(n)))
        abort();
    free(words);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    require_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t room = data[0];
    data++;
    size--;
    const uint8_t *eol = static_cast<const uint8_t *>(memchr(data, '\n', size));
    size_t line = eol ? size_t(eol - data) : size;
    std::string text(reinterpret_cast<const char *>(data), line);
    text = text.c_str();  // up to a NUL, as a C string
    const uint8_t *rest = eol ? eol + 1 : data + size;
    size_t rest_size = size - (eol ? line + 1 : line);

    check_text_round_trip(text);
    check_match(text, rest, rest_size, room);
    check_status(rest, rest_size, int(room));
    return 0;
}
