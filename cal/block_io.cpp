// Reading and writing blocks: look-up by name, verified reads cached in
// the node, appending a new version in the free space of its area, and
// compacting a full area.
#include "cal/cal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace {

bool name_too_long(const char *name) { return strnlen(name, CAL_NAME_SIZE + 1) > CAL_NAME_SIZE; }

unsigned char *copy_bytes(const unsigned char *data, uint32_t length)
{
    unsigned char *p = static_cast<unsigned char *>(malloc(length ? length : 1));
    if (p && length)
        memcpy(p, data, length);
    return p;
}

// Whether a write to the area erases it first: an invalid area is started
// anew, except the OTP region, which cannot be erased.
bool starts_anew(const cal_area *target, bool write_once)
{
    return !target->valid && !(target->otp && write_once);
}

// Where a single write to the area goes.
uint32_t write_start(const cal_area *target, bool write_once)
{
    return starts_anew(target, write_once) ? 0 : target->empty_start;
}

int store_block(cal_context *ctx, cal_area *target, cal_block_node *node, uint32_t size,
                bool write_once)
{
    unsigned char *buf = static_cast<unsigned char *>(malloc(size));
    if (!buf) {
        cal_error("store_block: malloc buf: %s", strerror(errno));
        return -1;
    }
    memset(buf, 0xff, size);
    cal_header_encode(&node->header, buf);
    if (node->header.length)
        memcpy(buf + CAL_HEADER_SIZE, node->data, node->header.length);
    if (starts_anew(target, write_once)) {
        cal_debug(0, "initializing %s config area", target->name);
        if (erase_area(ctx, target) != 0) {
            free(buf);
            return -1;
        }
        // An erased area's data start at its first page, wherever the scan
        // of the damaged contents had put the free space.
        target->empty_start = 0;
    }
    cal_area_forget(target);
    int r = nand_write(ctx, target, target->empty_start, buf, size);
    free(buf);
    if (r != 0)
        return -1;
    node->address = target->empty_start;
    target->valid = 1;
    add_block(ctx, node);
    target->empty_start += size;
    return 0;
}

// Whether a block's data can be read from the flash (whatever they hold).
bool data_readable(cal_context *ctx, cal_area *area, const cal_block_node *node)
{
    std::vector<unsigned char> buf(node->header.length ? node->header.length : 1);
    return cal_nand_read(ctx, area, node->address + CAL_HEADER_SIZE, buf.data(),
                         node->header.length) == 0;
}

// A compacted run that ends inside the first page cannot show by itself
// that the page was written in full: a page written only in part may stop
// at a block boundary and read as a complete, shorter run, so the next
// set-up would have to read the other half to see that no block is
// missing. A copy of the run's first block (its version + 1) in the next
// page is that proof: it was written only once the first page was written
// and read back, and a block behind a run shows the run complete. A copy
// that does not fit is left out (the set-up then reads the other half).
int seal_short_run(cal_context *ctx, cal_area *dest, const cal_block_node *first)
{
    const uint32_t size = cal_round_up(CAL_HEADER_SIZE + first->header.length, ctx->page_size);
    if (uint64_t(dest->empty_start) + size > cal_area_size(ctx, dest))
        return 0;
    cal_block_node *copy = static_cast<cal_block_node *>(calloc(1, sizeof *copy));
    if (!copy) {
        cal_error("compress_config_area: malloc block");
        return -1;
    }
    copy->header = first->header;
    copy->header.version = uint8_t(first->header.version + 1);
    cal_header_seal(&copy->header);
    copy->data = copy_bytes(first->data, first->header.length);
    if (!copy->data) {
        cal_error("compress_config_area: malloc cache");
        free(copy);
        return -1;
    }
    char name[CAL_NAME_SIZE + 1];
    cal_name_text(copy->header.name, name);
    cal_debug(1, "copy of '%s' behind the run in %s at 0x%08x", name, dest->name,
              dest->empty_start);
    // The copy replaces the first block's node in its list.
    if (store_block(ctx, dest, copy, size, false) != 0) {
        cal_free_node(copy);
        return -1;
    }
    return 0;
}

