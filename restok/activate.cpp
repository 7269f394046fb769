// Bringing a loaded policy into the kernel: packages and resources become
// tokens or named credentials, and every object becomes a credential
// policy.
#include "restok/policy.h"
#include "restok/restok.h"
#include "restok/socket_policy.h"

#include <err.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

using RESTOK::configuration;
using RESTOK::object;
using RESTOK::package;
using RESTOK::request;
using RESTOK::resource;

namespace RESTOK {

// The objects of every resource, in package and object order, made once
// per activation.
struct object_index {
    std::unordered_map<const resource *, std::vector<const object *>> map;
};

}  // namespace RESTOK

namespace {

constexpr size_t NAME_ROOM = 512;

// The objects defined on r, in package and object order: from the
// activation's index when there is one, else gathered into scanned. Null
// when memory runs out.
const std::vector<const object *> *objects_on(const configuration *cfg, const resource *r,
                                              std::vector<const object *> &scanned)
{
    if (cfg->by_resource) {
        auto it = cfg->by_resource->map.find(r);
        return it == cfg->by_resource->map.end() ? &scanned : &it->second;
    }
    try {
        for (const package *q = cfg->packages; q; q = q->next)
            for (const object *o = q->objects; o; o = o->next)
                if (o->res == r)
                    scanned.push_back(o);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    return &scanned;
}

// Indexes the objects of the configuration by resource for one activation;
// released by the destructor.
class activation_index {
public:
    explicit activation_index(configuration *cfg) : cfg_(cfg)
    {
        auto *index = new (std::nothrow) RESTOK::object_index;
        if (!index)
            return;
        try {
            for (const package *q = cfg->packages; q; q = q->next)
                for (const object *o = q->objects; o; o = o->next)
                    index->map[o->res].push_back(o);
        } catch (const std::bad_alloc &) {
            delete index;
            return;  // without an index each look-up scans
        }
        cfg->by_resource = index;
    }
    ~activation_index()
    {
        delete cfg_->by_resource;
        cfg_->by_resource = nullptr;
    }
    activation_index(const activation_index &) = delete;
    activation_index &operator=(const activation_index &) = delete;

private:
    configuration *cfg_;
};

// Defines the resources of one package (its own provider) whose value is
// still unresolved; the result -1 when any could not be.
int define_package_resources(configuration *cfg, package *p)
{
    int result = 0;
    const char *prefix =
        cfg->system_package && cfg->system_package->provider == p ? "" : p->name;
    for (resource *r = p->resources; r; r = r->next) {
        if (r->value != -1)
            continue;
        if (r->name[0] == '/' && p != cfg->source_package)
            continue;  // a socket object
        long value = -1;
        int t = restok_credential(prefix, r->name, &value);
        if (t != -1) {
            if (p->type == -1) {
                p->type = t;
            } else if (p->type != t) {
                warnx("Resource '%s::%s' has conflicting resource type %d != %d -- all "
                      "resources of package must be of same type",
                      p->name, r->name, t, p->type);
                result = -1;
            }
            r->value = int(value);
            continue;
        }
        if (p->type == -1) {
            p->type = restok_grp_type;
        } else if (p->type != restok_grp_type) {
            warnx("Resource '%s::%s' cannot be defined -- package not configured for GRP (%d) "
                  "but %d",
                  p->name, r->name, restok_grp_type, p->type);
            result = -1;
            continue;
        }
        if (p->id <= 0) {
            warnx("Resource '%s::%s' cannot be registered -- package is not registerable",
                  p->name, r->name);
            continue;
        }
        // An answer of 0 or below defines nothing: the resource stays
        // unresolved, so no credential set ever holds it.
        int id = restok_define(r->name, p->id);
        if (id <= 0) {
            if (id < 0)
                warn("Could not register token '%s::%s' -- return id %d", p->name, r->name, id);
            else
                warnx("Could not register token '%s::%s' -- return id %d", p->name, r->name, id);
            result = -1;
            continue;
        }
        r->value = id;
    }
    return result;
}

}  // namespace

int restok_credential(const char *package_name, const char *resource_name, long *value)
{
    char text[NAME_ROOM];
    int n = std::snprintf(text, sizeof text, "%s::%s", package_name, resource_name);
    if (n < 0 || size_t(n) >= sizeof text) {
        *value = -1;
        return -1;
    }
    return creds_from_text(text, value);
}

int define_object_policy(const char *package_name, int flags, const char *object_name,
                         const creds_set *set)
{
    if (!package_name)
        return creds_define_policy(flags, object_name, set);
    char name[NAME_ROOM];
    int n = std::snprintf(name, sizeof name, "%s::%s", package_name, object_name);
    if (n < 0 || size_t(n) >= sizeof name)
        return -1;
    return creds_define_policy(flags, name, set);
}

int restok_define_resources(configuration *cfg)
{
    if (!cfg)
        return -1;
    int result = 0;
    if (package *sys = cfg->system_package) {
        sys->id = restok_define("", 0);
        if (sys->id <= 0) {
            warnx("Could not register package '%s' for the kernel module -- return id %d",
                  sys->name, sys->id);
            result = -1;
            sys->id = -1;
        }
        if (sys->provider)
            sys->provider->id = sys->id;
    }
    for (package *p = cfg->packages; p; p = p->next) {
        if (!p->provider)
            p->provider = p;
        if (p->provider != p)
            continue;
        if (p->id == 0 && p->name[0] != '_' && (p->resources || p->objects)) {
            p->id = restok_define(p->name, 0);
            if (p->id <= 0) {
                warnx("Could not register package '%s' for the kernel module -- return id %d",
                      p->name, p->id);
                result = -1;
                p->id = -1;
            }
        }
        if (define_package_resources(cfg, p) != 0)
            result = -1;
    }
    return result;
}

int build_object_creds(configuration *cfg, creds_handle *set, package *p, resource *r,
                       const creds_set *filter)
{
    if (restok_grp_type == -1)
        return -1;
    if (p->id > 0 && p != cfg->source_package) {
        if (creds_add(set, restok_grp_type, p->id) != 0) {
            warnx("Couldn't add package id for '%s' to policy", p->name);
            return -1;
        }
    }
    if (p->source) {
        // The source's value belongs to the type it was resolved in, the
        // source package's; a source that resolved to nothing is granted
        // nowhere.
        package *sp = cfg->source_package;
        int type = sp ? sp->type : -1;
        if (type == -1 && sp && sp->provider)
            type = sp->provider->type;
        if (type == -1 || p->source->value == -1) {
            warnx("Source '%s' of '%s' resolves to no token -- not added", p->source->name,
                  p->name);
        } else if (creds_add(set, type, int(p->source->value)) != 0) {
            warnx("Couldn't add source id for '%s' to policy", p->name);
            return 1;
        }
    }
    std::vector<const object *> scanned;
    const std::vector<const object *> *on_r = objects_on(cfg, r, scanned);
    if (!on_r)
        return -1;
    for (const object *o : *on_r) {
        for (request *req = o->requests; req; req = req->next) {
            package *rp = req->pkg;
            int type = rp->type;
            if (type == -1)
                type = rp->provider ? rp->provider->type : -1;
            long value = req->res->value;
            if (type == -1 || value == -1) {
                warnx("Policy for '%s' refers to undefined resource '%s(%d::%ld)::%s(%ld)' "
                      "-- ignored",
                      r->name, rp->name, type, long(rp->id), req->res->name, value);
                continue;
            }
            if (filter && !creds_has(filter, type, int(value)))
                continue;
            if (creds_add(set, type, int(value)) != 0) {
                warnx("Couldn't add '%s:%s to policy", rp->name, req->res->name);
                return -1;
            }
        }
    }
    return 0;
}

int restok_activate_policy(configuration *cfg)
{
    if (!cfg || restok_grp_type == -1)
        return -1;
    activation_index index(cfg);
    int result = 0;
    creds_handle filter = creds_empty();
    resource *src = cfg->source_package
                        ? RESTOK::find_resource(cfg->source_package, "SRC", 3)
                        : nullptr;
    if (src) {
        result = build_object_creds(cfg, &filter, cfg->source_package, src, nullptr);
    } else {
        warnx("Didn't find object for 'SRC::SRC'");
    }
    creds_handle set = creds_empty();
    package *socket_provider = cfg->socket_package ? cfg->socket_package->provider : nullptr;
    for (package *p = cfg->packages; p; p = p->next) {
        if (p == cfg->socket_package) {
            if (socket_provider)
                load_socket_policy(cfg, socket_provider);
            continue;
        }
        if (socket_provider && p == socket_provider)
            continue;
        bool is_src = p == cfg->source_package;
        for (resource *r = p->resources; r; r = r->next) {
            int flags = 0;
            const char *prefix = "SRC";
            if (!is_src) {
                object *first = nullptr;
                for (object *o = p->objects; o && !first; o = o->next)
                    if (o->res == r)
                        first = o;
                if (!first)
                    continue;
                if (first->flags == -1) {
                    // Its "Policy:" line was reported when it was read; a
                    // guessed flag word would reach the kernel as policy.
                    warnx("Policy for '%s::%s' not loaded -- its 'Policy:' line does not parse",
                          p->name, r->name);
                    if (result == 0)
                        result = -1;
                    continue;
                }
                flags = first->flags;
                prefix = r->name[0] == '/' ? nullptr : p->name;
            }
            set = creds_reset(set);
            int rc = build_object_creds(cfg, &set, p, r, is_src ? filter : nullptr);
            if (rc != 0) {
                creds_release(set);
                creds_release(filter);
                return rc;
            }
            if (define_object_policy(prefix, flags, r->name, set) != 0)
                warnx("Failed loading policy for '%s::%s'", p->name, r->name);
        }
    }
    creds_release(set);
    creds_release(filter);
    return result;
}
