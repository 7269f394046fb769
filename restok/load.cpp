// Loading the policy file and the user and group databases into one
// configuration, and printing a loaded policy.
#include "restok/policy.h"
#include "restok/restok.h"

#include "crypto/tarvo_crypto.h"

#include "support/tarvo_file.h"

#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

using RESTOK::configuration;
using RESTOK::package;

const char RESTOK_VERIFY[] = "VERIFY";
const char RESTOK_POLICY_PATH[] = "/var/lib/tarvo/restok/restok.conf";

namespace {

constexpr int64_t LOAD_MAX = 0x7fffffff;
// The largest file loaded: a policy of tens of thousands of packages, or
// account files of as many accounts, is a few megabytes; a file beyond
// this is refused before its buffer takes the memory.
constexpr int64_t LOAD_FILE_MAX = 16 << 20;
constexpr int MAX_FILES = 10;

const char PASSWD_PATH[] = "/etc/passwd";
const char GROUP_PATH[] = "/etc/group";
const char PASSWD_HEAD[] = "-Package: UID\n-:\n";
const char GROUP_HEAD[] = "-Package: GID\n-Provides: GRP\n-:\n";

struct load_pair {
    const char *text;
    const char *file;
    const char *token;  // the token the content must verify under, or null
    int fd;
    int64_t size;
};

// Reads up to size bytes; the count read, or -1 with errno.
ssize_t read_whole(int fd, char *buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, buffer + got, size - got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        got += size_t(n);
    }
    return ssize_t(got);
}

}  // namespace

char *restok_load_files(int head, int tail, int *flags, int *size, ...)
{
    *flags = 0;
    if (head < 0 || tail < 0 || int64_t(head) + tail > LOAD_MAX) {
        warnx("Combined head_room(%d) and tail_room(%d) exceeds SSIZE_MAX(%ld)", head, tail,
              long(LOAD_MAX));
        return nullptr;
    }
    int64_t total = int64_t(head) + tail;
    load_pair pairs[MAX_FILES + 1];
    int count = 0, files = 0;
    const char *token = nullptr;

    va_list ap;
    va_start(ap, size);
    for (;;) {
        const char *text = va_arg(ap, const char *);
        if (!text)
            break;
        const char *file = va_arg(ap, const char *);
        if (text == RESTOK_VERIFY) {
            token = file;
            continue;
        }
        if (file && files == MAX_FILES)
            break;
        size_t tl = std::strlen(text);
        load_pair &p = pairs[count++];
        p = {text, file, token, -1, 0};
        token = nullptr;
        if (int64_t(tl) > LOAD_MAX - total) {
            warnx("File size would exceed maximum for '%s'", file ? file : text);
            *flags |= RESTOK_LOAD_READ;
            p.text = "";
        } else {
            total += int64_t(tl);
        }
        if (!file)
            break;
        files++;
        // Without blocking, and a regular file only: a FIFO, a terminal or a
        // device in a file's place must not stall the boot.
        p.fd = tarvo_open_regular_file(file, 0);
        if (p.fd < 0) {
            warn("Failed opening '%s'", file);
            *flags |= RESTOK_LOAD_OPEN;
            continue;
        }
        struct stat st;
        if (fstat(p.fd, &st) != 0) {
            warn("Failed stat on %s", file);
            *flags |= RESTOK_LOAD_READ;
            continue;
        }
        if (st.st_size < 0 || int64_t(st.st_size) > LOAD_FILE_MAX ||
            int64_t(st.st_size) > LOAD_MAX - total) {
            warnx("File size would exceed maximum for '%s'", file);
            *flags |= RESTOK_LOAD_READ;
            continue;
        }
        p.size = int64_t(st.st_size);
        total += p.size;
    }
    va_end(ap);

    auto close_all = [&] {
        for (int i = 0; i < count; i++)
            if (pairs[i].fd >= 0)
                close(pairs[i].fd);
    };
    *size = int(total);
    char *buffer = static_cast<char *>(std::malloc(size_t(total) ? size_t(total) : 1));
    if (!buffer) {
        warn("Allocating buffer size=%u failed", unsigned(total));
        close_all();
        return nullptr;
    }
    std::memset(buffer, 0, size_t(head));
    char *pos = buffer + head;
    for (int i = 0; i < count; i++) {
        load_pair &p = pairs[i];
        size_t tl = std::strlen(p.text);
        std::memcpy(pos, p.text, tl);
        pos += tl;
        if (p.fd < 0)
            continue;
        ssize_t got = read_whole(p.fd, pos, size_t(p.size));
        if (got < 0) {
            warn("Failed to read '%s'", p.file);
            *flags |= RESTOK_LOAD_READ;
            continue;
        }
        if (got != p.size) {
            warnx("Bad read on '%s' -- only got %d out of %d", p.file, int(got), int(p.size));
            *flags |= RESTOK_LOAD_READ;
            continue;
        }
        if (p.token &&
            tarvo_crypto_verify_file(p.file, reinterpret_cast<unsigned char *>(pos),
                                     size_t(p.size), p.token) != 0) {
            warnx("File '%s' fails '%s' signature", p.file, p.token);
            *flags |= RESTOK_LOAD_VERIFY;
        }
        pos += p.size;
    }
    close_all();
    // Room of contents that could not be read whole is not part of the
    // text: the tail follows what was read, and the buffer ends there.
    std::memset(pos, 0, size_t(tail));
    *size = int(pos - buffer) + tail;
    return buffer;
}

