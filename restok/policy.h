// The resource-token policy: its text parser, the model the parser builds,
// loading, printing, and bringing the model into the kernel.
//
// A loaded policy is one RESTOK::configuration: a heap block holding the
// configuration's fields, the parser header, a 2000-byte arena and, right
// behind the arena, the policy text. The parser reads the text in place and
// builds its structures in the part of the text it has already read (the
// arena grows into it), so most policies need no memory beyond their own
// block; the rest comes from overflow chunks of at least 2000 bytes owned by
// the configuration. Nothing is freed piece by piece: the whole model goes
// with restok_destroy.
//
// All messages go to standard error with warnx or warn.
#pragma once

#include "creds/creds.h"

#include <cstddef>
#include <cstdint>

namespace RESTOK {

struct package;
struct resource;
struct object;
struct request;
struct data_record;
struct field;
struct record;
struct tag;
struct configuration;
class DB;

// Alignment of the structures the parser places in its memory: 4 on the
// device, where every field is a 32-bit word or pointer; the pointer size
// elsewhere.
constexpr size_t PARSER_ALIGN = alignof(void *);
constexpr unsigned PARSER_MASK = unsigned(PARSER_ALIGN - 1);
// Parser arena of a policy and of an account file.
constexpr int ARENA_SIZE = 2000;
constexpr int ACCOUNT_ARENA_SIZE = 100;
// Smallest data size of an overflow chunk.
constexpr size_t CHUNK_MIN_SIZE = 2000;
// Longest names of packages and resources.
constexpr size_t PACKAGE_NAME_MAX = 255;
constexpr size_t RESOURCE_NAME_MAX = 65535;

// ---- The model --------------------------------------------------------

struct package {
    package *next;
    // The package that defines this package's resources: itself after its
    // "Package" line, another package after that one's "Provides" line,
    // null while the package is only referenced.
    package *provider;
    resource *source;     // its "Source" resource in "SRC", or null
    resource *resources;
    object *objects;
    // Kernel token id: 0 not registered, > 0 registered, -1 registration
    // failed or never to be registered.
    int id;
    int type;             // credential type of its resources, -1 unknown
    uint8_t name_length;
    char name[];
};

struct resource {
    resource *next;
    int references;       // objects and requests of other packages
    int value;            // token id or credential value, -1 unresolved
    uint16_t name_length;
    char name[];
};

struct object {
    object *next;
    int flags;            // policy-flag word
    int mask;             // flag groups given
    request *requests;
    package *owner;       // the package whose resource it is
    resource *res;
    data_record *data;
};

struct request {
    request *next;
    package *pkg;
    resource *res;
};

struct data_record {
    data_record *next;
    const field *fld;     // gives the tag
    int length;
    char text[];          // the value as written, terminated
};

// Overflow memory of a configuration, newest first. Memory is taken from
// the top of the data downwards.
struct chunk {
    chunk *next;
    size_t free;          // bytes not yet handed out, from the data start
    alignas(PARSER_ALIGN) unsigned char data[];
};

// ---- The parser's structures -------------------------------------------

using output_fn = int (*)(const char *format, ...);

struct tag_ops {
    // Called with the cursor at the value (for the catch-all at the line)
    // and the value's length; leaves the cursor at the value's end and sets
    // the field's value. 0, -1 (memory) or -2 (syntax or meaning).
    int (*parse)(DB &db, int length, field *f);
    // Prints the field's value after "%s:" with the tag's name.
    int (*print)(const field *f, output_fn out);
};

struct tag {
    const tag_ops *ops;
    const char *name;
    int length;
    char storage[];       // the name of a tag the parser made itself
};

// Value of a field whose parse operation has not set it.
inline void *const FIELD_UNSET = reinterpret_cast<void *>(intptr_t(-1));

struct field {
    const tag *t;
    // While the parse operation runs: the record's first field (null for
    // the first one); afterwards the next field of the record.
    field *next;
    void *value;
};

struct record {
    record *next;
    field *fields;
};

struct unknown_tag {
    unknown_tag *next;
    tag *t;
};

// In front of the parser's arena.
struct db_header {
    unknown_tag *unknown;
    const tag *const *table;
    record *records;
};

// One parse over a buffer: the header, the arena right behind it and the
// text right behind the arena.
class DB {
public:
    // Where memory comes from once the arena is full.
    class Overflow {
    public:
        virtual ~Overflow() = default;
        // size bytes aligned to mask + 1, or null.
        virtual void *alloc(size_t size, unsigned mask);
    };
    // Called for each token of a split value with the cursor at the token.
    class SplitCb {
    public:
        virtual ~SplitCb() = default;
        virtual int apply(DB &db, int length) = 0;
    };

