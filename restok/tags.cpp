// What each tag of the policy text does to the configuration, the two tag
// tables and their print operations.
#include "restok/policy.h"

#include <err.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace RESTOK {

namespace {

const char SYSTEM_NAME[] = "_system_";
constexpr int SYSTEM_NAME_LENGTH = 8;

const char *name_or(const package *p, const char *fallback)
{
    return p ? p->name : fallback;
}

// A one-line value: the token that spans the whole value, surrounding
// white space dropped; the cursor at the token. -1 for bad syntax (no
// token, or text on a further line).
int one_line_value(DB &db, int length)
{
    char *value_end = db.cursor + length;
    int n, skip;
    db.next_token(value_end, '\n', &n, &skip);
    if (n <= 0 || db.cursor + n + skip != value_end)
        return -1;
    return n;
}

// one_line_value with bad syntax warned about under the tag's name: the
// token's length, or -2.
int tag_value(DB &db, int length, const char *tag)
{
    char *value = db.cursor;
    int n = one_line_value(db, length);
    if (n < 0) {
        warnx("The %s tag '%.*s' has bad syntax", tag, length, value);
        return -2;
    }
    return n;
}

void append_resource(package *p, resource *r)
{
    r->next = nullptr;
    resource **link = &p->resources;
    while (*link)
        link = &(*link)->next;
    *link = r;
}

// Unlinks and returns the pending resource with the name, or null.
resource *take_pending(configuration *cfg, const char *name, size_t length)
{
    for (resource **link = &cfg->pending; *link; link = &(*link)->next) {
        resource *r = *link;
        if (r->name_length == length && std::memcmp(r->name, name, length) == 0) {
            *link = r->next;
            r->next = nullptr;
            return r;
        }
    }
    return nullptr;
}

// Moves the package's referenced resources to the pending list (merging
// with a pending one of the same name) and forgets the rest.
void release_resources(configuration *cfg, package *p)
{
    resource *r = p->resources;
    p->resources = nullptr;
    while (r) {
        resource *next = r->next;
        if (r->references > 0) {
            resource *same = nullptr;
            for (resource *q = cfg->pending; q; q = q->next)
                if (q->name_length == r->name_length &&
                    std::memcmp(q->name, r->name, r->name_length) == 0)
                    same = q;
            if (same) {
                same->references += r->references;
            } else {
                // Appended, so that they are reported in their order.
                resource **link = &cfg->pending;
                while (*link)
                    link = &(*link)->next;
                r->next = nullptr;
                *link = r;
            }
        }
        r = next;
    }
}

bool is_system_name(const char *s, int n)
{
    return n == SYSTEM_NAME_LENGTH && std::memcmp(s, SYSTEM_NAME, SYSTEM_NAME_LENGTH) == 0;
}

// The decimal number at the start of [p, end) as strtol reads it (leading
// white space, a sign, digits; 0 when there is none), kept inside the
// line and saturated to the range of an int.
long line_number(const char *p, const char *end)
{
    while (p < end && std::isspace(static_cast<unsigned char>(*p)))
        p++;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+'))
        negative = *p++ == '-';
    long long v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++)
        if (v <= INT_MAX)
            v = v * 10 + (*p - '0');
    if (negative)
        v = -v;
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : long(v);
}

int no_current_package()
{
    warnx("No current package");
    return -2;
}

}  // namespace

package *package_qualifier(DB &db, int *length, package *default_package)
{
    int n = *length;
    const char *token = db.cursor;
    const char *colon = static_cast<const char *>(std::memchr(token, ':', size_t(n)));
    if (!colon || colon + 1 >= token + n || colon[1] != ':')
        return default_package;
    int qn = int(colon - token);
    package *p = find_package(db.cfg, token, size_t(qn));
    if (p)
        db.cursor += qn;
    else if (!(p = make_package(db, size_t(qn))))
        return nullptr;
    db.cursor += 2;
    *length = n - qn - 2;
    return p;
}

void report_pending(configuration *cfg)
{
    for (resource *r = cfg->pending; r; r = r->next) {
        warnx("Undefined resource '%s::%s' referenced, but not provided by the package",
              name_or(cfg->current, "??"), r->name);
        cfg->unresolved++;
    }
    cfg->pending = nullptr;
}

