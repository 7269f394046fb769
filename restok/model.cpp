// The policy model: the configuration's overflow memory, packages and
// resources, the untrusted bit and the release of a configuration.
#include "restok/policy.h"

#include <err.h>

#include <cassert>
#include <cstdlib>
#include <cstring>

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

namespace {

// Takes size bytes from the top of the chunk's free room, aligned down to
// the mask; null when they do not fit.
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
    for (chunk *c = chunks; c; c = c->next)
        if (void *p = take_from(c, size, mask))
            return p;
    if (size > SIZE_MAX - sizeof(chunk) - mask - 1)
        return nullptr;
    size_t data_size = size + mask + 1;
    if (data_size < CHUNK_MIN_SIZE)
        data_size = CHUNK_MIN_SIZE;
    chunk *c = static_cast<chunk *>(std::malloc(sizeof(chunk) + data_size));
    if (!c)
        return nullptr;
    c->next = chunks;
    c->free = data_size;
    chunks = c;
    if (void *p = take_from(c, size, mask))
        return p;
    warnx("Allocator -- BAD CODING");
    return nullptr;
}

package *find_package(const configuration *cfg, const char *name, size_t length)
{
    for (package *p = cfg->packages; p; p = p->next)
        if (p->name_length == length && std::memcmp(p->name, name, length) == 0)
            return p;
    return nullptr;
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
    std::free(cfg->user_accounts);
    std::free(cfg->group_accounts);
    std::free(cfg->source_package);
    std::free(cfg->socket_package);
    std::free(cfg->system_package);
    std::free(cfg);
}

void restok_free(configuration *cfg) { restok_destroy(cfg); }
