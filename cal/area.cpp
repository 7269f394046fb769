// Area set-up: the context, the choice of the current configuration half,
// and the scan of every valid area into the lists of blocks.
#include "cal/cal.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

void free_list(cal_block_node **list)
{
    cal_block_node *n = *list;
    while (n) {
        cal_block_node *next = n->next;
        cal_free_node(n);
        n = next;
    }
    *list = nullptr;
}

// Silences both report hooks for the span of a check whose findings are
// not the caller's concern.
struct quiet_reports {
    cal_error_fn error = cal_error_hook;
    cal_debug_fn debug = cal_debug_hook;
    quiet_reports()
    {
        cal_error_hook = nullptr;
        cal_debug_hook = nullptr;
    }
    ~quiet_reports()
    {
        cal_error_hook = error;
        cal_debug_hook = debug;
    }
    quiet_reports(const quiet_reports &) = delete;
    quiet_reports &operator=(const quiet_reports &) = delete;
};

// What a scan read of an area: its bytes from address 0, read in chunks
// that grow with what the walk needs, so that the used part of the area is
// read once and little more; pages that could not be read are noted.
//
// The first read takes two pages: a compacted half of small blocks holds
// its run in the first page and what proves the run complete in the
// second. Each later read at least doubles what was read (at most by one
// erase block), so that a long area takes few reads, and stops at an
// erase-block boundary that the walk does not need to cross. A header
// position behind an erased gap that lies beyond what was read is read
// alone (the area's data usually end there), until such a read has found
// a block: then the area goes on behind its gaps and is read in chunks.
struct image_reader {
    cal_context *ctx;
    cal_area *area;
    std::vector<unsigned char> &bytes;
    std::vector<uint32_t> &unreadable;
    bool exact_probes = true;
    uint64_t probe_read_at = UINT64_MAX;

    uint32_t size() const { return cal_area_size(ctx, area); }

    // Reads [from, to) page by page after a failed chunk: an unreadable
    // page spoils only what lies in it.
    void read_pages(uint32_t from, uint32_t to)
    {
        for (uint32_t a = from; a < to;) {
            uint32_t n = std::min(cal_round_up(a + 1, ctx->page_size) - a, to - a);
            if (cal_nand_read(ctx, area, a, bytes.data() + a, n) != 0) {
                memset(bytes.data() + a, 0, n);
                unreadable.push_back(a - a % ctx->page_size);
            }
            a += n;
        }
    }

    // Reads [have, want) into the image.
    void read_to(uint64_t want)
    {
        const uint32_t have = uint32_t(bytes.size());
        // Without memory for more, what lies beyond cannot be checked.
        try {
            bytes.resize(size_t(want));
        } catch (const std::bad_alloc &) {
            return;
        }
        if (ctx->io_failed ||
            cal_nand_read(ctx, area, have, bytes.data() + have, uint32_t(want) - have) != 0)
            read_pages(have, uint32_t(want));
    }

    // Makes the image cover [0, end) (end at most the area's size).
    void cover(uint64_t end)
    {
        const uint64_t have = bytes.size();
        if (end <= have)
            return;
        const uint64_t page = ctx->page_size, erase = ctx->erase_size;
        uint64_t want = have ? std::min(have * 2, have + erase) : 2 * page;
        want = std::max(want, end);
        want = std::min((want + page - 1) / page * page, uint64_t(size()));
        const uint64_t boundary = (have / erase + 1) * erase;
        if (want > boundary && end <= boundary)
            want = boundary;
        read_to(want);
    }

    // The header at a, behind an erased gap.
    const unsigned char *probe(uint32_t a)
    {
        const uint64_t end = uint64_t(a) + CAL_HEADER_SIZE;
        if (exact_probes && end > bytes.size() && end <= size()) {
            probe_read_at = a;
            read_to(end);
        }
        return at(a, CAL_HEADER_SIZE);
    }

    // A valid header found at a: when a lone read of it found it, the
    // area goes on behind its gaps.
    void found(uint32_t a)
    {
        if (a == probe_read_at)
            exact_probes = false;
    }

    bool readable(uint32_t from, uint64_t length) const
    {
        for (uint32_t p : unreadable)
            if (p < from + length && from < uint64_t(p) + ctx->page_size)
                return false;
        return true;
    }