int define_package(configuration *cfg, DB &db, field *f, int length, package **out)
{
    int n = tag_value(db, length, f->t->name);
    if (n < 0)
        return n;
    if (is_system_name(db.cursor, n)) {
        db.cursor += n;
        n = 0;
    }
    package *p = find_package(cfg, db.cursor, size_t(n));
    if (!p) {
        p = make_package(db, size_t(n));
        if (!p)
            return -1;
    } else {
        if (p->provider) {
            if (!(cfg->flags & CONFIG_EXTRA)) {
                warnx("Duplicate package '%.*s'", n, db.cursor);
                return -2;
            }
            // The earlier definition is dropped.
            for (package *q = cfg->packages; q; q = q->next)
                if (q != p && q->provider == p)
                    q->provider = nullptr;
            p->provider = nullptr;
        }
        db.cursor += n;
        release_resources(cfg, p);
        p->objects = nullptr;
        p->source = nullptr;
    }
    *out = p;
    return 0;
}

int parse_package(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    if (cfg->flags & CONFIG_ACCOUNT_MODE) {
        warnx("The package tag '%.*s' not allowed here", length, db.cursor);
        return -2;
    }
    report_pending(cfg);
    cfg->current_object = nullptr;
    cfg->data_tail = nullptr;
    cfg->loose_requests = nullptr;
    if (f->next) {
        warnx("The package tag '%.*s' was not the first in record", length, db.cursor);
        return -2;
    }
    package *p;
    int r = define_package(cfg, db, f, length, &p);
    if (r != 0)
        return r;
    p->provider = p;
    cfg->current = p;
    f->value = p;
    return 0;
}

int parse_provides(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    if (cfg->flags & CONFIG_ACCOUNT_MODE) {
        warnx("The Provides tag '%.*s' not allowed here", length, db.cursor);
        return -2;
    }
    package *current = cfg->current;
    if (!current)
        return no_current_package();
    // Naming the current package is refused before anything changes: with
    // an extra configuration the definition below would drop it.
    {
        char *value = db.cursor;
        int n = one_line_value(db, length);
        const char *name = db.cursor;
        db.cursor = value;
        if (n >= 0) {
            if (is_system_name(name, n))
                n = 0, name = "";
            if (size_t(n) == current->name_length &&
                std::memcmp(name, current->name, size_t(n)) == 0) {
                warnx("Package '%s' provides self -- this is not acceptable", current->name);
                return -2;
            }
        }
    }
    package *p;
    int r = define_package(cfg, db, f, length, &p);
    if (r != 0)
        return r;
    p->provider = current;
    if (current->type == -1 && p->type != -1)
        current->type = p->type;
    f->value = p;
    return 0;
}

int parse_source(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    package *current = cfg->current;
    if (!current)
        return no_current_package();
    int n = tag_value(db, length, "source");
    if (n < 0)
        return n;
    if (current->source) {
        warnx("Package '%s' has multiple source definitions: '%s' and '%.*s'", current->name,
              current->source->name, n, db.cursor);
        return -2;
    }
    char *token = db.cursor;
    int whole = n;
    package *q = package_qualifier(db, &n, cfg->source_package);
    if (!q) {
        warnx("Out of memory in parsing package '%s' source '%.*s'", current->name, whole, token);
        return -1;
    }
    if (q != cfg->source_package) {
        warnx("Bad source %s::%.*s in package '%s'", q->name, n, db.cursor, current->name);
        return -2;
    }
    resource *r = find_or_make_resource(db, q, size_t(n));
    if (!r) {
        warnx("Out of memory in parsing package '%s' source '%.*s'", current->name, n,
              db.cursor);
        return -1;
    }
    current->source = r;
    f->value = r;
    return 0;
}

int RequestCb::apply(DB &db, int length)
{
    package *current = cfg->current;
    if (length == 0) {
        warnx("Request for empty credential string ignored in %s", name_or(current, "(unknown)"));
        return 0;
    }
    if (*db.cursor == ':') {
        db.cursor += length;
        return 0;
    }
    int n = length;
    char *token = db.cursor;
    package *p = package_qualifier(db, &n, current);
    if (!p) {
        warnx("Cannot locate/make resource defining package for '%.*s'", length, token);
        return -1;
    }
    resource *r = find_resource(p, db.cursor, size_t(n));
    if (!r && p == current && cfg->system_package) {
        r = find_resource(cfg->system_package, db.cursor, size_t(n));
        if (r)
            p = cfg->system_package;
    }
    if (r) {
        db.cursor += n;
    } else {
        if (p->provider && !(cfg->flags & CONFIG_EXTRA))
            warnx("The package '%s' does not provide for resource '%.*s'", p->name, n, db.cursor);
        r = make_resource(db, size_t(n), p);
        if (!r)
            return -1;
    }
    auto *req = static_cast<request *>(db.alloc_aligned(sizeof(request)));
    if (!req)
        return -1;
    req->pkg = p;
    req->res = r;
    *link = req;
    link = &req->next;
    if (p != current)
        r->references++;
    return 0;
}

