// The policy model: the configuration's overflow memory, packages and
// resources, the untrusted bit and the release of a configuration.
#include "restok/policy.h"

#include <err.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace RESTOK {

type_row restok_types[4] = {{-1, "UID"}, {-1, "GID"}, {-1, "GRP"}, {-1, "CAP"}};

void set_restok_types()
{
    static const char *const texts[4] = {"UID::", "GID::", "GRP::", "CAP::"};
    for (int i = 0; i < 4; i++) {
        long value = -1;
        restok_types[i].type = creds_from_text(texts[i], &value);
    }
}

void *DB::Overflow::alloc(size_t, unsigned) { return nullptr; }

void *Allocator::alloc(size_t size, unsigned mask) { return cfg->alloc(size, mask); }

// Packages by name: the first package registered under a name.
struct package_index {
    std::unordered_map<std::string_view, package *> map;
};

// The free room of every overflow chunk, by creation number, in a tree of
// maxima: the newest chunk with room for a request is found in log time,
// so the search order stays newest first, first fit.
struct chunk_index {
    std::vector<chunk *> chunks;  // by creation number
    std::vector<size_t> room;     // tree of maxima; leaves at capacity + i
    size_t capacity = 0;

    void set(size_t i, size_t free)
    {
        size_t n = capacity + i;
        room[n] = free;
        for (n /= 2; n >= 1; n /= 2)
            room[n] = std::max(room[2 * n], room[2 * n + 1]);
    }
    // Adds a chunk; false when memory runs out (nothing changed).
    bool add(chunk *c)
    {
        try {
            if (chunks.size() == capacity) {
                size_t grown = capacity ? 2 * capacity : 16;
                std::vector<size_t> tree(2 * grown, 0);
                for (size_t i = 0; i < chunks.size(); i++)
                    tree[grown + i] = chunks[i]->free;
                for (size_t n = grown - 1; n >= 1; n--)
                    tree[n] = std::max(tree[2 * n], tree[2 * n + 1]);
                chunks.reserve(grown);
                room.swap(tree);
                capacity = grown;
            }
            chunks.push_back(c);
        } catch (const std::bad_alloc &) {
            return false;
        }
        set(chunks.size() - 1, c->free);
        return true;
    }
    // The newest chunk with at least size bytes free, or null.
    size_t newest_with(size_t size, chunk **found) const
    {
        *found = nullptr;
        if (capacity == 0 || room[1] < size)
            return 0;
        size_t n = 1;
        while (n < capacity)
            n = room[2 * n + 1] >= size ? 2 * n + 1 : 2 * n;
        *found = chunks[n - capacity];
        return n - capacity;
    }
};

namespace {

// Takes size bytes from the top of the chunk's free room, aligned down to
// the mask; null when they do not fit. The data start is aligned to the
// largest mask, so a chunk fits exactly when its free room is size or more.
void *take_from(chunk *c, size_t size, unsigned mask)
{
    if (size > c->free)
        return nullptr;
    uintptr_t start = reinterpret_cast<uintptr_t>(c->data);
    uintptr_t candidate = (start + (c->free - size)) & ~uintptr_t(mask);
    if (candidate < start)
        return nullptr;
    c->free = candidate - start;
    return reinterpret_cast<void *>(candidate);
}

}  // namespace

void *configuration::alloc(size_t size, unsigned mask)
{
    assert((mask & (mask + 1)) == 0);
    if ((mask & (mask + 1)) != 0)
        abort();
    if (!chunk_room) {
        chunk_room = new (std::nothrow) chunk_index;
        if (!chunk_room)
            return nullptr;
    }
    if (mask > PARSER_MASK) {
        // Coarser than the chunk data's alignment: room alone does not
        // tell whether a chunk fits, so each is tried in turn, newest first.
        for (size_t i = chunk_room->chunks.size(); i-- > 0;) {
            chunk *c = chunk_room->chunks[i];
            if (void *p = take_from(c, size, mask)) {
                chunk_room->set(i, c->free);
                return p;
            }
        }
    }
    chunk *c;
    size_t i = chunk_room->newest_with(size, &c);
    if (c && mask <= PARSER_MASK) {
        void *p = take_from(c, size, mask);
        chunk_room->set(i, c->free);
        return p;
    }
    if (size > SIZE_MAX - sizeof(chunk) - mask - 1)
        return nullptr;
    size_t data_size = size + mask + 1;
    if (data_size < CHUNK_MIN_SIZE)
        data_size = CHUNK_MIN_SIZE;
    c = static_cast<chunk *>(std::malloc(sizeof(chunk) + data_size));
    if (!c)
        return nullptr;
    c->free = data_size;
    if (!chunk_room->add(c)) {
        std::free(c);
        return nullptr;
    }
    c->next = chunks;
    chunks = c;
    if (void *p = take_from(c, size, mask)) {
        chunk_room->set(chunk_room->chunks.size() - 1, c->free);
        return p;
    }
    warnx("Allocator -- BAD CODING");
    return nullptr;
}