    // [from, from + length) read into the image and readable.
    const unsigned char *at(uint32_t from, uint64_t length)
    {
        if (uint64_t(from) + length > size())
            return nullptr;
        cover(uint64_t(from) + length);
        if (bytes.size() < uint64_t(from) + length || !readable(from, length))
            return nullptr;
        return bytes.data() + from;
    }
};

}  // namespace

struct cal_area_image {
    std::vector<unsigned char> bytes;
    std::vector<uint32_t> unreadable;
};

namespace {

// The area's image, made when it has none; null without memory for it.
cal_area_image *image_of(cal_area *area)
{
    if (!area->image)
        area->image = new (std::nothrow) cal_area_image;
    return area->image;
}

bool all_erased(const unsigned char *p, uint64_t n)
{
    for (uint64_t i = 0; i < n; i++)
        if (p[i] != 0xff)
            return false;
    return true;
}

// A damaged block at address a, whose bytes end before end: when nothing
// but erased flash follows, it is a write cut short by a power loss. It is
// left out of the lists (the block's earlier version stays the one found),
// and the area counts as full, so that the next write compacts it rather
// than appending behind the damage (which would then no longer be last).
// A block inside a packed run (not at a page boundary) is no single
// write: blocks of the run may follow it in its own page, and they count.
// Returns whether that is the case.
bool torn_last_write(image_reader &img, uint32_t a, uint64_t end)
{
    const uint32_t size = img.size();
    const uint32_t page = img.ctx->page_size;
    const uint32_t step = a % page ? 4 : page;
    uint64_t next = (end + step - 1) / step * step;
    if (next < size) {
        const unsigned char *rest = img.at(uint32_t(next), size - next);
        if (!rest || !all_erased(rest, size - next))
            return false;
    }
    cal_error("incomplete block at %s addr 0x%08x ignored", img.area->name, a);
    img.area->empty_start = size;
    // The area's data end at the damage.
    img.area->first_gap = std::min(img.area->first_gap, a);
    return true;
}

// The validity rule of a header's 36 bytes read at address.
int judge_header(cal_context *ctx, cal_area *area, uint32_t address, const unsigned char *bytes,
                 cal_block_header *h)
{
    cal_header_decode(bytes, h);
    if (h->magic == 0xFFFFFFFFu)
        return -2;
    if (h->magic != CAL_MAGIC) {
        cal_error("invalid header magic at addr 0x%08x: %08x", address, h->magic);
        return -1;
    }
    if (h->hdr_version != CAL_HEADER_VERSION) {
        cal_error("invalid header version at addr %08x: %d", address, h->hdr_version);
        return -1;
    }
    uint32_t crc = cal_crc32(bytes, 32);
    if (crc != h->hdr_crc) {
        cal_error("header CRC mismatch at addr %08x: calc %08x vs. %08x", address, crc,
                  h->hdr_crc);
        return -1;
    }
    // In 64 bits: a length near 4 GiB must not wrap round to a small end.
    if (uint64_t(address) + CAL_HEADER_SIZE + h->length > cal_area_size(ctx, area)) {
        cal_error("block at addr %08x runs over device size", address);
        return -1;
    }
    return 0;
}

// Whether the 36 bytes form a valid header, judged without reports.
bool header_checks(cal_context *ctx, cal_area *area, uint32_t address, const unsigned char *bytes,
                   cal_block_header *h)
{
    quiet_reports quiet;
    return judge_header(ctx, area, address, bytes, h) == 0;
}

// A header that fails its checks because of one damaged byte is mended:
// the one value of one byte that makes magic, version, CRC and length
// check. More than one such repair is no repair (the damage is not known).
bool repair_header(cal_context *ctx, cal_area *area, uint32_t address, const unsigned char *bytes,
                   cal_block_header *out)
{
    unsigned char copy[CAL_HEADER_SIZE];
    memcpy(copy, bytes, sizeof copy);
    int found = 0;
    for (unsigned i = 0; i < CAL_HEADER_SIZE && found < 2; i++) {
        const unsigned char was = copy[i];
        for (unsigned v = 0; v < 256 && found < 2; v++) {
            if (v == was)
                continue;
            copy[i] = uint8_t(v);
            cal_block_header h;
            // Cheap tests first: the magic and version bytes.
            if (memcmp(copy, "ConF", 4) == 0 && copy[4] == CAL_HEADER_VERSION &&
                header_checks(ctx, area, address, copy, &h)) {
                *out = h;
                found++;
            }
        }
        copy[i] = was;
    }
    return found == 1;
}

// The next position behind a damaged header at address where a valid
// header lies (blocks lie at 4-byte steps), or the area's size.
uint32_t next_valid_header(image_reader &img, uint32_t address)
{
    const uint32_t size = img.size();
    for (uint64_t p = uint64_t(address) + 4; p + CAL_HEADER_SIZE <= size; p += 4) {
        const unsigned char *bytes = img.at(uint32_t(p), CAL_HEADER_SIZE);
        if (!bytes)
            continue;
        cal_block_header h;
        if (memcmp(bytes, "ConF", 4) == 0 &&
            header_checks(img.ctx, img.area, uint32_t(p), bytes, &h))
            return uint32_t(p);
    }
    return size;
}

// Checks a block's data in the image; on success the node keeps a copy.
// Damaged or unreadable data leave the node without data.
void check_block_data(image_reader &img, cal_block_node *node)
{
    char name[CAL_NAME_SIZE + 1];
    cal_name_text(node->header.name, name);
    const uint32_t length = node->header.length;
    const unsigned char *p = img.at(node->address + CAL_HEADER_SIZE, length);
    if (!p) {
        cal_error("failed to read data of block '%s' at %s 0x%08x", name, img.area->name,
                  node->address);
        return;
    }
    uint32_t crc = cal_crc32(p, length);
    if (crc != node->header.data_crc) {
        cal_error("data CRC mismatch on conf block at addr 0x%08x, name '%s' (calc %08x vs. %08x)",
                  node->address, name, crc, node->header.data_crc);
        return;
    }
    unsigned char *copy = static_cast<unsigned char *>(malloc(length ? length : 1));
    if (!copy)
        return;  // read again from the flash when needed
    if (length)
        memcpy(copy, p, length);
    node->data = copy;
}

// Whether the block h at a is the copy of the first block that a
// compaction writes behind a run ending inside the first page: at the
// second page, the first block's name, length and data, its version + 1.
bool is_run_seal(cal_context *ctx, cal_area *area, uint32_t a, const cal_block_header &h)
{
    if (a != ctx->page_size || area->first_gap >= ctx->page_size || !area->image ||
        area->image->bytes.size() < CAL_HEADER_SIZE)
        return false;
    cal_block_header first;
    cal_header_decode(area->image->bytes.data(), &first);
    return first.magic == CAL_MAGIC && cal_name_cmp(first.name, h.name) == 0 &&
           first.flags == h.flags && first.length == h.length &&
           first.data_crc == h.data_crc && h.version == uint8_t(first.version + 1);
}

// Whether a listed block of the area's kind, lying below the address
// limit, has data that did not check.
bool listed_damage(const cal_context *ctx, int mode, uint32_t limit)
{
    const cal_block_node *lists[] = {mode == 1 ? ctx->user_list : ctx->config_list,
                                     mode == 0 && !ctx->otp ? ctx->wp_list : nullptr};
    for (const cal_block_node *l : lists)
        for (const cal_block_node *n = l; n; n = n->next)
            if (n->address < limit && !n->data)
                return true;
    return false;
}

}  // namespace