char *restok_load_account_file(configuration *cfg, const char *head, const char *file)
{
    const int head_room = int(sizeof(RESTOK::db_header)) + RESTOK::ACCOUNT_ARENA_SIZE;
    int flags = 0, size = 0;
    char *buffer = restok_load_files(head_room, 0, &flags, &size, head, file, nullptr);
    if (!buffer) {
        warnx("Failed loading '%s'", file);
        return nullptr;
    }
    RESTOK::Allocator allocator(cfg);
    cfg->flags &= uint8_t(~RESTOK::CONFIG_ACCOUNT_MODE);
    int rc = RESTOK::restok_parse(reinterpret_cast<RESTOK::db_header *>(buffer), size - head_room,
                                  RESTOK::ACCOUNT_ARENA_SIZE, RESTOK::restok_account_tags, cfg,
                                  nullptr, &allocator);
    cfg->flags &= uint8_t(~RESTOK::CONFIG_ACCOUNT_MODE);
    // What was parsed before a failure stays linked in the configuration
    // and lives in this buffer, so the buffer is kept either way.
    if (rc < 0)
        warnx("Failed parsing '%s'", file);
    return buffer;
}

configuration *restok_load(const char *path, const char *extra, int extra_length)
{
    if (restok_grp_type == -1)
        warnx("Couldn't find credentials type for 'GRP::'");
    if (!path)
        path = RESTOK_POLICY_PATH;
    if (extra_length < 0) {
        warnx("Bad length %d of the extra configuration", extra_length);
        return nullptr;
    }
    RESTOK::set_restok_types();

    const int head = int(sizeof(configuration));
    int flags = 0, size = 0;
    char *buffer = restok_load_files(head, extra_length, &flags, &size, RESTOK_VERIFY, "tcb", "",
                                     path, "\n", extra_length == 0 ? extra : nullptr, nullptr);
    if (!buffer) {
        warnx("Allocating buffer size=%d failed", size);
        return nullptr;
    }
    if (flags & (RESTOK_LOAD_OPEN | RESTOK_LOAD_READ)) {
        warnx("Could not get all requested files");
        std::free(buffer);
        return nullptr;
    }
    auto *cfg = new (buffer) configuration();
    if (flags & RESTOK_LOAD_VERIFY)
        cfg->flags |= RESTOK::CONFIG_UNTRUSTED;
    if (extra)
        cfg->flags |= RESTOK::CONFIG_EXTRA;
    if (extra_length > 0 && extra)
        std::memcpy(buffer + size - extra_length, extra, size_t(extra_length));

    RESTOK::Allocator allocator(cfg);
    cfg->source_package = RESTOK::builtin_package(cfg, "SRC");
    cfg->socket_package = RESTOK::builtin_package(cfg, "_socket_");
    cfg->system_package = RESTOK::builtin_package(cfg, "");
    if (!cfg->source_package || !cfg->socket_package || !cfg->system_package) {
        warnx("Error in processing the policy");
        restok_destroy(cfg);
        return nullptr;
    }
    cfg->socket_package->provider = nullptr;
    cfg->system_package->provider = nullptr;

    cfg->user_accounts = restok_load_account_file(cfg, PASSWD_HEAD, PASSWD_PATH);
    cfg->group_accounts = restok_load_account_file(cfg, GROUP_HEAD, GROUP_PATH);

    // The policy text starts afresh: nothing of the group database's
    // package carries over into it.
    cfg->current = nullptr;
    cfg->current_object = nullptr;
    cfg->data_tail = nullptr;
    cfg->loose_requests = nullptr;

    int rc = RESTOK::restok_parse(&cfg->header, size - head, RESTOK::ARENA_SIZE,
                                  RESTOK::restok_tags, cfg, nullptr, &allocator);
    if (rc < 0) {
        warnx("Error in processing the policy");
        restok_destroy(cfg);
        return nullptr;
    }
    RESTOK::report_pending(cfg);
    if (cfg->unresolved)
        warnx("Warning: configuration has %d unresolved resources", cfg->unresolved);
    return cfg;
}