package *find_package(const configuration *cfg, const char *name, size_t length)
{
    if (!cfg->names)
        return nullptr;
    auto it = cfg->names->map.find(std::string_view(name, length));
    return it == cfg->names->map.end() ? nullptr : it->second;
}

package *register_package(configuration *cfg, package *p, size_t length)
{
    p->provider = nullptr;
    p->resources = nullptr;
    p->objects = nullptr;
    p->next = nullptr;
    if (length > PACKAGE_NAME_MAX) {
        warnx("Package name '%.*s' is too long", int(length), p->name);
        return nullptr;
    }
    if (!cfg->names) {
        cfg->names = new (std::nothrow) package_index;
        if (!cfg->names)
            return nullptr;
    }
    try {
        cfg->names->map.emplace(std::string_view(p->name, length), p);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    p->name_length = uint8_t(length);
    p->type = -1;
    if (length == 3)
        for (const type_row &row : restok_types)
            if (std::memcmp(row.name, p->name, 3) == 0) {
                p->type = row.type;
                p->id = -1;
            }
    if (cfg->last_package)
        cfg->last_package->next = p;
    else
        cfg->packages = p;
    cfg->last_package = p;
    return p;
}

package *make_package(DB &db, size_t length)
{
    auto *p = static_cast<package *>(db.copy(offsetof(package, name), length));
    if (!p)
        return nullptr;
    return register_package(db.cfg, p, length);
}

package *builtin_package(configuration *cfg, const char *name)
{
    size_t length = std::strlen(name);
    auto *p = static_cast<package *>(std::calloc(1, offsetof(package, name) + length + 1));
    if (!p)
        return nullptr;
    std::memcpy(p->name, name, length);
    if (!register_package(cfg, p, length)) {
        std::free(p);
        return nullptr;
    }
    p->provider = p;
    return p;
}

resource *find_resource(const package *p, const char *name, size_t length)
{
    const package *holder = p->provider ? p->provider : p;
    for (resource *r = holder->resources; r; r = r->next)
        if (r->name_length == length && std::memcmp(r->name, name, length) == 0)
            return r;
    return nullptr;
}

resource *find_or_make_resource(DB &db, package *p, size_t length)
{
    if (resource *r = find_resource(p, db.cursor, length)) {
        db.cursor += length;
        return r;
    }
    return make_resource(db, length, p);
}

resource *make_resource(DB &db, size_t length, package *p)
{
    // Refused before anything is made: the name length is a 16-bit field.
    if (length > RESOURCE_NAME_MAX) {
        warnx("Resource name '%s::%.*s' is too long", p->name, int(length), db.cursor);
        return nullptr;
    }
    auto *r = static_cast<resource *>(db.copy(offsetof(resource, name), length));
    if (!r)
        return nullptr;
    r->value = -1;
    r->name_length = uint16_t(length);
    resource **link = &p->resources;
    while (*link)
        link = &(*link)->next;
    *link = r;
    return r;
}

}  // namespace RESTOK

using RESTOK::configuration;

int restok_is_untrusted(const configuration *cfg)
{
    return cfg && (cfg->flags & RESTOK::CONFIG_UNTRUSTED) ? 1 : 0;
}

void restok_set_untrusted(configuration *cfg)
{
    if (cfg)
        cfg->flags |= RESTOK::CONFIG_UNTRUSTED;
}

void restok_destroy(configuration *cfg)
{
    if (!cfg)
        return;
    for (RESTOK::chunk *c = cfg->chunks; c;) {
        RESTOK::chunk *next = c->next;
        std::free(c);
        c = next;
    }
    delete cfg->names;
    delete cfg->chunk_room;
    std::free(cfg->user_accounts);
    std::free(cfg->group_accounts);
    std::free(cfg->source_package);
    std::free(cfg->socket_package);
    std::free(cfg->system_package);
    std::free(cfg);
}

void restok_free(configuration *cfg) { restok_destroy(cfg); }
