// The vdata file, its reader and writer, the software certificate's
// digest of it and the recording and checking of a file's hash in it.
#include "crypto/vdata.h"

#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "secbins/kz4_secbins.h"
#include "storage/tarvo_storage.h"
#include "support/tarvo_common.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Offsets of the named digests in the software certificate.
constexpr uint32_t CERT_COUNT_OFFSET = 1112;
constexpr uint32_t CERT_ENTRIES_OFFSET = 1116;
constexpr uint32_t CERT_ENTRY_SIZE = 32;
constexpr uint32_t CERT_NAME_SIZE = 12;

std::string hex_text(const unsigned char digest[20])
{
    std::string s;
    append_hex(s, digest, 20);
    return s;
}

// Whether the calling process holds the credential of the token "tcb" (a
// token the kernel knows, not one taken on trust without the hardware).
bool holds_tcb_credential()
{
    bool is_credential = false;
    return caller_has_token(TARVO_CRYPTO_TCB_TOKEN, &is_credential) == 1 && is_credential;
}

// Set while the list is being checked through the store of "tcb": a store
// index that is itself vouched for by the list cannot vouch for it in turn.
bool checking_list = false;

// A path the list can hold: one that reads back as written. A line break
// would let a path add lines of its own; a leading blank, '*' or white
// space is taken by the reader as part of the separator or ends its parse.
bool recordable_path(const char *path)
{
    unsigned char first = (unsigned char)path[0];
    return first != '\0' && first != '*' && !isspace(first) && !strchr(path, '\n');
}

struct mapping {
    void *address = nullptr;
    uint32_t length = 0;
    int fd = -1;
    ~mapping() { unmap_file(address, length, fd); }
};

}  // namespace

bool certificate_vdata_digest(const uint8_t *certificate, uint32_t length,
                              unsigned char digest[20])
{
    if (!certificate || length < CERT_ENTRIES_OFFSET)
        return false;
    const uint8_t *c = certificate + CERT_COUNT_OFFSET;
    uint32_t count = uint32_t(c[0]) | uint32_t(c[1]) << 8 | uint32_t(c[2]) << 16 |
                     uint32_t(c[3]) << 24;
    // Only the entries that lie within the certificate are read.
    uint32_t room = (length - CERT_ENTRIES_OFFSET) / CERT_ENTRY_SIZE;
    if (count > room)
        count = room;
    bool found = false;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t *entry = certificate + CERT_ENTRIES_OFFSET + i * CERT_ENTRY_SIZE;
        const char *name = reinterpret_cast<const char *>(entry);
        if (strnlen(name, CERT_NAME_SIZE) == 5 && memcmp(name, "vdata", 5) == 0) {
            memcpy(digest, entry + CERT_NAME_SIZE, 20);
            found = true;
        }
    }
    return found;
}

void get_vdata_digest()
{
    if (!crypto.hw_usable || crypto.vdata_digest_cached)
        return;
    uint8_t *certificate = nullptr;
    uint32_t length = 0;
    int r = kz4_read_sw_cert(&certificate, &length);
    if (r != 0 || !certificate) {
        CRYPTO_ERROR("%s: failed to read the SW cert (%d)", "get_vdata_digest", r);
        CRYPTO_HW_ERROR("get_vdata_digest");
        free(certificate);
        return;
    }
    unsigned char digest[20];
    if (certificate_vdata_digest(certificate, length, digest)) {
        memcpy(crypto.vdata_digest, digest, 20);
        crypto.vdata_digest_cached = true;
    }
    free(certificate);
}

void parse_tarvo_vdata(const char *text, size_t size, tarvo_vdata &list)
{
    const char *end = text + size;
    const char *line = text;
    while (line < end) {
        // The hash runs to the next blank, which may lie on a later line.
        const char *space = static_cast<const char *>(memchr(line, ' ', size_t(end - line)));
        if (!space)
            return;
        const char *path = space + 1;
        while (path < end && (*path == ' ' || *path == '*'))
            path++;
        if (path == end || isspace((unsigned char)*path))
            return;
        const char *newline = static_cast<const char *>(memchr(path, '\n', size_t(end - path)));
        // A last line without a line break runs to the end of the text.
        const char *path_end = newline ? newline : end;
        list[std::string(path, size_t(path_end - path))] =
            std::string(line, size_t(space - line));
        if (!newline)
            return;
        line = newline + 1;
    }
}

int read_tarvo_vdata(tarvo_vdata **out)
{
    if (!out)
        return 1;
    *out = nullptr;
    std::unique_ptr<tarvo_vdata> list(new tarvo_vdata);
    mapping m;
    m.address = map_file(TARVO_VDATA_PATH, &m.fd, &m.length);
    if (!m.address) {
        // Missing, unreadable or empty: an empty list.
        m.length = 0;
        *out = list.release();
        return 0;
    }
    get_vdata_digest();
    bool trusted = false;
    if (crypto.hw_usable && crypto.vdata_digest_cached) {
        unsigned char digest[20];
        if (!digest_of_buffer(m.address, m.length, digest))
            return 2;
        if (memcmp(digest, crypto.vdata_digest, 20) == 0)
            trusted = true;
        else
            CRYPTO_ERROR("%s: hash of '%s' (%s) does not match hash in swcert (%s)",
                         "read_tarvo_vdata", TARVO_VDATA_PATH, hex_text(digest).c_str(),
                         hex_text(crypto.vdata_digest).c_str());
    }
    if (!trusted) {
        // The check opens the store of "tcb", whose index may be one that
        // the list vouches for ("external"): reading the list again from
        // within that check would recurse without end, so the list counts
        // as unsigned there.
        if (checking_list) {
            CRYPTO_ERROR("%s: '%s' cannot vouch for the store that lists it", "read_tarvo_vdata",
                         TARVO_VDATA_PATH);
            return 2;
        }
        checking_list = true;
        int r = tarvo_crypto_verify_file(TARVO_VDATA_PATH,
                                         static_cast<const unsigned char *>(m.address),
                                         m.length, TARVO_CRYPTO_TCB_TOKEN);
        checking_list = false;
        if (r != 0)
            return r;
    }
    parse_tarvo_vdata(static_cast<const char *>(m.address), m.length, *list);
    *out = list.release();
    return 0;
}