int restok_dump(const configuration *cfg)
{
    if (!cfg)
        return 0;
    RESTOK::DB db(const_cast<RESTOK::db_header *>(&cfg->header), nullptr, nullptr, nullptr,
                  nullptr, nullptr);
    return db.print(printf);
}

namespace {

const char *printed_name(const configuration *cfg, const package *p)
{
    return p == cfg->system_package ? "_system_" : p->name;
}

bool named(const package *p, const char *name)
{
    return p->name_length == std::strlen(name) && std::memcmp(p->name, name, p->name_length) == 0;
}

}  // namespace

void restok_print_policy(const configuration *cfg)
{
    if (!cfg)
        return;
    const package *sys = cfg->system_package;
    for (const package *p = cfg->packages; p; p = p->next) {
        if (p->provider != p || named(p, "UID") || named(p, "GID") || p == cfg->source_package)
            continue;
        std::printf("Package: %s\n", printed_name(cfg, p));
        if (p->source)
            std::printf("Source: %s\n", p->source->name);
        for (const package *q = cfg->packages; q; q = q->next)
            if (q != p && q->provider == p)
                std::printf("Provides:\n\t%s\n", printed_name(cfg, q));
        const char *lead = "Provide:\n";
        for (const RESTOK::resource *r = p->resources; r; r = r->next) {
            if (r->name[0] == '/')
                continue;
            std::printf("%s\t%s\n", lead, r->name);
            lead = "";
        }
        for (const RESTOK::object *o = p->objects; o; o = o->next) {
            if (o->owner == p)
                std::printf("Object: %s\n", o->res->name);
            else
                std::printf("Object: %s::%s\n", o->owner->name, o->res->name);
            if (o->mask != 0 &&
                (o->flags != CREDS_FLAGS_DEFAULT || o->mask != CREDS_FLAGS_DEFAULT_MASK)) {
                char words[256];
                creds_flags_to_text(o->flags, o->mask, words, sizeof words);
                std::printf("Policy: %s\n", words);
            }
            if (o->requests) {
                std::printf("Request:\n");
                for (const RESTOK::request *r = o->requests; r; r = r->next) {
                    if (r->pkg == sys || (sys && r->pkg == sys->provider))
                        std::printf("\t%s\n", r->res->name);
                    else
                        std::printf("\t%s::%s\n", r->pkg->name, r->res->name);
                }
            }
            for (const RESTOK::data_record *d = o->data; d; d = d->next)
                std::printf("%s:%.*s\n", d->fld->t->name, d->length, d->text);
        }
        std::printf("\n");
    }
}

void restok_print(const configuration *cfg) { restok_print_policy(cfg); }
