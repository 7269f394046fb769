#include "creds/creds.h"
#include "creds/internal.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// glibc's report for a failed assertion. The two invariant checks of
// creds_add stay active in every build type, with the library's own name.
extern "C" void __assert_fail(const char *assertion, const char *file, unsigned int line,
                              const char *function) noexcept __attribute__((__noreturn__));
#define CREDS_ASSERT(expr, text) \
    ((expr) ? void(0) : __assert_fail(text, "creds", __LINE__, "creds_add"))
#define ASSERT_FOUND(i) CREDS_ASSERT((i) <= (*handle)->actual, "i <= handle->actual")
#define ASSERT_TYPE(r)                                                      \
    CREDS_ASSERT(uint32_t(type) == (((*handle)->list[r]) & 0xffff),         \
                 "type == ((handle->list[i]) & 0xffff)")

namespace {

// Largest list a block can describe without the byte size wrapping on a
// 32-bit size_t.
constexpr uint64_t max_room = (SIZE_MAX / sizeof(uint32_t)) - 2;

// Reallocates the block to room list words; null leaves it untouched.
creds_handle grow_block(creds_handle handle, uint64_t room)
{
    if (room > max_room || room > UINT32_MAX) {
        errno = ENOMEM;
        return nullptr;
    }
    auto grown = static_cast<creds_handle>(
        std::realloc(handle, (size_t(room) + 2) * sizeof(uint32_t)));
    if (!grown)
        return nullptr;
    grown->allocated = uint32_t(room);
    if (!handle)
        grown->actual = 0;
    return grown;
}

void reverse_words(uint32_t *first, uint32_t *last)
{
    while (first < last && first < --last) {
        uint32_t t = *first;
        *first++ = *last;
        *last = t;
    }
}

// Moves the entry [index, index + size) to the end of the list while the
// other entries keep their order.
void move_to_end(creds_handle h, uint32_t index, uint32_t size)
{
    uint32_t *l = h->list;
    reverse_words(l + index + size, l + h->actual);
    reverse_words(l + index, l + index + size);
    reverse_words(l + index, l + h->actual);
}

// Grows or shrinks the entry starting at index (or a new one at actual) to
// count values. Returns the entry's new index, or -1: for a count of 0
// (the entry is dropped), past the header's limit, or when memory runs out
// (the set stays valid, the entry possibly moved to the end).
long creds_resize_entry(creds_handle *hp, uint32_t index, uint32_t type, uint32_t count)
{
    creds_handle h = *hp;
    if (count > CREDS_MAX_VALUES)
        return -1;
    if (index >= h->actual) {
        if (count == 0)
            return -1;
        if (h->actual == h->allocated) {
            creds_handle g = grow_block(h, uint64_t(h->allocated) + 1 + count);
            if (!g)
                return -1;
            *hp = h = g;
        }
        index = h->actual;
        h->list[h->actual++] = creds_header(type, 0);
    }
    uint32_t present = creds_header_count(h->list[index]);
    if (present == count)
        return index;
    uint32_t size = 1 + present;
    if (index + size < h->actual) {
        move_to_end(h, index, size);
        index = h->actual - size;
    }
    if (count > present) {
        uint32_t growth = count - present;
        if (uint64_t(h->actual) + growth > h->allocated) {
            creds_handle g = grow_block(h, uint64_t(h->actual) + growth);
            if (!g)
                return -1;
            *hp = h = g;
        }
        std::memset(h->list + h->actual, 0, growth * sizeof(uint32_t));
        h->actual += growth;
    } else {
        h->actual -= present - count;
    }
    if (count == 0) {
        h->actual = index;
        return -1;
    }
    h->list[index] = creds_header(type, count);
    return index;
}

}  // namespace

uint32_t creds_find_entry(const creds_set *h, uint32_t type)
{
    uint32_t i = 0;
    while (i < h->actual) {
        uint32_t header = h->list[i];
        uint32_t count = creds_header_count(header);
        if (count >= h->actual - i)
            return h->actual;  // runs past the list: the walk ends here
        if (creds_header_type(header) == type)
            return i;
        i += 1 + count;
    }
    return h->actual;
}

bool creds_words_whole(const uint32_t *words, uint32_t count)
{
    uint32_t i = 0;
    while (i < count) {
        uint32_t n = creds_header_count(words[i]);
        if (n >= count - i)
            return false;
        i += 1 + n;
    }
    return true;
}

creds_handle creds_empty() { return nullptr; }

creds_handle creds_reset(creds_handle handle)
{
    if (handle)
        handle->actual = 0;
    return handle;
}

void creds_release(creds_handle handle) { std::free(handle); }

creds_handle creds_from_list(const uint32_t *words, int count)
{
    if (count < 0 || uint64_t(count) > max_room || (count > 0 && !words) ||
        !creds_words_whole(words, uint32_t(count))) {
        errno = EINVAL;
        return nullptr;
    }
    auto h = static_cast<creds_handle>(std::malloc((size_t(count) + 2) * sizeof(uint32_t)));
    if (!h)
        return nullptr;
    h->actual = h->allocated = uint32_t(count);
    if (count)
        std::memcpy(h->list, words, size_t(count) * sizeof(uint32_t));
    return h;
}

const uint32_t *creds_raw_list(const creds_set *handle, int *count)
{
    if (!count)
        return nullptr;
    if (!handle) {
        *count = 0;
        return nullptr;
    }
    *count = int(handle->actual);
    return handle->list;
}