int ProvideCb::apply(DB &db, int length)
{
    package *current = cfg->current;
    if (length == 0) {
        warnx("Provide for empty credential string ignored in %s", name_or(current, "(unknown)"));
        return 0;
    }
    int n = length;
    char *token = db.cursor;
    package *p = package_qualifier(db, &n, current);
    if (!p) {
        warnx("Out of memory for '%.*s", length, token);
        return -1;
    }
    if (p != current) {
        warnx("Package '%s' tries to provide a credential '%s::%.*s' -- ignored", current->name,
              p->name, n, db.cursor);
        db.cursor += n;
        return 0;
    }
    if (resource *r = take_pending(cfg, db.cursor, size_t(n))) {
        r->value = -1;
        append_resource(current, r);
        db.cursor += n;
        return 0;
    }
    return find_or_make_resource(db, current, size_t(n)) ? 0 : -1;
}

namespace {
extern const tag request_tag;
extern const tag provide_tag;
}  // namespace

int parse_tokens(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    package *current = cfg->current;
    if (!current)
        return no_current_package();
    if (f->t == &request_tag) {
        request **head = cfg->current_object ? &cfg->current_object->requests
                                             : &cfg->loose_requests;
        *head = nullptr;
        RequestCb cb(cfg, head);
        int r = db.split(length, 0, cb);
        if (r < 0)
            return r;
        f->value = *head;
        return 0;
    }
    ProvideCb cb(cfg);
    int r = db.split(length, 0, cb);
    if (r < 0)
        return r;
    f->value = current->resources;
    return 0;
}

int parse_object(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    package *current = cfg->current;
    if (!current)
        return no_current_package();
    int n = tag_value(db, length, "object");
    if (n < 0)
        return n;
    package *owner = package_qualifier(db, &n, current);
    if (!owner) {
        warnx("Object registry not properly initialized");
        return -2;
    }
    for (object *o = current->objects; o; o = o->next)
        if (o->owner == owner && o->res->name_length == size_t(n) &&
            std::memcmp(o->res->name, db.cursor, size_t(n)) == 0) {
            warnx("Duplicate definition of object '%s::%s'", owner->name, o->res->name);
            return -2;
        }
    auto *obj = static_cast<object *>(db.alloc_aligned(sizeof(object)));
    if (!obj)
        return -1;
    obj->owner = owner;
    obj->requests = cfg->loose_requests;
    resource *r;
    if (owner == current) {
        obj->flags = creds_flags_from_text(nullptr, &obj->mask);
        r = take_pending(cfg, db.cursor, size_t(n));
        if (r) {
            r->value = -1;
            append_resource(current, r);
            db.cursor += n;
        } else {
            r = find_or_make_resource(db, owner, size_t(n));
        }
    } else {
        obj->flags = 0;
        obj->mask = 0;
        r = find_or_make_resource(db, owner, size_t(n));
        if (r)
            r->references++;
    }
    if (!r)
        return -1;
    obj->res = r;
    object **link = &current->objects;
    while (*link)
        link = &(*link)->next;
    *link = obj;
    cfg->data_tail = &obj->data;
    cfg->current_object = obj;
    f->value = obj;
    return 0;
}

int parse_policy(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    object *obj = cfg->current_object;
    if (!obj) {
        warnx("'Policy: %.*s' without preceding Object in package '%s'\n", length, db.cursor,
              name_or(cfg->current, "[no-package]"));
        return -2;
    }
    auto *text = static_cast<char *>(db.copy(0, size_t(length)));
    if (!text)
        return -1;
    f->value = text;
    obj->flags = creds_flags_from_text(text, &obj->mask);
    if (obj->flags == -1) {
        if (obj->mask == 0)
            warnx("'Policy: %s' has unknown keyword(s) in package '%s'\n\n", text,
                  name_or(cfg->current, "[no-package]"));
        else
            warnx("'Polixy: %s' has conflicting keyword(s) in package '%s'\n", text,
                  name_or(cfg->current, "[no-package]"));
    }
    return 0;
}

int parse_data(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    if (!cfg->current)
        return no_current_package();
    if (!cfg->data_tail) {
        db.cursor += length;
        f->value = nullptr;
        return 0;
    }
    auto *rec = static_cast<data_record *>(db.copy(offsetof(data_record, text), size_t(length)));
    if (!rec) {
        warnx("Out of memory while reading data '%s' for '%s'", f->t->name, cfg->current->name);
        return -1;
    }
    rec->fld = f;
    rec->length = length;
    *cfg->data_tail = rec;
    cfg->data_tail = &rec->next;
    f->value = rec;
    return 0;
}

int parse_account_mode(DB &db, int length, field *f)
{
    db.cfg->flags |= CONFIG_ACCOUNT_MODE;
    db.cursor += length;
    f->value = nullptr;
    return 0;
}