// Rewrites every block of the new block's kind, packed from address 0,
// into a freshly erased area: the other half for configuration blocks,
// the user area itself for user blocks. The nodes change only once the
// image is on the flash.
int compress_config_area(cal_context *ctx, cal_area *target, bool user)
{
    cal_block_node *list = user ? ctx->user_list : ctx->config_list;
    cal_debug(0, "compressing%s config area", user ? " user" : "");
    std::vector<cal_block_node *> taken;
    for (cal_block_node *n = list; n; n = n->next)
        taken.push_back(n);
    if (!user && !ctx->otp)
        for (cal_block_node *n = ctx->wp_list; n; n = n->next)
            taken.push_back(n);
    uint64_t total = 0;
    for (size_t i = 0; i < taken.size();) {
        cal_block_node *n = taken[i];
        if (read_block_data(ctx, target, n) != 0) {
            // The user area is rewritten in place from what can still be
            // read: a damaged user block is dropped rather than keeping
            // every later user write from succeeding. (A half keeps the
            // damaged block's older copy in the other half: no compaction.)
            if (!user) {
                cal_error("compress_config_area: invalid block data.");
                return -1;
            }
            char name[CAL_NAME_SIZE + 1];
            cal_name_text(n->header.name, name);
            // A read error is no damage: the block may read again, and
            // the erase would lose it for good.
            if (!data_readable(ctx, target, n)) {
                cal_error("user block '%s' could not be read; not compacting the user area",
                          name);
                return -1;
            }
            cal_error("compress_config_area: dropping damaged user block '%s'", name);
            cal_unlink_node(ctx, n);
            cal_free_node(n);
            taken.erase(taken.begin() + long(i));
            continue;
        }
        total += cal_round_up(CAL_HEADER_SIZE + n->header.length, 4);
        i++;
    }
    cal_debug(0, "total size of config blocks %d", int(total));
    total = (total + ctx->page_size - 1) / ctx->page_size * ctx->page_size;
    if (total > cal_area_size(ctx, target)) {
        cal_error("config blocks won't fit into config area");
        return -1;
    }
    cal_area *dest = user ? &ctx->user : &ctx->config[1 - ctx->current];
    // The first block's version decides at the next set-up which half is
    // current; it must be newer than the first block of the half left
    // behind, even when the counter went round since.
    int left_behind = -1;
    if (!user && target->valid) {
        cal_block_header first;
        if (read_block_header(ctx, target, 0, &first) == 0)
            left_behind = first.version;
    }
    std::vector<cal_block_header> headers(taken.size());
    std::vector<uint32_t> addresses(taken.size());
    unsigned char *image = static_cast<unsigned char *>(malloc(total ? size_t(total) : 1));
    if (!image) {
        cal_error("compress_config_area: malloc: %s", strerror(errno));
        return -1;
    }
    memset(image, 0xff, size_t(total));
    uint32_t o = 0;
    for (size_t i = 0; i < taken.size(); i++) {
        cal_block_node *n = taken[i];
        cal_block_header h = n->header;
        h.version = !user && n == list ? uint8_t(h.version + 1) : 0;
        if (i == 0 && left_behind >= 0 && !cal_version_newer(h.version, uint8_t(left_behind)))
            h.version = uint8_t(left_behind + 1);
        cal_header_seal(&h);
        char name[CAL_NAME_SIZE + 1];
        cal_name_text(h.name, name);
        cal_debug(3, "writing '%s' (version %d) to idx %d", name, h.version, int(o));
        cal_header_encode(&h, image + o);
        if (h.length)
            memcpy(image + o + CAL_HEADER_SIZE, n->data, h.length);
        headers[i] = h;
        addresses[i] = o;
        o += cal_round_up(CAL_HEADER_SIZE + h.length, 4);
    }
    const uint32_t page = ctx->page_size;
    cal_area_forget(dest);
    int r = 0;
    // The user area is rewritten in place. An erase cut short may leave
    // any part of the old contents, and the old blocks there would read
    // as the newest: the first page is cleared to zeros first, so that
    // such a remnant is no valid area.
    if (user) {
        std::vector<unsigned char> zeros(page, 0);
        r = nand_write(ctx, dest, 0, zeros.data(), page);
    }
    if (r == 0)
        r = erase_area(ctx, dest);
    // The first page goes last: until it is written the destination's
    // first header reads as erased and the old half stays the chosen one.
    if (r == 0 && total > page)
        r = nand_write(ctx, dest, page, image + page, uint32_t(total) - page);
    if (r == 0 && total > 0)
        r = nand_write(ctx, dest, 0, image, page);
    free(image);
    if (r != 0)
        return -1;
    for (size_t i = 0; i < taken.size(); i++) {
        taken[i]->header = headers[i];
        taken[i]->address = addresses[i];
    }
    if (!user)
        ctx->current = 1 - ctx->current;
    dest->valid = 1;
    dest->empty_start = uint32_t(total);
    // The user area has no other half to be compared with.
    if (!user && !taken.empty() && o < page)
        return seal_short_run(ctx, dest, taken[0]);
    return 0;
}