int creds_has(const creds_set *h, int type, int value)
{
    if (!h || unsigned(type) > CREDS_TYPE_GRP)
        return 0;
    uint32_t i = creds_find_entry(h, uint32_t(type));
    uint32_t count = i < h->actual ? creds_header_count(h->list[i]) : 0;
    const uint32_t *v = h->list + i + 1;
    switch (type) {
    case CREDS_TYPE_CAP:
        return value >= 0 && uint64_t(value) < 32ull * count &&
               ((v[value / 32] >> (value % 32)) & 1u);
    case CREDS_TYPE_UID:
    case CREDS_TYPE_GID:
        return count == 1 && v[0] == uint32_t(value);
    default:
        for (uint32_t k = 0; k < count; k++)
            if (v[k] == uint32_t(value))
                return 1;
        // A process is taken to be in its own primary group.
        return creds_has(h, CREDS_TYPE_GID, value);
    }
}

int creds_test(const creds_set *handle, int type, int value)
{
    return creds_has(handle, type, value);
}

int creds_entry(const creds_set *h, int index, int *value)
{
    if (!h || index < 0)
        return -1;
    uint32_t left = uint32_t(index);
    uint32_t i = 0;
    while (i < h->actual) {
        uint32_t header = h->list[i];
        uint32_t count = creds_header_count(header);
        if (count >= h->actual - i)
            break;
        uint32_t type = creds_header_type(header);
        const uint32_t *v = h->list + i + 1;
        if (type == CREDS_TYPE_CAP) {
            for (uint32_t w = 0; w < count; w++)
                for (uint32_t b = 0; b < 32; b++) {
                    if (!((v[w] >> b) & 1u))
                        continue;
                    if (left-- == 0) {
                        if (value)
                            *value = int(32 * w + b);
                        return CREDS_TYPE_CAP;
                    }
                }
        } else if (type == CREDS_TYPE_UID || type == CREDS_TYPE_GID) {
            if (count > 0 && left-- == 0) {
                if (value)
                    *value = int(v[0]);
                return int(type);
            }
        } else if (type == CREDS_TYPE_GRP) {
            if (left < count) {
                if (value)
                    *value = int(v[left]);
                return CREDS_TYPE_GRP;
            }
            left -= count;
        }
        i += 1 + count;
    }
    return -1;
}

int creds_add(creds_handle *handle, int type, int value)
{
    if (!handle)
        return -1;
    if (!*handle) {
        creds_handle h = grow_block(nullptr, CREDS_INITIAL_ROOM);
        if (!h)
            return -1;
        *handle = h;
    }
    uint32_t i = creds_find_entry(*handle, uint32_t(type) & 0xFFFF);
    ASSERT_FOUND(i);
    if (unsigned(type) > CREDS_TYPE_GRP)
        return -1;

    long r;
    switch (type) {
    case CREDS_TYPE_CAP:
        r = creds_resize_entry(handle, i, CREDS_TYPE_CAP, 2);
        if (r < 0)
            return -1;
        ASSERT_TYPE(r);
        if (value < 0 || value > 63)
            return -1;
        (*handle)->list[r + 1 + value / 32] |= 1u << (value % 32);
        return 0;
    case CREDS_TYPE_GRP: {
        creds_handle h = *handle;
        uint32_t count = i < h->actual ? creds_header_count(h->list[i]) : 0;
        for (uint32_t k = 0; k < count; k++)
            if (h->list[i + 1 + k] == uint32_t(value))
                return 0;
        r = creds_resize_entry(handle, i, CREDS_TYPE_GRP, count + 1);
        if (r < 0)
            return -1;
        ASSERT_TYPE(r);
        (*handle)->list[r + 1 + count] = uint32_t(value);
        return 0;
    }
    default:
        r = creds_resize_entry(handle, i, uint32_t(type), 1);
        if (r < 0)
            return -1;
        ASSERT_TYPE(r);
        (*handle)->list[r + 1] = uint32_t(value);
        return 0;
    }
}

void creds_remove(creds_handle h, int type, int value)
{
    if (!h || unsigned(type) > CREDS_TYPE_GRP)
        return;
    uint32_t i = creds_find_entry(h, uint32_t(type));
    if (i >= h->actual)
        return;
    uint32_t count = creds_header_count(h->list[i]);
    uint32_t *v = h->list + i + 1;
    // Drops n words at position at, closing the gap in place.
    auto drop = [h](uint32_t at, uint32_t n) {
        std::memmove(h->list + at, h->list + at + n, (h->actual - at - n) * sizeof(uint32_t));
        h->actual -= n;
    };
    switch (type) {
    case CREDS_TYPE_CAP:
        if (value >= 0 && uint64_t(value) < 32ull * count)
            v[value / 32] &= ~(1u << (value % 32));
        return;
    case CREDS_TYPE_UID:
    case CREDS_TYPE_GID:
        drop(i, 1 + count);
        return;
    default:
        for (uint32_t k = 0; k < count; k++) {
            if (v[k] != uint32_t(value))
                continue;
            if (count == 1) {
                drop(i, 2);
            } else {
                v[k] = v[count - 1];
                h->list[i] = creds_header(CREDS_TYPE_GRP, count - 1);
                drop(i + count, 1);
            }
            return;
        }
    }
}