int save_tarvo_vdata(const tarvo_vdata &list)
{
    FILE *f = fopen(TARVO_VDATA_PATH, "w");
    if (!f) {
        CRYPTO_ERROR("%s: cannot open '%s' for writing (%s)", "save_tarvo_vdata",
                     TARVO_VDATA_PATH, strerror(errno));
        return 0;
    }
    bool ok = true;
    for (const auto &entry : list)
        if (fprintf(f, "%s  %s\n", entry.second.c_str(), entry.first.c_str()) < 0)
            ok = false;
    // A list that did not reach the file whole is not reported as written.
    if (fflush(f) != 0 || ferror(f))
        ok = false;
    if (fclose(f) != 0)
        ok = false;
    if (!ok) {
        CRYPTO_ERROR("%s: cannot write '%s' (%s)", "save_tarvo_vdata", TARVO_VDATA_PATH,
                     strerror(errno));
        return 0;
    }
    return 1;
}

int save_global_signature(const char *path, const unsigned char *digest)
{
    static const char op[] = "save_global_signature";
    if (!path || !recordable_path(path)) {
        CRYPTO_ERROR("%s: cannot record '%s'", op, shown(path));
        errno = EINVAL;
        return 0;
    }
    unsigned char computed[20];
    if (!digest) {
        if (!digest_of_file(path, computed)) {
            CRYPTO_ERROR("%s: cannot compute digest of '%s' (%s)", op, path, strerror(errno));
            return 0;
        }
        digest = computed;
    }
    mode_t old_mask = umask(022);
    tarvo_vdata *list = nullptr;
    int result = 0;
    if (read_tarvo_vdata(&list) == 0) {
        (*list)[path] = hex_text(digest);
        result = save_tarvo_vdata(*list);
    }
    umask(old_mask);
    delete list;
    return result;
}

int verify_global_signature(const char *path, const unsigned char *digest)
{
    if (!path) {
        errno = EINVAL;
        return 1;
    }
    unsigned char computed[20];
    if (!digest) {
        if (digest_of_file(path, computed))
            digest = computed;
        else
            CRYPTO_ERROR("%s: cannot compute digest of '%s' (%s)", "verify_global_signature",
                         path, strerror(errno));
    }
    return check_vdata_entry(path, digest);
}

int check_vdata_entry(const char *path, const unsigned char *digest)
{
    // Reports are made under the name of the public check.
    static const char op[] = "verify_global_signature";
    const bool have = digest != nullptr;
    std::string computed_text = have ? hex_text(digest) : std::string();
    std::string listed;
    int result;

    if (strcmp(path, TARVO_VDATA_PATH) == 0) {
        if (!crypto.hw_usable) {
            CRYPTO_ERROR("%s: cannot verify '%s', KZ4 not usable", op, path);
            return 0;
        }
        get_vdata_digest();
        if (!crypto.vdata_digest_cached) {
            CRYPTO_ERROR("%s: cannot verify '%s', cannot read SW cert", op, path);
            return 0;
        }
        if (!have || memcmp(digest, crypto.vdata_digest, 20) != 0) {
            CRYPTO_ERROR("%s: hash of '%s' (%s) does not match hash in swcert (%s)", op, path,
                         computed_text.c_str(), hex_text(crypto.vdata_digest).c_str());
            result = 3;
        } else {
            if (holds_tcb_credential()) {
                if (tarvo_crypto_sign_file(TARVO_VDATA_PATH, nullptr, 0,
                                           TARVO_CRYPTO_TCB_TOKEN) == 0)
                    printf("Tarvo: signed '%s' locally\n", path);
                else
                    printf("Tarvo: warning, failed to sign '%s' locally (%s)\n", path,
                           tarvo_crypto_last_error_text());
            }
            return 0;
        }
    } else {
        tarvo_vdata *list = nullptr;
        result = read_tarvo_vdata(&list);
        if (result != 0) {
            CRYPTO_ERROR("%s: failed to load '%s'", op, TARVO_VDATA_PATH);
        } else {
            auto entry = list->find(path);
            if (entry == list->end()) {
                result = 2;
            } else if (have && entry->second == computed_text) {
                result = 0;
            } else {
                result = 3;
                listed = entry->second;
            }
            delete list;
        }
    }

    if (result == 2)
        CRYPTO_ERROR("%s: no signature for '%s' (%s)", op, path, computed_text.c_str());
    else if (result == 3)
        CRYPTO_ERROR("%s: wrong signature (%s) for '%s' (%s)", op, listed.c_str(), path,
                     computed_text.c_str());
    else if (result != 0 && errno != 0)
        CRYPTO_ERROR("%s: generic error with '%s' (%s)", op, path, strerror(errno));
    else if (result != 0)
        CRYPTO_ERROR("%s: generic error with '%s'", op, path);
    return result;
}