// Each list by block name: the node of every name and the node before it,
// and the list's last node, so that a block is found, replaced, taken out
// or appended without a walk of its list.
struct cal_name_index {
    struct entry {
        cal_block_node *node = nullptr;
        cal_block_node *prev = nullptr;
    };
    // A name as the index keys it: its bytes up to the first zero, at
    // most 16, zero-padded (the bytes cal_name_cmp compares).
    struct key {
        char bytes[CAL_NAME_SIZE];
        bool operator==(const key &o) const { return memcmp(bytes, o.bytes, sizeof bytes) == 0; }
    };
    struct key_hash {
        size_t operator()(const key &k) const
        {
            return std::hash<std::string_view>()(std::string_view(k.bytes, sizeof k.bytes));
        }
    };
    struct list {
        std::unordered_map<key, entry, key_hash> nodes;
        cal_block_node *tail = nullptr;
    };
    list lists[3];  // config, user, write-once
};

namespace {

using name_index = cal_name_index;

name_index::key name_key(const char *name)
{
    name_index::key k;
    memset(k.bytes, 0, sizeof k.bytes);
    memcpy(k.bytes, name, strnlen(name, CAL_NAME_SIZE));
    return k;
}

void drop_names(cal_context *ctx)
{
    delete ctx->names;
    ctx->names = nullptr;
}

// The context's index, made from its lists as they stand when it has
// none; null without memory for it, or when a list holds a name twice
// (lists not made by add_block), where the lists are walked instead.
name_index *names_of(cal_context *ctx)
{
    if (ctx->names)
        return ctx->names;
    try {
        std::unique_ptr<name_index> index(new name_index);
        cal_block_node *heads[] = {ctx->config_list, ctx->user_list, ctx->wp_list};
        for (int i = 0; i < 3; i++) {
            cal_block_node *prev = nullptr;
            for (cal_block_node *n = heads[i]; n; prev = n, n = n->next)
                if (!index->lists[i].nodes.emplace(name_key(n->header.name),
                                                   name_index::entry{n, prev})
                         .second)
                    return nullptr;
            index->lists[i].tail = prev;
        }
        ctx->names = index.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return ctx->names;
}

// The index of one of the context's lists, or null (see names_of).
name_index::list *list_index(cal_context *ctx, cal_block_node **list)
{
    name_index *index = names_of(ctx);
    if (!index)
        return nullptr;
    return &index->lists[list == &ctx->user_list ? 1 : list == &ctx->wp_list ? 2 : 0];
}

// Unlinks a node whose predecessor is prev; its entry stays for the caller.
void unlink_indexed(name_index::list *index, cal_block_node **list, cal_block_node *node,
                    cal_block_node *prev)
{
    cal_block_node *next = node->next;
    if (prev)
        prev->next = next;
    else
        *list = next;
    if (next)
        index->nodes.find(name_key(next->header.name))->second.prev = prev;
    else
        index->tail = prev;
    node->next = nullptr;
}

// add_block by a walk of the list, without the index.
void add_block_walking(cal_block_node **list, cal_block_node *node)
{
    if (!*list) {
        *list = node;
        return;
    }
    char head[CAL_NAME_SIZE];
    memcpy(head, (*list)->header.name, CAL_NAME_SIZE);
    for (cal_block_node **p = list; *p;) {
        cal_block_node *old = *p;
        if (cal_name_cmp(old->header.name, node->header.name) != 0) {
            p = &old->next;
            continue;
        }
        if (!cal_version_newer(node->header.version, old->header.version))
            cal_error("Severe inconsistency in block versioning");
        *p = old->next;
        cal_free_node(old);
    }
    if (!*list) {
        *list = node;
    } else if (!(node->header.flags & CAL_HDR_FLAG_USER) &&
               cal_name_cmp(node->header.name, head) == 0) {
        node->next = *list;
        *list = node;
    } else {
        cal_block_node *last = *list;
        while (last->next)
            last = last->next;
        last->next = node;
    }
}

// cal_unlink_node by a walk of the list, without the index.
int unlink_walking(cal_block_node **list, cal_block_node *node)
{
    cal_block_node *prev = nullptr;
    for (cal_block_node **p = list; *p; prev = *p, p = &(*p)->next)
        if (*p == node) {
            cal_debug(2, "Removing block entirely (next=%p, prev=%p)",
                      static_cast<void *>(node->next), static_cast<void *>(prev));
            *p = node->next;
            node->next = nullptr;
            return 1;
        }
    return 0;
}

}  // namespace

extern "C" {

cal_block_node **cal_list_for(cal_context *ctx, uint16_t header_flags)
{
    if (header_flags & CAL_HDR_FLAG_USER)
        return &ctx->user_list;
    if (header_flags & CAL_HDR_FLAG_WRITE_ONCE)
        return &ctx->wp_list;
    return &ctx->config_list;
}

void cal_free_node(cal_block_node *node)
{
    if (!node)
        return;
    free(node->data);
    free(node);
}

int read_block_header(cal_context *ctx, cal_area *area, uint32_t address, cal_block_header *h)
{
    cal_debug(2, "reading %s block header at 0x%08x", area->name, address);
    unsigned char bytes[CAL_HEADER_SIZE];
    if (cal_nand_read(ctx, area, address, bytes, sizeof bytes) != 0) {
        cal_error("failed to read %d bytes at %s 0x%08x", CAL_HEADER_SIZE, area->name, address);
        area->read_failed = 1;
        return -1;
    }
    return judge_header(ctx, area, address, bytes, h);
}

void add_block(cal_context *ctx, cal_block_node *node)
{
    node->next = nullptr;
    cal_block_node **list = cal_list_for(ctx, node->header.flags);
    name_index::list *index = list_index(ctx, list);
    name_index::entry *slot = nullptr;
    if (index) {
        try {
            slot = &index->nodes[name_key(node->header.name)];
        } catch (const std::bad_alloc &) {
            drop_names(ctx);
            index = nullptr;
        }
    }
    if (!index) {
        add_block_walking(list, node);
        return;
    }
    char head[CAL_NAME_SIZE];
    const bool had_head = *list != nullptr;
    if (had_head)
        memcpy(head, (*list)->header.name, CAL_NAME_SIZE);
    if (cal_block_node *old = slot->node) {
        if (!cal_version_newer(node->header.version, old->header.version))
            cal_error("Severe inconsistency in block versioning");
        unlink_indexed(index, list, old, slot->prev);
        cal_free_node(old);
    }
    if (!*list) {
        *list = node;
        index->tail = node;
        *slot = {node, nullptr};
    } else if (had_head && !(node->header.flags & CAL_HDR_FLAG_USER) &&
               cal_name_cmp(node->header.name, head) == 0) {
        index->nodes.find(name_key((*list)->header.name))->second.prev = node;
        node->next = *list;
        *list = node;
        *slot = {node, nullptr};
    } else {
        index->tail->next = node;
        *slot = {node, index->tail};
        index->tail = node;
    }
}

cal_block_node *cal_find_listed(cal_context *ctx, cal_block_node **list, const char *name)
{
    name_index::list *index = list_index(ctx, list);
    if (!index)
        return find_block_in_list(*list, name);
    auto it = index->nodes.find(name_key(name));
    return it == index->nodes.end() ? nullptr : it->second.node;
}

int cal_unlink_node(cal_context *ctx, cal_block_node *node)
{
    cal_block_node **list = cal_list_for(ctx, node->header.flags);
    name_index::list *index = list_index(ctx, list);
    if (!index)
        return unlink_walking(list, node);
    auto it = index->nodes.find(name_key(node->header.name));
    if (it == index->nodes.end() || it->second.node != node)
        return 0;
    cal_debug(2, "Removing block entirely (next=%p, prev=%p)", static_cast<void *>(node->next),
              static_cast<void *>(it->second.prev));
    unlink_indexed(index, list, node, it->second.prev);
    index->nodes.erase(it);
    return 1;
}

void free_block_lists(cal_context *ctx)
{
    drop_names(ctx);
    free_list(&ctx->config_list);
    free_list(&ctx->user_list);
    free_list(&ctx->wp_list);
}

int scan_block_headers(cal_context *ctx, cal_area *area, int mode)
{
    const uint32_t size = cal_area_size(ctx, area);
    const uint32_t page = ctx->page_size;
    cal_area_image *image = image_of(area);
    if (!image) {
        cal_error("scan_block_headers: malloc");
        return -1;
    }
    image_reader img{ctx, area, image->bytes, image->unreadable};
    uint32_t a = 0;
    area->first_page_damaged = 0;
    area->damaged_headers = 0;
    area->appended_behind = 0;
    area->run_sealed = 0;
    bool jumped = false;
    area->first_gap = size;
    for (;;) {
        cal_block_header h;
        cal_debug(2, "reading %s block header at 0x%08x", area->name, a);
        const unsigned char *bytes = jumped ? img.probe(a) : img.at(a, CAL_HEADER_SIZE);
        int r = -1;
        if (!bytes)
            cal_error("failed to read %d bytes at %s 0x%08x", CAL_HEADER_SIZE, area->name, a);
        else
            r = judge_header(ctx, area, a, bytes, &h);
        if (r == -1 && bytes && repair_header(ctx, area, a, bytes, &h)) {
            cal_error("header at %s addr 0x%08x repaired", area->name, a);
            r = 0;
        }
        if (r == -2) {
            if (area->first_gap == size)
                area->first_gap = a;
            if (a % page == 0)
                break;
            a = cal_round_up(a, page);
            jumped = true;
            if (uint64_t(a) + CAL_HEADER_SIZE <= size)
                continue;
            break;
        }
        if (r != 0) {
            if (bytes && torn_last_write(img, a, uint64_t(a) + 1))
                return 0;
            // The write-once area cannot be erased: it takes no write
            // behind damage, so its scan fails there as before.
            if (mode == 2)
                return -1;
            // One damaged or unreadable header costs the block it heads,
            // not what the walk found before it nor the blocks behind it:
            // the walk resumes at the next valid header. The area's data
            // count as ending at the damage for the checks of a half's
            // first page.
            uint32_t next = next_valid_header(img, a);
            area->first_gap = std::min(area->first_gap, a);
            area->damaged_headers = 1;
            if (next >= size) {
                cal_error("no valid header behind %s addr 0x%08x", area->name, a);
                a = size;
                break;
            }
            jumped = false;
            cal_error("%s walk resumes at 0x%08x", area->name, next);
            a = next;
            continue;
        }
        // A block written behind the end of a packed run shows that the
        // run was complete when it was written.
        if (jumped) {
            if (is_run_seal(ctx, area, a, h))
                area->run_sealed = 1;
            else
                area->appended_behind = 1;
            img.found(a);
        }
        jumped = false;
        char name[CAL_NAME_SIZE + 1];
        cal_name_text(h.name, name);
        cal_debug(1, "found block '%s' at %s vaddr %08x (ver %d, len %d)", name, area->name, a,
                  h.version, int(h.length));
        const bool user = h.flags & CAL_HDR_FLAG_USER;
        const bool once = h.flags & CAL_HDR_FLAG_WRITE_ONCE;
        if (mode == 1 && !user) {
            cal_error("non-user block '%s' found in user area", name);
            return -1;
        }
        if (mode == 1 && once) {
            cal_error("write-once block '%s' found in user area", name);
            return -1;
        }
        if (mode == 2 && !once) {
            cal_error("non-write-once block '%s' found in WP area", name);
            return -1;
        }
        if (mode == 0 && user) {
            cal_error("user block '%s' found in non-user area", name);
            return -1;
        }
        if (mode == 0 && once && ctx->otp) {
            cal_error("write-once block '%s' found in non-WP area", name);
            return -1;
        }
        cal_block_node *node = static_cast<cal_block_node *>(calloc(1, sizeof *node));
        if (!node) {
            cal_error("scan_block_headers: malloc");
            return -1;
        }
        node->address = a;
        node->header = h;
        // The data are checked now, so that a block whose writing was cut
        // short never hides the block's earlier version. A damaged block
        // with more behind it is listed all the same: reading it fails.
        check_block_data(img, node);
        if (!node->data &&
            torn_last_write(img, a, uint64_t(a) + CAL_HEADER_SIZE + h.length)) {
            cal_free_node(node);
            return 0;
        }
        add_block(ctx, node);
        uint64_t next = uint64_t(a) + cal_round_up(CAL_HEADER_SIZE + h.length, 4);
        // A block of no data fits in the last 36 bytes of the area.
        if (next + CAL_HEADER_SIZE > size) {
            a = uint32_t(next < size ? next : size);
            break;
        }
        a = uint32_t(next);
    }
    // Damage in a copy that a later copy superseded does not count. The
    // first page is the one a compaction writes last.
    if (mode == 0)
        area->first_page_damaged = listed_damage(ctx, mode, page);
    cal_debug(1, "%s empty area starts at 0x%08x", area->name, a);
    area->empty_start = a >= size ? size : cal_round_up(a, page);
    // The user area has no spare: with a damaged block listed it counts as
    // full, so that the next write rewrites it from what is still readable.
    if (mode == 1 && listed_damage(ctx, mode, size))
        area->empty_start = size;
    return 0;
}

int cal_area_erased(cal_context *ctx, cal_area *area, uint32_t from, uint32_t length)
{
    if (length == 0)
        return 1;
    if (area->image && uint64_t(from) + length <= area->image->bytes.size()) {
        image_reader img{ctx, area, area->image->bytes, area->image->unreadable};
        const unsigned char *p = img.at(from, length);
        if (p)
            return all_erased(p, length);
    }
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[length]);
    if (!buf || cal_nand_read(ctx, area, from, buf.get(), length) != 0)
        return -1;
    return all_erased(buf.get(), length);
}

void cal_area_forget(cal_area *area)
{
    delete area->image;
    area->image = nullptr;
}

}  // extern "C"