// Whether what a write would replace could not be read in this context:
// the halves stand for each other, so a half that could not be read may
// hold newer blocks than the one written to, and writing would have them
// discarded (or erased) unseen.
bool unknown_contents(const cal_context *ctx, const cal_area *target)
{
    const cal_area *unread = nullptr;
    if (target == &ctx->user) {
        if (ctx->user.read_failed)
            unread = &ctx->user;
    } else if (!target->otp) {
        for (const cal_area &half : ctx->config)
            if (half.read_failed)
                unread = &half;
    }
    if (!unread)
        return false;
    cal_error("%s could not be read; not writing to %s", unread->name, target->name);
    return true;
}

// Whether blocks of the kind written were read from the area: an area
// that turned invalid behind them is rewritten from them (compacted), not
// erased and started anew with the written block alone.
bool holds_listed_blocks(const cal_context *ctx, bool user)
{
    if (user)
        return ctx->user_list != nullptr;
    return ctx->config_list != nullptr || (!ctx->otp && ctx->wp_list != nullptr);
}

int fail_new_node(cal_block_node *node)
{
    cal_free_node(node);
    return -1;
}

// Whether the space an appended block of size bytes would take is erased
// (an invalid area is erased before the write, except the OTP region),
// and the header position behind it too: bytes that are not erased would
// spoil the block written over them, and stale bytes right behind it
// would be read as the next block at the next set-up, where today the
// area's data end at an erased page.
bool space_is_erased(cal_context *ctx, cal_area *target, uint32_t size, bool write_once)
{
    if (starts_anew(target, write_once))
        return true;
    const uint64_t room = uint64_t(cal_area_size(ctx, target)) - target->empty_start;
    const uint64_t length = std::min<uint64_t>(uint64_t(size) + CAL_HEADER_SIZE, room);
    int r = cal_area_erased(ctx, target, target->empty_start, uint32_t(length));
    if (r == 1)
        return true;
    cal_debug(0, "%s space at 0x%08x is not erased", target->name, target->empty_start);
    return false;
}

// The node of that name in one list, found through the context's name
// index; the node looked at is reported as find_block_in_list does.
cal_block_node *find_listed(cal_context *ctx, cal_block_node **list, const char *name)
{
    cal_block_node *n = cal_find_listed(ctx, list, name);
    if (n) {
        char text[CAL_NAME_SIZE + 1];
        cal_name_text(n->header.name, text);
        cal_debug(4, "checking block '%s'", text);
    }
    return n;
}

}  // namespace

