#include "init/refhashlist.h"

#include "creds/creds.h"
#include "crypto/tarvo_crypto.h"
#include "init/hash_entry.h"
#include "init/log.h"
#include "restok/restok.h"
#include "init/safe_open.h"
#include "init/value_files.h"

#include <fcntl.h>
#include <search.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef KS_PLATFORM_SOURCE_ID
#error "KS_PLATFORM_SOURCE_ID must be set by the build"
#endif

const char platform_source_id[] = KS_PLATFORM_SOURCE_ID;

namespace {

constexpr size_t HEADER_LENGTH = 9;
constexpr char HEADER_V2[] = "Tarvo2.0\n";
constexpr char HEADER_V3[] = "Tarvo3.0\n";
constexpr int MAX_LIST_CREDENTIALS = 8;

// Packages whose kernel modules are admitted in R&D mode.
const char *const RD_MODULE_PACKAGES[] = {
    "kernel-modules-debug",
    "kernel-modules-test",
    "kernel-modules-extra",
    "kernel-modules-profiling",
    "kernel-d-modules",
    "kernel-debug",
    "test-modules",
    "systemtap-examples-buggy-scripts-modules",
    "systemtap-examples-general-scripts-modules",
    "systemtap-examples-interrupt-scripts-modules",
    "systemtap-examples-io-scripts-modules",
    "systemtap-examples-memory-scripts-modules",
    "systemtap-examples-network-scripts-modules",
    "systemtap-examples-process-scripts-modules",
    "systemtap-examples-profiling-scripts-modules",
    "systemtap-warstories-scripts-modules",
    "hotspot-modules",
    "kernel-module-ncm",
    "kernel-ltt-modules",
    "kernel-ltt-d-modules",
    "kernel-ltt-modules-debug",
    "kernel-ltt-modules-profiling",
    "kernel-ltt-modules-extra",
};

// Interned source names, shared by every parse of the process.
void *source_names = nullptr;

const char *intern_source(const char *name)
{
    void *node = tfind(name, &source_names, source_name_compare);
    if (node)
        return *static_cast<char **>(node);
    char *copy = strdup(name);
    if (!copy)
        return nullptr;
    node = tsearch(copy, &source_names, source_name_compare);
    if (!node) {
        std::free(copy);
        return nullptr;
    }
    return *static_cast<char **>(node);
}

// A number field: from its first byte up to the first space in the rest of
// the list. Converted as "%d" would (leading white space, a sign, digits up
// to the first other byte), saturating at the 32-bit range.
struct number_field {
    bool converted;
    bool spaced;    // a space ends the field
    int value;
    size_t next;    // the byte after that space
};

number_field read_number(const char *list, size_t length, size_t pos)
{
    number_field f{false, false, 0, length};
    if (pos > length)
        pos = length;
    const void *sp = std::memchr(list + pos, ' ', length - pos);
    size_t stop = sp ? size_t(static_cast<const char *>(sp) - list) : length;
    size_t q = pos;
    while (q < stop && (list[q] == '\t' || list[q] == '\n' || list[q] == '\v' ||
                        list[q] == '\f' || list[q] == '\r'))
        q++;
    bool negative = false;
    if (q < stop && (list[q] == '+' || list[q] == '-')) {
        negative = list[q] == '-';
        q++;
    }
    int64_t v = 0;
    while (q < stop && list[q] >= '0' && list[q] <= '9') {
        f.converted = true;
        if (v <= INT64_C(0x100000000))
            v = v * 10 + (list[q] - '0');
        q++;
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    f.value = int(v);
    if (sp) {
        f.spaced = true;
        f.next = stop + 1;
    }
    return f;
}

bool ends_with_ko(const char *s, size_t len)
{
    return len >= 3 && std::memcmp(s + len - 3, ".ko", 3) == 0;
}

bool admitted_module(const char *package, bool trusted, int rd_mode, int developer)
{
    if (std::strcmp(package, "kernel-modules") == 0)
        return true;
    if (trusted && developer && std::strcmp(package, "kernel-modules-profiling") == 0)
        return true;
    if (rd_mode)
        for (const char *row : RD_MODULE_PACKAGES)
            if (std::strcmp(package, row) == 0)
                return true;
    return false;
}

// State of one parse.
struct parse_state {
    char *list;
    size_t length;
    int version;
    int rd_mode;
    int developer;
    const char *source;
    long source_id;
    bool trusted;
    const char *package;
    int cred_count;
    long cred_types[MAX_LIST_CREDENTIALS];
    long cred_values[MAX_LIST_CREDENTIALS];
    int type;
    int a1, a2, a3;
    uint8_t sha1[SHA1_DIGEST_LENGTH];
    int line;
};

// Counted data: a length field, its space, then exactly that many bytes and
// one more byte, which is overwritten with NUL. bad_length is the code for a
// negative length, a missing space or data past the end; bad_number that
// for a length that does not convert.
int read_counted(parse_state &st, size_t &pos, char **data, size_t *len, int bad_number,
                 int bad_length)
{
    number_field f = read_number(st.list, st.length, pos);
    if (!f.converted)
        return bad_number;
    if (f.value < 0 || !f.spaced)
        return bad_length;
    if (size_t(f.value) > st.length - f.next)
        return bad_length;
    *data = st.list + f.next;
    *len = size_t(f.value);
    st.list[f.next + *len] = '\0';
    pos = f.next + *len + 1;
    return 0;
}

int source_record(parse_state &st, size_t &pos)
{
    char *name;
    size_t len;
    int rc = read_counted(st, pos, &name, &len, -3, -4);
    if (rc)
        return rc;
    st.source = intern_source(name);
    st.line++;
    st.source_id = restok_define(name, restok_define("SRC", 0));
    if (std::strcmp(name, platform_source_id) == 0)
        st.trusted = true;
    return 0;
}

int credentials_record(parse_state &st, size_t &pos)
{
    log_trace("Wcred found\n");
    char *text;
    size_t len;
    int rc = read_counted(st, pos, &text, &len, -11, -12);
    if (rc)
        return rc;
    log_trace("Wcred %s\n", text);
    st.cred_count = 0;
    char *item = text;
    char *data_end = text + len;
    while (st.cred_count < MAX_LIST_CREDENTIALS) {
        char *sep = item;
        while (sep < data_end && *sep != ' ' && *sep != ',')
            sep++;
        bool last = sep >= data_end;
        *sep = '\0';
        long value = -1;
        int type = creds_from_text(item, &value);
        if (type != -1) {
            st.cred_types[st.cred_count] = type;
            st.cred_values[st.cred_count] = value;
            st.cred_count++;
        }
        if (last)
            break;
        item = sep + 1;
    }
    return 0;
}

int type_record(parse_state &st, size_t &pos)
{
    number_field f = read_number(st.list, st.length, pos);
    if (!f.converted)
        return -11;
    if (!f.spaced)
        return -1;
    st.type = f.value;
    pos = f.next;
    return 0;
}

int attribute_record(parse_state &st, size_t &pos)
{
    int *fields[3] = {&st.a1, &st.a2, &st.a3};
    int values[3];
    for (int i = 0; i < 3; i++) {
        number_field f = read_number(st.list, st.length, pos);
        if (!f.converted)
            return -11;
        if (!f.spaced)
            return i < 2 ? -10 : -1;
        values[i] = f.value;
        pos = f.next;
    }
    for (int i = 0; i < 3; i++)
        *fields[i] = values[i];
    return 0;
}

int hash_record(parse_state &st, size_t &pos)
{
    number_field f = read_number(st.list, st.length, pos);
    if (!f.converted || !f.spaced)
        return -6;
    if (f.value != 2 * int(SHA1_DIGEST_LENGTH))
        return -7;
    // The digits are read one by one and never past the NUL that follows
    // the list, which fails the digit test.
    const char *digits = st.list + f.next;
    uint8_t hash[SHA1_DIGEST_LENGTH];
    for (size_t i = 0; i < SHA1_DIGEST_LENGTH; i++) {
        int high = hex_value(static_cast<unsigned char>(digits[2 * i]));
        if (high < 0)
            return -8;
        int low = hex_value(static_cast<unsigned char>(digits[2 * i + 1]));
        if (low < 0)
            return -9;
        hash[i] = uint8_t(high << 4 | low);
    }
    std::memcpy(st.sha1, hash, sizeof hash);
    pos = f.next + 2 * SHA1_DIGEST_LENGTH + 1;
    return 0;
}

int package_record(parse_state &st, size_t &pos)
{
    char *name;
    size_t len;
    int rc = read_counted(st, pos, &name, &len, -11, -12);
    if (rc)
        return rc;
    st.package = name;
    return 0;
}

int file_record(parse_state &st, size_t &pos)
{
    char *rel;
    size_t len;
    int rc = read_counted(st, pos, &rel, &len, -11, -12);
    if (rc)
        return rc;
    // The space before the data becomes the leading '/' of the path.
    char *path = rel - 1;
    *path = '/';
    uint32_t inode, device;
    if (stat_ids(path, &inode, &device) == 0) {
        if (st.version == 2) {
            if (ends_with_ko(path, len + 1))
                write_module_hash(st.sha1);
        } else if (st.package && len > 3 && ends_with_ko(rel, len) &&
                   admitted_module(st.package, st.trusted, st.rd_mode, st.developer)) {
            write_module_hash(st.sha1);
        }
        new_hash_entry(device, inode, st.source, st.a1, st.a2, st.a3, st.type, st.sha1, path,
                       st.cred_count, st.cred_types, st.cred_values, st.source_id);
        st.source_id = 0;
        st.cred_count = 0;
        st.type = 0;
        st.a1 = st.a2 = st.a3 = 0;
    }
    st.package = nullptr;
    st.trusted = false;
    return 0;
}

bool token_end(char c) { return c == ' ' || c == '\n' || c == '\0'; }

}  // namespace

int hex_value(int byte)
{
    if (byte >= '0' && byte <= '9')
        return byte - '0';
    if (byte >= 'a' && byte <= 'f')
        return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F')
        return byte - 'A' + 10;
    return -1;
}

int source_name_compare(const void *a, const void *b)
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

void release_source_names()
{
    while (source_names) {
        char *name = *static_cast<char **>(source_names);
        tdelete(name, &source_names, source_name_compare);
        std::free(name);
    }
}

int write_module_hash(const uint8_t hash[SHA1_DIGEST_LENGTH])
{
    // A hash the kernel did not take whole is a failed write.
    if (write_kernel_file(MODLIST_PATH, hash, SHA1_DIGEST_LENGTH) != 0) {
        log_trace("module write failed\n");
        return -1;
    }
    return 0;
}

int parse_hashlist(char *list, size_t length, int rd_mode, int developer)
{
    parse_state st{};
    st.list = list;
    st.length = length;
    st.rd_mode = rd_mode;
    st.developer = developer;
    st.line = 1;
    if (length >= HEADER_LENGTH && std::memcmp(list, HEADER_V2, HEADER_LENGTH) == 0)
        st.version = 2;
    else if (length >= HEADER_LENGTH && std::memcmp(list, HEADER_V3, HEADER_LENGTH) == 0)
        st.version = 3;
    else {
        log_trace("Bad magic\n");
        return -1;
    }
    size_t pos = HEADER_LENGTH;
    while (pos < length) {
        char tag = list[pos];
        if (token_end(tag)) {
            // A stray separator where a record should start: reported and
            // passed over.
            log_trace("Unexpected null found at line %d\n", st.line);
            st.line++;
            pos++;
            continue;
        }
        size_t token_start = pos;
        size_t token_stop = pos;
        while (!token_end(list[token_stop]))
            token_stop++;
        bool has_argument = list[token_stop] != '\0';
        size_t arg = has_argument ? token_stop + 1 : token_stop;
        int rc;
        switch (tag) {
        case 'S':
            rc = has_argument ? source_record(st, arg) : -2;
            break;
        case 'W':
            rc = has_argument ? credentials_record(st, arg) : -10;
            break;
        case 'X':
            rc = has_argument ? type_record(st, arg) : -10;
            break;
        case 'A':
            rc = has_argument ? attribute_record(st, arg) : -10;
            break;
        case 'H':
            rc = has_argument ? hash_record(st, arg) : -5;
            break;
        case 'P':
            rc = has_argument ? package_record(st, arg) : -10;
            break;
        case 'R':
            rc = has_argument ? file_record(st, arg) : -10;
            break;
        default:
            log_trace("Tarvo: unsupported tag %c\n", tag);
            log_trace("Line %d\n", st.line);
            log_trace("Data: %.*s\n", int(token_stop - token_start), list + token_start);
            return -13;
        }
        if (rc != 0) {
            log_trace("Tarvo: hashlist corrupted\n");
            return rc;
        }
        pos = arg;
    }
    return 0;
}

int parse_journal_hashes(const char *text, size_t length, int rd_mode, int developer)
{
    char *buffer = static_cast<char *>(std::malloc(length + HEADER_LENGTH + 1));
    if (!buffer) {
        log_trace("Journal buffer allocation error\n");
        return -12;
    }
    std::memcpy(buffer, HEADER_V3, HEADER_LENGTH);
    size_t used = HEADER_LENGTH;
    static const char KEY[] = "hash: ";
    const size_t key_length = sizeof KEY - 1;
    size_t pos = 0;
    while (pos < length) {
        const char *hit = static_cast<const char *>(
            memmem(text + pos, length - pos, KEY, key_length));
        if (!hit)
            break;
        size_t start = size_t(hit - text) + key_length;
        const char *nl = static_cast<const char *>(std::memchr(text + start, '\n', length - start));
        if (!nl)
            break;
        size_t stop = size_t(nl - text) + 1;
        std::memcpy(buffer + used, text + start, stop - start);
        used += stop - start;
        pos = stop;
    }
    buffer[used] = '\0';
    int rc = parse_hashlist(buffer, used, rd_mode, developer);
    std::free(buffer);
    if (rc != 0) {
        log_trace("Journal scan failed (%d)\n", rc);
        return -14;
    }
    log_trace("Journal entries scanned\n");
    return 0;
}

// The largest reference hash list read: several million records, beyond
// any device's files, and a bound on what the list can cost the boot.
constexpr uint64_t REFHASHLIST_FILE_MAX = 256u << 20;

int load_refhashlist(const char *path, int sigcheck, int rd_mode, int developer)
{
    int fd = open_regular_file(path);
    if (fd < 0) {
        log_trace("Cannot open %s\n", path);
        return -2;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        log_trace("Cannot stat %s\n", path);
        return -1;
    }
    // One private copy of the file, with room for the NUL that must follow
    // the list: the signature is checked over the very bytes that are then
    // parsed, and a file that changes meanwhile cannot reach them.
    void *map = MAP_FAILED;
    size_t room = 0;
    if (st.st_size > 0 && uint64_t(st.st_size) <= REFHASHLIST_FILE_MAX) {
        room = size_t(st.st_size) + 1;
        map = mmap(nullptr, room, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    }
    if (map == MAP_FAILED) {
        close(fd);
        log_trace("Not enough memory to map hashlist\n");
        return -12;
    }
    char *list = static_cast<char *>(map);
    size_t size = 0;
    while (size < room - 1) {
        ssize_t n = read(fd, list + size, room - 1 - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            munmap(map, room);
            close(fd);
            log_trace("Cannot read %s\n", path);
            return -2;
        }
        if (n == 0)
            break;  // the file shrank: what was read is the list
        size += size_t(n);
    }
    list[size] = '\0';
    if (tarvo_crypto_verify_file(path, reinterpret_cast<const unsigned char *>(list), size,
                                 "tcb") == 0) {
        log_trace("Signature verified %s\n", path);
    } else if (sigcheck) {
        log_trace("Signature verification failed %s\n", path);
        munmap(map, room);
        close(fd);
        return -14;
    } else {
        log_trace("Signature verification failed %s (ignored)\n", path);
    }
    int lines = 0;
    for (size_t i = 0; i < size; i++)
        if (list[i] == '\n')
            lines++;
    log_trace("%d lines in reference hashlist file\n", lines);
    int rc = parse_hashlist(list, size, rd_mode, developer);
    if (rc < 0) {
        munmap(map, room);
        close(fd);
        log_trace("Scan entries return value %d\n", rc);
        return -14;
    }
    log_trace("Entries scanned\n");
    int unmapped = munmap(map, room);
    close(fd);
    if (unmapped != 0) {
        log_trace("Unmap memory return value %d\n", unmapped);
        return unmapped;
    }
    return 0;
}