namespace {

// Whether every block of the other half is also in the current half's
// lists. Blocks are never deleted and a compaction takes every block, so a
// newer half that lacks one was cut short while it was written.
bool holds_every_block_of(cal_context *ctx, int other)
{
    cal_context probe = *ctx;
    probe.config_list = probe.user_list = probe.wp_list = nullptr;
    probe.names = nullptr;
    int r;
    {
        quiet_reports quiet;
        r = scan_block_headers(&probe, &probe.config[other], 0);
    }
    bool ok = true;
    if (r == 0) {
        const std::pair<cal_block_node *, cal_block_node **> lists[] = {
            {probe.config_list, &ctx->config_list}, {probe.wp_list, &ctx->wp_list}};
        for (const auto &l : lists)
            for (cal_block_node *n = l.first; n && ok; n = n->next)
                ok = cal_find_listed(ctx, l.second, n->header.name) != nullptr;
    }
    free_block_lists(&probe);
    // What was read stays for a fall-back scan of that half.
    ctx->config[other].image = probe.config[other].image;
    ctx->config[other].read_failed |= probe.config[other].read_failed;
    ctx->io_failed |= probe.io_failed;
    return ok;
}

// A half whose first header could not be read may be the newer one: its
// version is unknown. It is the older one, and writes may go ahead, when
// what the rest of it holds shows so: no block the current half lacks, no
// copy of the current half's first block newer than that block, and at
// least as full as the current half (the half left behind by a compaction
// was full). Otherwise writes stay refused.
void settle_unread_half(cal_context *ctx, int other)
{
    cal_area *cur = &ctx->config[ctx->current];
    cal_area *unread = &ctx->config[other];
    cal_block_header first;
    {
        quiet_reports quiet;
        if (read_block_header(ctx, cur, 0, &first) != 0)
            return;
    }
    cal_context probe = *ctx;
    probe.config_list = probe.user_list = probe.wp_list = nullptr;
    probe.names = nullptr;
    int r;
    {
        quiet_reports quiet;
        r = scan_block_headers(&probe, &probe.config[other], 0);
    }
    bool older = r == 0 && probe.config[other].empty_start >= cur->empty_start;
    const std::pair<cal_block_node *, cal_block_node **> lists[] = {
        {probe.config_list, &ctx->config_list}, {probe.wp_list, &ctx->wp_list}};
    for (const auto &l : lists)
        for (cal_block_node *n = l.first; n && older; n = n->next) {
            if (!cal_find_listed(ctx, l.second, n->header.name))
                older = false;
            else if (cal_name_cmp(n->header.name, first.name) == 0 &&
                     cal_version_newer(n->header.version, first.version))
                older = false;
        }
    free_block_lists(&probe);
    ctx->config[other].image = probe.config[other].image;
    ctx->io_failed |= probe.io_failed;
    if (older) {
        cal_error("%s could not be read; it is the older half", unread->name);
        unread->read_failed = 0;
    }
}

}  // namespace