extern "C" {

cal_block_node *find_block_in_list(cal_block_node *first, const char *name)
{
    for (cal_block_node *n = first; n; n = n->next) {
        char text[CAL_NAME_SIZE + 1];
        cal_name_text(n->header.name, text);
        cal_debug(4, "checking block '%s'", text);
        if (cal_name_cmp(n->header.name, name) == 0)
            return n;
    }
    return nullptr;
}

cal_block_node *lookup_block(cal_context *ctx, const char *name, int flags)
{
    if (flags & CAL_FLAG_USER)
        return find_listed(ctx, &ctx->user_list, name);
    cal_block_node *n = find_listed(ctx, &ctx->wp_list, name);
    if (!n && !(flags & CAL_FLAG_WRITE_ONCE))
        n = find_listed(ctx, &ctx->config_list, name);
    return n;
}

int read_block_data(cal_context *ctx, cal_area *area, cal_block_node *node)
{
    char name[CAL_NAME_SIZE + 1];
    cal_name_text(node->header.name, name);
    if (node->data) {
        cal_debug(0, "block '%s', len %u found from cache", name, node->header.length);
        return 0;
    }
    cal_debug(0, "reading block from %s addr 0x%08x, name '%s', len %u", area->name,
              node->address, name, node->header.length);
    unsigned char *buf =
        static_cast<unsigned char *>(malloc(node->header.length ? node->header.length : 1));
    if (!buf) {
        cal_error("read_block_data: malloc: %s", strerror(errno));
        return -1;
    }
    if (cal_nand_read(ctx, area, node->address + CAL_HEADER_SIZE, buf, node->header.length) != 0) {
        free(buf);
        return -1;
    }
    uint32_t crc = cal_crc32(buf, node->header.length);
    if (crc != node->header.data_crc) {
        cal_error("data CRC mismatch on conf block at addr 0x%08x, name '%s' (calc %08x vs. %08x)",
                  node->address, name, crc, node->header.data_crc);
        free(buf);
        return -1;
    }
    node->data = buf;
    return 0;
}

int cal_read_block(cal_context *ctx, const char *name, unsigned char **data, uint32_t *length,
                   int flags)
{
    if (!ctx || !name || !data || !length) {
        cal_error("cal_read_block: invalid arguments");
        return -1;
    }
    if (cal_access_stopped(ctx))
        return -1;
    if (name_too_long(name)) {
        cal_error("cal_read_block: too long name");
        return -1;
    }
    const bool user = flags & CAL_FLAG_USER;
    cal_area *area = user ? &ctx->user : &ctx->config[ctx->current];
    cal_debug(2, "trying to find%s block '%s'", user ? " user" : "", name);
    cal_block_node *node = lookup_block(ctx, name, flags);
    if (!node && (flags & CAL_FLAG_WRITE_ONCE) && ctx->otp_unknown) {
        cal_error("OTP region unknown; write-once block '%s' cannot be looked up", name);
        return -1;
    }
    if (!node) {
        cal_debug(1, "block '%s' not found", name);
        return -2;
    }
    if ((node->header.flags & CAL_HDR_FLAG_WRITE_ONCE) && ctx->otp)
        area = &ctx->wp;
    if (read_block_data(ctx, area, node) != 0)
        return -1;
    unsigned char *copy = copy_bytes(node->data, node->header.length);
    if (!copy) {
        *data = nullptr;
        cal_error("cal_read_block: malloc: %s", strerror(errno));
        return -1;
    }
    *data = copy;
    *length = node->header.length;
    return 0;
}

int cal_write_block(cal_context *ctx, const char *name, const unsigned char *data,
                    uint32_t length, int flags)
{
    if (!ctx || !name || (!data && length)) {
        cal_error("cal_write_block: invalid arguments");
        return -1;
    }
    if (cal_access_stopped(ctx))
        return -1;
    cal_debug(0, "writing block '%s', data len %d", name, int(length));
    if (name_too_long(name)) {
        cal_error("cal_write_block: too long name");
        return -1;
    }
    const bool user = flags & CAL_FLAG_USER;
    const bool once = flags & CAL_FLAG_WRITE_ONCE;
    if (user && once) {
        cal_error("write-once user blocks not supported");
        return -1;
    }
    if (once && ctx->otp_unknown) {
        cal_error("OTP region unknown; not writing write-once block");
        return -1;
    }
    cal_block_node *old = lookup_block(ctx, name, flags);
    if (old && once) {
        cal_error("trying to overwrite write-once block");
        return -1;
    }
    const bool have_old = old != nullptr;
    uint32_t old_address = 0;
    cal_block_header old_header;
    memset(&old_header, 0, sizeof old_header);
    uint8_t v = 0;
    if (old) {
        old_address = old->address;
        old_header = old->header;
        v = old->header.version;
    }
    cal_block_node *node = static_cast<cal_block_node *>(calloc(1, sizeof *node));
    if (!node) {
        cal_error("cal_write_block: malloc block");
        return -1;
    }
    node->data = copy_bytes(data, length);
    if (!node->data) {
        cal_error("cal_write_block: malloc cache");
        free(node);
        return -1;
    }
    cal_block_header &h = node->header;
    h.magic = CAL_MAGIC;
    h.hdr_version = CAL_HEADER_VERSION;
    h.version = have_old ? uint8_t(v + 1) : 0;
    h.flags = user ? CAL_HDR_FLAG_USER : once ? CAL_HDR_FLAG_WRITE_ONCE : 0;
    memcpy(h.name, name, strnlen(name, CAL_NAME_SIZE));
    h.length = length;
    h.data_crc = cal_crc32(data, length);
    cal_header_seal(&h);

    cal_area *target;
    const char *text;
    if (user) {
        target = &ctx->user;
        text = " user";
    } else if (once) {
        target = ctx->otp ? &ctx->wp : &ctx->config[ctx->current];
        text = " write-once";
    } else {
        target = &ctx->config[ctx->current];
        text = "";
    }
    if (unknown_contents(ctx, target))
        return fail_new_node(node);
    // The old node goes when the new one enters the same list.
    const bool replaces =
        have_old && cal_list_for(ctx, old_header.flags) == cal_list_for(ctx, h.flags);
    const uint64_t size64 =
        (uint64_t(CAL_HEADER_SIZE) + length + ctx->page_size - 1) / ctx->page_size * ctx->page_size;
    const uint32_t area_size = cal_area_size(ctx, target);
    const uint32_t start = write_start(target, once);
    cal_debug(1, "trying to write new%s conf block to 0x%08x (%d bytes)", text, start,
              int(size64));
    bool listed = false;
    int r = -1;
    if (size64 > area_size) {
        cal_error("block size too big");
    } else if (uint64_t(start) + size64 <= area_size &&
               (target->valid || target->otp || !holds_listed_blocks(ctx, user)) &&
               space_is_erased(ctx, target, uint32_t(size64), once)) {
        r = store_block(ctx, target, node, uint32_t(size64), once);
        listed = r == 0;
    } else if (target->otp) {
        // The OTP region cannot be erased: it takes a write only where it
        // is still erased, never over what is already there.
        if (uint64_t(start) + size64 <= area_size)
            cal_error("write-once area damaged; not writing over it");
        else
            cal_error("block doesn't fit into write-once region");
    } else {
        if (uint64_t(start) + size64 > area_size)
            cal_debug(0, "block doesn't fit into empty space");
        add_block(ctx, node);
        listed = true;
        r = compress_config_area(ctx, target, user);
    }
    if (r == 0)
        return 0;

    if (!have_old) {
        cal_debug(2, "No old version, removing block");
        if (listed)
            cal_unlink_node(ctx, node);
        cal_free_node(node);
    } else {
        cal_debug(2, "Reverting block from ver. %d to %d", v + 1, v);
        if (listed && replaces) {
            node->address = old_address;
            node->header = old_header;
            free(node->data);
            node->data = nullptr;
        } else {
            if (listed)
                cal_unlink_node(ctx, node);
            cal_free_node(node);
        }
    }
    return -1;
}

}  // extern "C"
