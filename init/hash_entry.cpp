#include "init/hash_entry.h"

#include "init/log.h"
#include "init/safe_open.h"

#include <fcntl.h>
#include <search.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// The process-wide tree (tsearch root), the descriptor of the kernel file
// while load_all runs, and the failed-write count of the whole process.
void *entry_tree = nullptr;
int hashlist_fd = -1;
int failed_writes = 0;

const char TYPE_LETTERS[] = {'s', 'x', 'd', 't', 'p'};

bool type_has_hash(int type) { return type == 0 || type == 3; }

// SHA-1 of the file at the path, read through a stdio stream in 4096-byte
// pieces; the failures are traced as the duplicate decision's own.
int compare_hash(const char *path, uint8_t digest[SHA1_DIGEST_LENGTH])
{
    int r = sha1_file(path, digest);
    switch (r) {
    case -1:
        log_trace("Cannot open %s\n", path);
        break;
    case -2:
        log_trace("Memory allocation failure in %s\n", "compare_hash");
        break;
    case -4:
        log_trace("cannot seek %s\n", "compare_hash");
        break;
    case -5:
        log_trace("error reading %s\n", "compare_hash");
        break;
    }
    return r;
}

// Which of two entries with one key stays: true for the new one.
bool second_selected(const hash_entry *stored, const hash_entry *fresh, const char *path)
{
    uint8_t digest[SHA1_DIGEST_LENGTH];
    int rc = compare_hash(path, digest);
    if (rc != 0) {
        log_trace("Duplicate different hashes %s - Hash error %d\n", path, rc);
        return false;
    }
    if (std::memcmp(digest, stored->sha1, SHA1_DIGEST_LENGTH) == 0) {
        log_trace("Duplicate different hashes %s - First one selected\n", path);
        return false;
    }
    if (std::memcmp(digest, fresh->sha1, SHA1_DIGEST_LENGTH) == 0) {
        log_trace("Duplicate different hashes %s - Second one selected\n", path);
        return true;
    }
    log_trace("Duplicate different hashes %s - Hash error %d\n", path, 0);
    return false;
}

void write_entry_cb(const void *node, VISIT which, int)
{
    if (which != postorder && which != leaf)
        return;
    const hash_entry *e = *static_cast<hash_entry *const *>(node);
    char buffer[HASH_RECORD_MAX];
    int len = format_entry(e, buffer);
    if (len <= 0)
        return;
    // A record the kernel took only in part is no record: a failed write.
    if (write(hashlist_fd, buffer, size_t(len)) != ssize_t(len))
        failed_writes++;
}

void print_entry_cb(const void *node, VISIT which, int)
{
    if (which != postorder && which != leaf)
        return;
    const hash_entry *e = *static_cast<hash_entry *const *>(node);
    char buffer[HASH_RECORD_MAX];
    int len = format_entry(e, buffer);
    const char *source = e->source ? e->source : "(none)";
    if (len <= 0) {
        std::fprintf(stderr, "%6d %d %s BAD\n", int32_t(e->inode), len, source);
        return;
    }
    // The text part starts after the hash bytes for s and t records and
    // right after the letter for the others.
    const char *text = buffer + (type_has_hash(e->type) ? 1 + SHA1_DIGEST_LENGTH : 1);
    std::printf("%6d %d %s %s\n", int32_t(e->inode), len, source, text);
}

}  // namespace

int compare_entries(const void *a, const void *b)
{
    const hash_entry *x = static_cast<const hash_entry *>(a);
    const hash_entry *y = static_cast<const hash_entry *>(b);
    int32_t xd = int32_t(x->device), yd = int32_t(y->device);
    if (xd != yd)
        return xd < yd ? -1 : 1;
    int32_t xi = int32_t(x->inode), yi = int32_t(y->inode);
    if (xi != yi)
        return xi < yi ? -1 : 1;
    return 0;
}

int stat_ids(const char *path, uint32_t *inode, uint32_t *device)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        *inode = 0;
        *device = 0;
        return -1;
    }
    *inode = uint32_t(st.st_ino);
    *device = uint32_t(st.st_dev);
    return 0;
}

void free_hash_entry(hash_entry *entry)
{
    if (!entry)
        return;
    if (entry->credentials) {
        std::free(entry->credentials->types);
        std::free(entry->credentials->values);
        std::free(entry->credentials);
    }
    std::free(entry);
}

hash_entry *insert_entry(hash_entry *entry, const char *path)
{
    if (!entry)
        return nullptr;
    void *node = tfind(entry, &entry_tree, compare_entries);
    if (node) {
        hash_entry **slot = static_cast<hash_entry **>(node);
        hash_entry *stored = *slot;
        if (stored == entry)
            return stored;
        if (std::memcmp(stored->sha1, entry->sha1, SHA1_DIGEST_LENGTH) != 0 &&
            second_selected(stored, entry, path)) {
            // Replaced in the node itself: the key is never without an entry.
            *slot = entry;
            free_hash_entry(stored);
            return entry;
        }
        free_hash_entry(entry);
        return stored;
    }
    node = tsearch(entry, &entry_tree, compare_entries);
    if (!node) {
        free_hash_entry(entry);
        return nullptr;
    }
    return *static_cast<hash_entry **>(node);
}