    DB(db_header *header, char *arena, char *text, char *end, configuration *cfg,
       Overflow *overflow);

    // Reads the text into records: the room left between arena and end
    // (0 or more), -1 memory, -2 syntax or meaning, or the negative result
    // of a tag's parse operation or of the record callback.
    int parse(const tag *const *table, int (*callback)(DB &db));
    // The tag of n characters at the cursor: a table entry (the empty-named
    // catch-all leaves the cursor, any other moves it over the tag), a tag
    // seen before, or a new unknown tag; null when memory runs out.
    const tag *find_tag(int n);
    // Skips white space, then measures the token up to the delimiter (0:
    // white space) before end, trailing white space trimmed. *skip is what
    // lies from the token's end past the delimiter. 1 when the delimiter was
    // found.
    int next_token(const char *end, char delimiter, int *length, int *skip);
    // Calls cb for every token of the next length characters.
    int split(int length, char delimiter, SplitCb &cb);
    // Prints every record; 0, or -1 when out reports an error.
    int print(output_fn out) const;

    // Zeroed memory below the cursor, else from the overflow; null when
    // neither has room.
    void *alloc(size_t n);
    // Pads the arena position to PARSER_ALIGN with '-'.
    void align();
    void *alloc_aligned(size_t n);
    // head zeroed bytes followed by the next length characters of the text,
    // terminated; the cursor moves over them. With a head the memory is
    // aligned. The copy may overlap the very text it copies.
    void *copy(size_t head, size_t length);

    db_header *header;
    Overflow *overflow;
    char *arena_pos;
    char *cursor;
    char *end;
    configuration *cfg;
};

// The overflow of a configuration's parses.
class Allocator : public DB::Overflow {
public:
    explicit Allocator(configuration *c) : cfg(c) {}
    void *alloc(size_t size, unsigned mask) override;

private:
    configuration *cfg;
};

// Configuration flags.
constexpr uint8_t CONFIG_ACCOUNT_MODE = 0x01;  // inside an account file
constexpr uint8_t CONFIG_EXTRA = 0x02;         // an extra configuration was given
constexpr uint8_t CONFIG_UNTRUSTED = 0x04;     // the policy failed its signature

// Look-up tables of a configuration (model.cpp, activate.cpp): packages by
// name, overflow chunks by free room, objects by resource.
struct package_index;
struct chunk_index;
struct object_index;

struct configuration {
    package *packages;
    package *last_package;
    package *system_package;   // the empty name, written "_system_"
    package *source_package;   // "SRC"
    package *socket_package;   // "_socket_"
    // Parse state.
    package *current;
    object *current_object;
    data_record **data_tail;   // where the current object's next data goes
    request *loose_requests;   // requests before the package's first object
    resource *pending;         // referenced resources awaiting a provider
    char *user_accounts;       // the parsed "/etc/passwd" buffer
    char *group_accounts;      // the parsed "/etc/group" buffer
    uint8_t flags;
    int unresolved;
    chunk *chunks;
    // Owned by the configuration, made when first needed; the lists above
    // stay what the model is, these only find in them faster.
    package_index *names;      // first package of each name
    chunk_index *chunk_room;   // free room of every chunk, newest first
    object_index *by_resource; // while activating: objects of each resource
    db_header header;
    alignas(PARSER_ALIGN) char arena[ARENA_SIZE];
    // The policy text follows the arena directly.