int parse_account_line(DB &db, int length, field *f)
{
    configuration *cfg = db.cfg;
    package *current = cfg->current;
    if (!current)
        return no_current_package();
    char *line = db.cursor;
    char *line_end = line + length;
    char *colon = static_cast<char *>(std::memchr(line, ':', size_t(length)));
    int first = int((colon ? colon : line_end) - line);
    int type = current->type;
    if (type == -1 || (type != restok_types[0].type && type != restok_types[1].type)) {
        warnx("Ignoring unknown tag '%.*s' while processing '%s'", first, line, current->name);
        db.cursor = line_end;
        f->value = nullptr;
        return 0;
    }
    // The third field, read before the name's copy may overwrite the line.
    long value = -1;
    char *second = colon ? static_cast<char *>(std::memchr(colon + 1, ':',
                                                           size_t(line_end - colon - 1)))
                         : nullptr;
    if (second)
        value = line_number(second + 1, line_end);
    resource *r = make_resource(db, size_t(first), current);
    if (!r)
        return -1;
    r->value = int(value);
    db.cursor = line_end;
    f->value = nullptr;
    return 0;
}

// ---- Print operations ---------------------------------------------------

namespace {

int print_package(const field *f, output_fn out)
{
    return out(" %s", static_cast<const package *>(f->value)->name);
}

int print_source(const field *f, output_fn out)
{
    return out(" %s", static_cast<const resource *>(f->value)->name);
}

int print_tokens(const field *f, output_fn out)
{
    if (f->t == &request_tag) {
        for (auto *r = static_cast<const request *>(f->value); r; r = r->next)
            if (out("\n\t%s::%s", r->pkg->name, r->res->name) < 0)
                return -1;
        return 0;
    }
    if (f->t == &provide_tag) {
        for (auto *r = static_cast<const resource *>(f->value); r; r = r->next)
            if (out("\n\t%s", r->name) < 0)
                return -1;
        return 0;
    }
    return out("<tokens printer>");
}

int print_object(const field *f, output_fn out)
{
    return out(" %s", static_cast<const object *>(f->value)->res->name);
}

int print_data(const field *f, output_fn out)
{
    auto *rec = static_cast<const data_record *>(f->value);
    return rec ? out(" %s", rec->text) : 0;
}

int print_text(const field *f, output_fn out)
{
    return out("%s", static_cast<const char *>(f->value));
}

int print_nothing(const field *, output_fn) { return 0; }

const tag_ops package_ops = {parse_package, print_package};
const tag_ops source_ops = {parse_source, print_source};
const tag_ops provides_ops = {parse_provides, print_package};
const tag_ops tokens_ops = {parse_tokens, print_tokens};
const tag_ops object_ops = {parse_object, print_object};
const tag_ops data_ops = {parse_data, print_data};
const tag_ops policy_ops = {parse_policy, print_text};
const tag_ops account_mode_ops = {parse_account_mode, print_nothing};
const tag_ops account_line_ops = {parse_account_line, print_nothing};

#define KS_TAG(ops, name) {&ops, name, int(sizeof(name) - 1)}
const tag package_tag = KS_TAG(package_ops, "Package");
const tag source_tag = KS_TAG(source_ops, "Source");
const tag provides_tag = KS_TAG(provides_ops, "Provides");
const tag request_tag = KS_TAG(tokens_ops, "Request");
const tag provide_tag = KS_TAG(tokens_ops, "Provide");
const tag object_tag = KS_TAG(object_ops, "Object");
const tag key_tag = KS_TAG(data_ops, "Key");
const tag rank_tag = KS_TAG(data_ops, "Rank");
const tag untrusted_tag = KS_TAG(data_ops, "Untrusted");
const tag recover_tag = KS_TAG(data_ops, "Recover");
const tag grant_tag = KS_TAG(data_ops, "Grant");
const tag policy_tag = KS_TAG(policy_ops, "Policy");
const tag account_package_tag = KS_TAG(package_ops, "-Package");
const tag account_provides_tag = KS_TAG(provides_ops, "-Provides");
const tag account_mode_tag = KS_TAG(account_mode_ops, "-");
const tag account_line_tag = KS_TAG(account_line_ops, "");
#undef KS_TAG

}  // namespace

const tag *const restok_tags[] = {
    &package_tag, &source_tag, &provides_tag, &request_tag, &provide_tag, &object_tag,
    &key_tag,     &rank_tag,   &untrusted_tag, &recover_tag, &grant_tag,  &policy_tag,
    nullptr,
};

const tag *const restok_account_tags[] = {
    &account_package_tag, &account_provides_tag, &account_mode_tag, &account_line_tag, nullptr,
};

}  // namespace RESTOK