hash_entry *find_entry(const hash_entry *key)
{
    if (!key)
        return nullptr;
    void *node = tfind(key, &entry_tree, compare_entries);
    return node ? *static_cast<hash_entry **>(node) : nullptr;
}

hash_entry *delete_entry(const hash_entry *key)
{
    hash_entry *stored = find_entry(key);
    if (stored)
        tdelete(key, &entry_tree, compare_entries);
    return stored;
}

int new_hash_entry(uint32_t device, uint32_t inode, const char *source, int a1, int a2,
                   int a3, int type, const uint8_t hash[SHA1_DIGEST_LENGTH],
                   const char *path, int count, const long *types, const long *values,
                   long source_id)
{
    hash_entry *e = static_cast<hash_entry *>(std::calloc(1, sizeof(hash_entry)));
    if (!e)
        return -12;
    e->inode = inode;
    e->device = device;
    e->type = type;
    e->a1 = a1;
    e->a2 = a2;
    e->a3 = a3;
    e->source = source;
    e->source_id = source_id;
    std::memcpy(e->sha1, hash, SHA1_DIGEST_LENGTH);
    if (count > 0 && types && values) {
        auto *c = static_cast<entry_credentials *>(std::calloc(1, sizeof(entry_credentials)));
        long *t = static_cast<long *>(std::calloc(size_t(count), sizeof(long)));
        long *v = static_cast<long *>(std::calloc(size_t(count), sizeof(long)));
        if (c && t && v) {
            std::memcpy(t, types, size_t(count) * sizeof(long));
            std::memcpy(v, values, size_t(count) * sizeof(long));
            c->count = count;
            c->types = t;
            c->values = v;
            e->credentials = c;
        } else {
            std::free(c);
            std::free(t);
            std::free(v);
        }
    }
    insert_entry(e, path);
    return 0;
}

int format_credentials(char *buffer, const hash_entry *entry)
{
    const entry_credentials *c = entry->credentials;
    if (!c)
        return 0;
    size_t len = std::strlen(buffer);
    for (int i = 0; i < c->count && len < HASH_RECORD_MAX; i++) {
        int n = std::snprintf(buffer + len, HASH_RECORD_MAX - len, " %ld %ld", c->types[i],
                              c->values[i]);
        if (n < 0)
            break;
        len += size_t(n);
    }
    return 0;
}

int format_entry(const hash_entry *entry, char *buffer)
{
    if (entry->type < 0 || entry->type > 4) {
        buffer[0] = '?';
        return -1;
    }
    size_t offset = 1;
    buffer[0] = TYPE_LETTERS[entry->type];
    if (type_has_hash(entry->type)) {
        std::memcpy(buffer + 1, entry->sha1, SHA1_DIGEST_LENGTH);
        offset += SHA1_DIGEST_LENGTH;
    }
    // The text is built apart so that the hash bytes, which may hold NUL
    // bytes, never meet string functions.
    char text[HASH_RECORD_MAX];
    int count = entry->credentials ? entry->credentials->count : 0;
    std::snprintf(text, sizeof text, " %d %d %d %d %d %ld %d", int32_t(entry->device),
                  int32_t(entry->inode), entry->a1, entry->a2, entry->a3, entry->source_id,
                  count);
    format_credentials(text, entry);
    size_t n = std::strlen(text);
    if (offset + n + 2 > HASH_RECORD_MAX) {
        buffer[0] = '?';
        return -1;
    }
    std::memcpy(buffer + offset, text, n);
    buffer[offset + n] = '\0';
    buffer[offset + n + 1] = '\n';
    return int(offset + n + 2);
}

int load_all(const char *path)
{
    hashlist_fd = open_hash_list_file(path);
    if (hashlist_fd < 0) {
        log_error("Securityfs hashlist %s not found\n", path);
        return -2;
    }
    const int failed_before = failed_writes;
    twalk(entry_tree, write_entry_cb);
    close(hashlist_fd);
    hashlist_fd = -1;
    if (failed_writes > 0)
        log_error("%d hash write errors\n", failed_writes);
    // A record the kernel refused or took only in part is a record it does
    // not hold: the writing failed, whatever the other records did.
    return failed_writes > failed_before ? -3 : 0;
}

int print_entries()
{
    twalk(entry_tree, print_entry_cb);
    std::fflush(stdout);
    return 0;
}

void release_all_entries()
{
    while (entry_tree) {
        hash_entry *e = *static_cast<hash_entry **>(entry_tree);
        tdelete(e, &entry_tree, compare_entries);
        free_hash_entry(e);
    }
}

int hash_write_errors() { return failed_writes; }