    // size bytes aligned to mask + 1 from the overflow chunks; null when
    // memory runs out. mask must be one less than a power of two.
    void *alloc(size_t size, unsigned mask);
    char *text() { return arena + ARENA_SIZE; }
};

// Credential types of the built-in account packages, set by every load.
struct type_row {
    int type;
    char name[4];
};
extern type_row restok_types[4];  // "UID", "GID", "GRP", "CAP"
void set_restok_types();

// ---- Packages and resources --------------------------------------------

package *find_package(const configuration *cfg, const char *name, size_t length);
// Clears the package's lists, gives it its type and appends it; null (with
// a message) for a name above 255 characters.
package *register_package(configuration *cfg, package *p, size_t length);
// The length characters at the cursor as a new package.
package *make_package(DB &db, size_t length);
// A package in a heap block of its own, its own provider.
package *builtin_package(configuration *cfg, const char *name);
// Among the resources of the package's provider (of the package itself
// without one).
resource *find_resource(const package *p, const char *name, size_t length);
// The resource named by the length characters at the cursor, which moves
// over them.
resource *find_or_make_resource(DB &db, package *p, size_t length);
resource *make_resource(DB &db, size_t length, package *p);

// ---- Parsing ------------------------------------------------------------

extern const tag *const restok_tags[];
extern const tag *const restok_account_tags[];
// Operations of a tag the tables do not hold.
extern const tag_ops default_tag_ops;

int restok_parse(db_header *header, int text_length, int arena_size, const tag *const *table,
                 configuration *cfg, int (*callback)(DB &db), DB::Overflow *overflow);

// The package that qualifies the token of *length characters at the cursor
// ("name::"), created as a reference when unknown; the default without
// "::". The cursor moves past the qualifier and *length shrinks. Null only
// when memory runs out.
package *package_qualifier(DB &db, int *length, package *default_package);
int define_package(configuration *cfg, DB &db, field *f, int length, package **out);
void report_pending(configuration *cfg);

int parse_package(DB &db, int length, field *f);
int parse_provides(DB &db, int length, field *f);
int parse_source(DB &db, int length, field *f);
int parse_tokens(DB &db, int length, field *f);
int parse_object(DB &db, int length, field *f);
int parse_policy(DB &db, int length, field *f);
int parse_data(DB &db, int length, field *f);
int parse_account_mode(DB &db, int length, field *f);
int parse_account_line(DB &db, int length, field *f);

class ProvideCb : public DB::SplitCb {
public:
    explicit ProvideCb(configuration *c) : cfg(c) {}
    int apply(DB &db, int length) override;

private:
    configuration *cfg;
};

class RequestCb : public DB::SplitCb {
public:
    RequestCb(configuration *c, request **l) : cfg(c), link(l) {}
    int apply(DB &db, int length) override;

private:
    configuration *cfg;
    request **link;
};

}  // namespace RESTOK

// ---- The library's operations ---------------------------------------------

// The text of a load_files pair that names, in its file position, the
// token under which the next file must verify; recognised by its address.
extern const char RESTOK_VERIFY[];
// The policy file read when restok_load is given no path.
extern const char RESTOK_POLICY_PATH[];

// Load flags of restok_load_files.
constexpr int RESTOK_LOAD_OPEN = 1;       // a file could not be opened
constexpr int RESTOK_LOAD_READ = 2;       // not sized, too large, not read whole
constexpr int RESTOK_LOAD_VERIFY = 8;     // did not verify under its token

// Loads the policy (null: RESTOK_POLICY_PATH) with the user and group
// databases. extra: with extra_length 0 the path of a second file read
// after the policy (or null), with extra_length > 0 that many bytes
// appended to the text. The configuration, or null.
RESTOK::configuration *restok_load(const char *path, const char *extra, int extra_length);
// One buffer: head zeroed bytes, then each (text, file) pair's text and the
// file's content, then tail zeroed bytes; *size its length. Pairs end with
// a null text; at most 10 files.
char *restok_load_files(int head, int tail, int *flags, int *size, ...);
// The account file parsed behind the head text: the buffer, or null when
// it cannot be had. After a parse error the buffer is still returned (and
// reported): what was parsed before the error stays linked in the
// configuration and lives in it.
char *restok_load_account_file(RESTOK::configuration *cfg, const char *head, const char *file);

int restok_is_untrusted(const RESTOK::configuration *cfg);
void restok_set_untrusted(RESTOK::configuration *cfg);
void restok_destroy(RESTOK::configuration *cfg);
void restok_free(RESTOK::configuration *cfg);

// The parsed records of the policy text on standard output; 0, -1 on an
// output error.
int restok_dump(const RESTOK::configuration *cfg);
// The model as policy text on standard output.
void restok_print_policy(const RESTOK::configuration *cfg);
void restok_print(const RESTOK::configuration *cfg);

// Registers packages and unresolved resources with the kernel: 0, or -1
// when anything could not be defined (the rest is still done).
int restok_define_resources(RESTOK::configuration *cfg);
// One credential policy per object to the kernel: 0, -1, or 1 when a
// package's source id could not be added.
int restok_activate_policy(RESTOK::configuration *cfg);
// Adds to *set what an object on resource r of package p grants.
int build_object_creds(RESTOK::configuration *cfg, creds_handle *set, RESTOK::package *p,
                       RESTOK::resource *r, const creds_set *filter);
// Credential type of "package::resource", its value in *value; -1.
int restok_credential(const char *package_name, const char *resource_name, long *value);
// creds_define_policy for "package::object" (the object alone for a null
// package); -1 when the name does not fit 512 bytes.
int define_object_policy(const char *package_name, int flags, const char *object_name,
                         const creds_set *set);