extern "C" {

int cal_init(cal_context **out, int read_only)
{
    cal_debug(2, "cal_init() called");
    cal_context *ctx = static_cast<cal_context *>(calloc(1, sizeof *ctx));
    if (!ctx) {
        cal_error("malloc");
        return -1;
    }
    ctx->fd = -1;
    ctx->config[0].name = "config1";
    ctx->config[1].name = "config2";
    ctx->user.name = "user";
    if (open_config_device(ctx, read_only) != 0) {
        free(ctx);
        return -1;
    }
    if (ctx->otp)
        ctx->wp.name = "wp";
    if (scan_erase_blocks(ctx) != 0) {
        close_config_device(ctx);
        free(ctx);
        return -1;
    }
    cal_block_header h[2];
    for (int i = 0; i < 2; i++)
        ctx->config[i].valid = read_block_header(ctx, &ctx->config[i], 0, &h[i]) == 0;
    if (!ctx->config[0].valid && !ctx->config[1].valid) {
        cal_error("both configuration areas are invalid; choosing first half");
        ctx->current = 0;
    } else if (!ctx->config[0].valid) {
        cal_debug(0, "first half is bad, choosing second");
        ctx->current = 1;
    } else if (!ctx->config[1].valid) {
        cal_debug(0, "second half is bad, choosing first");
        ctx->current = 0;
    } else {
        cal_debug(1, "both config areas are good; first half version %d, second %d",
                  h[0].version, h[1].version);
        if (h[1].version == h[0].version || cal_version_newer(h[1].version, h[0].version)) {
            cal_debug(0, "choosing second half");
            ctx->current = 1;
        } else {
            cal_debug(0, "choosing first half");
            ctx->current = 0;
        }
    }
    cal_block_header uh;
    ctx->user.valid = read_block_header(ctx, &ctx->user, 0, &uh) == 0;
    cal_debug(0, ctx->user.valid ? "user area seems to be ok" : "user area not valid");
    if (ctx->otp) {
        cal_block_header wh;
        ctx->wp.valid = read_block_header(ctx, &ctx->wp, 0, &wh) == 0;
        cal_debug(0, ctx->wp.valid ? "write-once area seems to be ok"
                                   : "write-once area not valid");
    }
    cal_area *cur = &ctx->config[ctx->current];
    if (cur->valid) {
        cal_debug(1, "scanning %s area", cur->name);
        int other = 1 - ctx->current;
        bool ok = scan_block_headers(ctx, cur, 0) == 0;
        // With a spare at hand, a half whose compaction may have been cut
        // short is not trusted. A compaction writes its first page last, so
        // only that page can hold less than it should: a listed block
        // damaged there, or an end of the data inside it, behind which
        // blocks may be missing. Only then is the spare read.
        const bool scanned = ok;
        if (ok && ctx->config[other].valid && !cur->appended_behind) {
            if (cur->first_page_damaged) {
                cal_error("damaged block in the first page of %s", cur->name);
                ok = false;
            } else if (cur->first_gap < ctx->page_size && !cur->run_sealed &&
                       !holds_every_block_of(ctx, other)) {
                cal_error("%s lacks blocks of %s", cur->name, ctx->config[other].name);
                ok = false;
            }
        }
        if (!ok) {
            cal_error("error in primary config block; trying to use spare");
            cur->valid = 0;
            ctx->current = other;
            free_block_lists(ctx);
            if (scan_block_headers(ctx, &ctx->config[ctx->current], 0) != 0) {
                cal_error("error in secondary config block too; now this is messed up");
                ctx->config[ctx->current].valid = 0;
                ctx->current = 1 - ctx->current;
                free_block_lists(ctx);
                // A primary that was only doubted (its scan succeeded) is
                // better than nothing: its intact blocks are kept.
                if (scanned && scan_block_headers(ctx, cur, 0) == 0) {
                    cal_error("keeping %s", cur->name);
                    cur->valid = 1;
                } else {
                    free_block_lists(ctx);
                }
            }
        }
    }
    if (ctx->config[ctx->current].valid && ctx->config[1 - ctx->current].read_failed)
        settle_unread_half(ctx, 1 - ctx->current);
    if (ctx->user.valid && scan_block_headers(ctx, &ctx->user, 1) != 0)
        ctx->user.valid = 0;
    if (ctx->otp && ctx->wp.valid && scan_block_headers(ctx, &ctx->wp, 2) != 0)
        ctx->wp.valid = 0;
    *out = ctx;
    return 0;
}

int cal_init_rw(cal_context **out) { return cal_init(out, 0); }
int cal_init_ro(cal_context **out) { return cal_init(out, 1); }

void cal_release(cal_context *ctx)
{
    if (!ctx)
        return;
    close_config_device(ctx);
    free_block_lists(ctx);
    cal_area *areas[] = {&ctx->config[0], &ctx->config[1], &ctx->user, &ctx->wp};
    for (cal_area *a : areas) {
        cal_area_forget(a);
        free(a->blocks);
    }
    free(ctx);
}

}  // extern "C"
