// The in-place parser of policy text: records of "tag:value" lines, built
// in the part of the text already read.
//
// Every scan is bounded by the end of the text; a NUL byte at the start of
// a line ends the text.
#include "restok/policy.h"

#include <err.h>

#include <cctype>
#include <cstring>

namespace RESTOK {

namespace {

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Unknown tags keep a copy of their value and print it back.
int parse_unknown(DB &db, int length, field *f)
{
    void *copy = db.copy(0, size_t(length));
    if (!copy)
        return -1;
    f->value = copy;
    return 0;
}

int print_unknown(const field *f, output_fn out)
{
    return out("%s", static_cast<const char *>(f->value));
}

}  // namespace

const tag_ops default_tag_ops = {parse_unknown, print_unknown};

DB::DB(db_header *h, char *arena, char *text, char *text_end, configuration *c, Overflow *o)
    : header(h), overflow(o), arena_pos(arena), cursor(text), end(text_end), cfg(c)
{
}

void *DB::alloc(size_t n)
{
    void *p;
    if (size_t(cursor - arena_pos) >= n) {
        p = arena_pos;
        arena_pos += n;
    } else {
        p = overflow ? overflow->alloc(n, 0) : nullptr;
        if (!p)
            return nullptr;
    }
    std::memset(p, 0, n);
    return p;
}

void DB::align()
{
    size_t misalign = reinterpret_cast<uintptr_t>(arena_pos) & PARSER_MASK;
    if (!misalign)
        return;
    size_t pad = PARSER_ALIGN - misalign;
    // The padding only ever comes from the arena: the cursor is never
    // closer to an aligned arena position than a structure's size.
    if (size_t(cursor - arena_pos) >= pad) {
        std::memset(arena_pos, '-', pad);
        arena_pos += pad;
    }
}

void *DB::alloc_aligned(size_t n)
{
    align();
    void *p;
    if ((reinterpret_cast<uintptr_t>(arena_pos) & PARSER_MASK) == 0 &&
        size_t(cursor - arena_pos) >= n) {
        p = arena_pos;
        arena_pos += n;
    } else {
        p = overflow ? overflow->alloc(n, PARSER_MASK) : nullptr;
        if (!p)
            return nullptr;
    }
    std::memset(p, 0, n);
    return p;
}

void *DB::copy(size_t head, size_t length)
{
    if (head)
        align();
    // In the arena when head + length + 1 bytes fit below the end of the
    // copied characters: the copy may then overlap them.
    bool aligned = !head || (reinterpret_cast<uintptr_t>(arena_pos) & PARSER_MASK) == 0;
    size_t room = size_t(cursor - arena_pos) + length;
    char *p;
    if (aligned && head + 1 <= room && head + length + 1 <= room) {
        p = arena_pos;
        arena_pos += head + length + 1;
    } else {
        if (length > SIZE_MAX - head - 1 || !overflow)
            return nullptr;
        p = static_cast<char *>(overflow->alloc(head + length + 1, head ? PARSER_MASK : 0));
        if (!p)
            return nullptr;
    }
    std::memset(p, 0, head);
    std::memmove(p + head, cursor, length);
    p[head + length] = '\0';
    cursor += length;
    return p;
}

const tag *DB::find_tag(int n)
{
    for (const tag *const *t = header->table; *t; t++) {
        if ((*t)->length == 0)
            return *t;
        if ((*t)->length == n && std::memcmp((*t)->name, cursor, size_t(n)) == 0) {
            cursor += n;
            return *t;
        }
    }
    for (unknown_tag *u = header->unknown; u; u = u->next)
        if (u->t->length == n && std::memcmp(u->t->name, cursor, size_t(n)) == 0) {
            cursor += n;
            return u->t;
        }
    auto *node = static_cast<unknown_tag *>(alloc_aligned(sizeof(unknown_tag)));
    if (!node)
        return nullptr;
    auto *t = static_cast<tag *>(copy(offsetof(tag, storage), size_t(n)));
    if (!t)
        return nullptr;
    t->ops = &default_tag_ops;
    t->name = t->storage;
    t->length = n;
    node->t = t;
    unknown_tag **link = &header->unknown;
    while (*link)
        link = &(*link)->next;
    *link = node;
    return t;
}

int DB::next_token(const char *stop, char delimiter, int *length, int *skip)
{
    while (cursor < stop && is_space(*cursor))
        cursor++;
    const char *p = cursor;
    if (delimiter)
        while (p < stop && *p != delimiter)
            p++;
    else
        while (p < stop && !is_space(*p))
            p++;
    bool found = p < stop;
    const char *token_end = p;
    while (token_end > cursor && is_space(token_end[-1]))
        token_end--;
    *length = int(token_end - cursor);
    *skip = int(p - token_end) + (found ? 1 : 0);
    return found ? 1 : 0;
}

int DB::split(int length, char delimiter, SplitCb &cb)
{
    const char *stop = cursor + length;
    while (cursor < stop) {
        int n, skip;
        next_token(stop, delimiter, &n, &skip);
        char *token = cursor;
        int r = cb.apply(*this, n);
        if (r < 0)
            return r;
        // Wherever the callback left it, the cursor goes on after the token.
        cursor = token + n + skip;
        if (cursor > stop)
            cursor = const_cast<char *>(stop);
    }
    return 0;
}

int DB::parse(const tag *const *table, int (*callback)(DB &db))
{
    header->unknown = nullptr;
    header->records = nullptr;
    header->table = table;
    record **last_record = &header->records;

    while (cursor < end) {
        if (*cursor == '\0')
            break;
        if (*cursor == '\n') {
            cursor++;
            if (callback) {
                int r = callback(*this);
                if (r < 0)
                    return r;
            }
            continue;
        }
        // A record: lines until an empty line, the end or a NUL.
        record *rec = nullptr;
        field **last_field = nullptr;
        while (cursor < end && *cursor != '\n' && *cursor != '\0') {
            char *line = cursor;
            char *colon = static_cast<char *>(std::memchr(cursor, ':', size_t(end - cursor)));
            if (!colon) {
                warnx("Missing ':' in '%.*s'", int(end - cursor), cursor);
                return -2;
            }
            const tag *t = find_tag(int(colon - cursor));
            if (!t)
                return -1;
            char *value = t->length == 0 ? line : colon + 1;
            cursor = value;
            // The value runs to its newline and over every following line
            // that begins with a TAB or a space.
            char *nl = value;
            for (;;) {
                nl = static_cast<char *>(std::memchr(nl, '\n', size_t(end - nl)));
                if (!nl) {
                    warnx("Cannot find newline in '%.*s'", int(end - value), value);
                    return -2;
                }
                if (nl + 1 < end && (nl[1] == '\t' || nl[1] == ' ')) {
                    nl++;
                    continue;
                }
                break;
            }
            if (!t->ops || !t->ops->parse) {
                cursor = nl + 1;
                continue;
            }
            auto *f = static_cast<field *>(alloc_aligned(sizeof(field)));
            if (!f) {
                warnx("Out of memory for '%.*s'", int(nl - value), value);
                return -1;
            }
            f->t = t;
            f->value = FIELD_UNSET;
            f->next = rec ? rec->fields : nullptr;
            int r = t->ops->parse(*this, int(nl - value), f);
            if (r != 0)
                return r;
            if (f->value == FIELD_UNSET) {
                warnx("Parser of '%s' did't initialize value", t->name);
                return -2;
            }
            f->next = nullptr;
            if (!rec) {
                rec = static_cast<record *>(alloc_aligned(sizeof(record)));
                if (!rec)
                    return -1;
                *last_record = rec;
                last_record = &rec->next;
                last_field = &rec->fields;
            }
            *last_field = f;
            last_field = &f->next;
            cursor = nl + 1;
        }
    }
    return int(end - arena_pos);
}

int DB::print(output_fn out) const
{
    for (const record *rec = header->records; rec; rec = rec->next) {
        for (const field *f = rec->fields; f; f = f->next) {
            if (out("%s:", f->t->name) < 0)
                return -1;
            if (f->t->ops && f->t->ops->print && f->t->ops->print(f, out) < 0)
                return -1;
            if (out("\n") < 0)
                return -1;
        }
        if (out("\n") < 0)
            return -1;
    }
    return 0;
}

int restok_parse(db_header *header, int text_length, int arena_size, const tag *const *table,
                 configuration *cfg, int (*callback)(DB &db), DB::Overflow *overflow)
{
    if (!header || text_length < 0 || arena_size < 0)
        return -2;
    char *arena = reinterpret_cast<char *>(header + 1);
    char *text = arena + arena_size;
    DB db(header, arena, text, text + text_length, cfg, overflow);
    return db.parse(table, callback);
}

}  // namespace RESTOK
