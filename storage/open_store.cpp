// Opening a store: binding the object to its index file, reading and
// verifying the index, deciding the owner token and whether the caller may
// read and change the store, the key of an encrypted store, and moving an
// encrypted store's index from its legacy location.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <memory>

#include "support/c_xmldoc.h"
#include "support/tarvo_file.h"
#include "support/tarvo_common.h"

using namespace storage_internal;

namespace {

// Decimal attribute text as a signed 32-bit value, sign-extended.
long long attr_number(const char *text)
{
    return (long long)int32_t(strtol(text ? text : "0", nullptr, 10));
}

// Whether text starts with the directory prefix (ending in '/') and names
// something below it.
bool strictly_below(const std::string &text, const std::string &prefix)
{
    return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The data directory an index's "storage-path" names, with its final '/',
// when it is a canonical absolute path (no empty, "." or ".." component)
// below a storage root or at or below this process's data directory, and
// nothing on the way below that root is a symbolic link or other
// non-directory. false otherwise.
bool data_directory_text(const char *attribute, std::string &out)
{
    std::string text = attribute;
    if (text.empty() || text[0] != '/')
        return false;
    if (text.back() != '/')
        text += '/';
    if (text.size() > 255)
        return false;
    for (size_t at = 1, next; at < text.size(); at = next + 1) {
        next = text.find('/', at);
        std::string part = text.substr(at, next - at);
        if (part.empty() || part == "." || part == "..")
            return false;
    }
    const std::string own = storage_data_directory();
    const std::string roots[] = {std::string(ENCRYPTED_ROOT) + "/", std::string(SIGNED_ROOT) + "/",
                                 own};
    for (const std::string &root : roots) {
        if (!(strictly_below(text, root) || (root == own && text == own)))
            continue;
        for (size_t slash = text.find('/', root.size()); slash != std::string::npos;
             slash = text.find('/', slash + 1)) {
            struct stat st;
            if (lstat(text.substr(0, slash).c_str(), &st) != 0) {
                if (errno == ENOENT)
                    break;  // made when the first member is written
                return false;
            }
            if (!S_ISDIR(st.st_mode))
                return false;
        }
        out = text;
        return true;
    }
    return false;
}

// The whole index file, read once (a regular file only, never waiting on
// a FIFO; at most the size any index can have). 0, ENOENT for a missing
// file, EFBIG for an oversized one, else the error of the open or read.
int read_index_text(const std::string &path, std::string &text)
{
    constexpr off_t INDEX_FILE_MAX = 64 << 20;
    text.clear();
    int fd = tarvo_open_regular_file(path.c_str(), 0);
    if (fd < 0)
        return errno;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0) {
        e = errno;
    } else if (st.st_size > INDEX_FILE_MAX) {
        e = EFBIG;
    } else {
        text.resize(size_t(st.st_size));
        errno = 0;
        size_t n = tarvo_read_fully(fd, &text[0], text.size());
        if (n != text.size()) {
            if (errno != 0)
                e = errno;
            else
                text.resize(n);  // it shrank: what was read is its text
        }
    }
    close(fd);
    if (e != 0) {
        SERR("cannot read '%s' (%s)", path.c_str(), strerror(e));
        text.clear();
    }
    return e;
}

struct owned_text {
    char *p = nullptr;
    ~owned_text() { tarvo_crypto_release(p); }
};

}  // namespace

namespace tarvo {

void storage::init_storage(const char *name, const char *owner)
{
    open_index(name, owner);
}

bool storage::open_index(const char *name, const char *owner)
{
    static const char *op = "init_storage";
    if (name != nullptr) {
        m_name = name;
    } else {
        SERR("Must give name for storage, using default");
        m_name = ".anonymous";
    }
    if (m_lock == nullptr)
        m_lock = new storage_lock(this);
    if (m_lock == nullptr) {
        errno = ENOMEM;
        return false;
    }
    storage_lock *lk = m_lock;
    auto refuse = [&]() {
        lk->set_readable(false);
        errno = EACCES;
    };
    m_files.clear();
    m_links.clear();
    // The name is appended to the index directory as it is: a name that
    // is a path (or "." or "..") would put the index file elsewhere.
    if (m_name.find('/') != std::string::npos || m_name == "." || m_name == "..") {
        SERR("%s: invalid storage name '%s'", op, m_name.c_str());
        lk->set_readable(false);
        errno = EINVAL;
        return false;
    }
    if (tarvo_crypto_init() == 0) {
        SERR("%s: error from tarvo_crypto_init", op);
        refuse();
        return false;
    }

    // Owner, first pass.
    bool is_credential = false;
    bool owner_done = false;
    if (owner != nullptr) {
        bool cred = false;
        if (caller_has_token(owner, &cred)) {
            m_owner = owner;
            is_credential = cred;
            owner_done = true;
        } else if (m_protection == 1) {
            refuse();
            return false;
        }
    }
    if (!owner_done) {
        owned_text aid;
        process_application_id(0, &aid.p);
        m_owner = aid.p ? aid.p : "unknown.unknown.";
        bool cred = false;
        int held = caller_has_token(m_owner.c_str(), &cred);
        is_credential = cred;
        if (!held || !cred) {
            lk->set_writable(false);
            m_owner.clear();
        }
    }

    // Index path.
    std::string directory;
    if (storage_directory(m_visibility, m_protection, directory) != 0) {
        SERR("%s: cannot bind storage '%s' to file", op, directory.c_str());
        refuse();
        return false;
    }
    m_index_path = directory + m_name;

    // Legacy location of an encrypted store's index.
    std::string proper_path;
    if (m_protection == 1 && !is_regular_file(m_index_path.c_str())) {
        size_t root_len = strlen(ENCRYPTED_ROOT);
        std::string legacy = std::string(SIGNED_ROOT) +
                             (m_index_path.size() > root_len ? m_index_path.substr(root_len) : "");
        if (is_regular_file(legacy.c_str())) {
            proper_path = m_index_path;
            m_index_path = legacy;
        }
    }

    // Read.
    c_xmldoc doc;
    if (!lock()) {
        int e = errno;
        lk->set_readable(false);
        errno = e;
        return false;
    }
    // An index that does not parse whole is not an index: what was built
    // before the error (or beside junk after the root) is not trusted.
    // The index is read once into private memory: the bytes parsed are the
    // bytes whose digest an "external" signature is checked with.
    std::string index_text;
    int read_error = read_index_text(m_index_path, index_text);
    if (read_error == 0 && !doc.parse_buffer(index_text.data(), index_text.size())) {
        read_error = EBADMSG;
        doc.clear();
    }
    doc.free_parser();
    lk->refresh_digest();
    // An index signed "external" is checked against the vdata list under
    // the store's lock: a commit records the list's entry and writes the
    // index under that lock, so the index read and the entry checked are
    // of one commit.
    int vouched = -1;
    if (doc.root() != nullptr) {
        c_xmlnode *s = doc.root()->find_child("signature", false);
        unsigned char read_digest[20];
        if (s != nullptr && strcmp(s->content(), "external") == 0)
            vouched = sha1(index_text.data(), index_text.size(), read_digest) == 1
                          ? verify_global_signature(m_index_path.c_str(), read_digest)
                          : 1;
    }
    unlock();

    c_xmlnode *root = doc.root();
    // An index that could not be read (an I/O error, no memory, no
    // descriptor) is not an invalid index: the store is neither read nor
    // written over until it can be read again.
    if (root == nullptr && read_error != 0 && read_error != ENOENT && read_error != EBADMSG &&
        read_error != EFBIG) {
        SERR("'%s' cannot be read (%s), fail", m_index_path.c_str(), strerror(read_error));
        lk->set_readable(false);
        lk->set_writable(false);
        errno = read_error;
        return false;
    }
    if (root == nullptr) {
        struct stat st;
        bool exists = stat(m_index_path.c_str(), &st) == 0;
        if (exists) {
            SERR("invalid storage index '%s' size %lu, recreate", m_index_path.c_str(),
                 (unsigned long)st.st_size);
        } else if (errno != ENOENT) {
            SERR("'%s' is not readable by %d, fail (%s)", m_index_path.c_str(), int(geteuid()),
                 errtext());
            refuse();
            return false;
        }
        if (!lk->writable()) {
            SERR("'%s' is not writable by %d, fail", m_index_path.c_str(), int(geteuid()));
            errno = EACCES;
            return false;
        }
        bool fresh = !exists;
        if (m_protection == 1) {
            if (!generate_symkey()) {
                lk->set_readable(false);
                errno = EACCES;
                fresh = false;
            }
            lk->m_data_directory = storage_data_directory();
        }
        return fresh;
    }

    // The storage path is not covered by the signature: it counts only
    // once the index verified (below).
    if (m_protection == 1)
        lk->m_data_directory = storage_data_directory();
    const char *storage_path =
        m_protection == 1 ? root->get_attribute("storage-path", false, nullptr) : nullptr;

    // Entries. A root without an envelope lists nothing.
    c_xmlnode *envelope = root->find_child("envelope", true);
    for (int i = 0; envelope != nullptr && i < envelope->child_count(); i++) {
        c_xmlnode *e = envelope->child(unsigned(i));
        if (strcmp(e->name(), "file") == 0) {
            // Entries come in name order (as committed): each goes in at
            // the end, and a repeated name still updates its entry.
            file_entry &entry =
                m_files.emplace_hint(m_files.end(), e->get_attribute("name", true), file_entry())
                    ->second;
            entry.digest = e->get_attribute("hash", true);
            entry.dirty = false;
            if (m_protection == 1)
                continue;
            struct stat md;
            memset(&md, 0, sizeof md);
            const char *size = e->get_attribute("size", false, nullptr);
            if (size != nullptr) {
                time_t now = time(nullptr);
                md.st_size = off_t(attr_number(size));
                md.st_uid = uid_t(attr_number(e->get_attribute("uid", false, "0")));
                md.st_gid = gid_t(attr_number(e->get_attribute("gid", false, "0")));
                md.st_mode = mode_t(attr_number(e->get_attribute("mode", false, "0")));
                const char *t;
                md.st_mtime = (t = e->get_attribute("mtime", false, nullptr)) ? time_t(attr_number(t)) : now;
                md.st_atime = (t = e->get_attribute("atime", false, nullptr)) ? time_t(attr_number(t)) : now;
                md.st_ctime = (t = e->get_attribute("ctime", false, nullptr)) ? time_t(attr_number(t)) : now;
            } else {
                const char *fname = e->get_attribute("name", true);
                if (stat(fname, &md) != 0) {
                    SERR("%s: failed to stat '%s' (%s)", op, fname, errtext());
                    memset(&md, 0, sizeof md);
                }
            }
            entry.metadata = md;
        } else if (strcmp(e->name(), "link") == 0) {
            m_links.emplace_hint(m_links.end(), e->get_attribute("name", true), std::string())
                ->second = e->get_attribute("to", true);
        }
    }

    // Owner, second pass.
    std::string stored = root->get_attribute("owner", false, m_owner.c_str());
    bool take_over = false;
    if (stored == m_owner) {
        if (stored.empty())
            lk->set_writable(false);
    } else {
        bool s_cred = false;
        int held = caller_has_token(stored.c_str(), &s_cred);
        if (!s_cred) {
            m_owner = stored;
            lk->set_writable(true);
        } else if (!held) {
            if (m_protection == 1) {
                SERR("%s: token mismatch (owner=%s, given=%s), access_denied", op,
                     stored.c_str(), m_owner.c_str());
                refuse();
                return false;
            }
            m_owner = stored;
            lk->set_writable(false);
        } else if (!is_credential || m_owner.compare(0, 5, "AID::") == 0 ||
                   (m_protection == 1 && !m_files.empty())) {
            m_owner = stored;
            lk->set_writable(true);
        } else {
            take_over = true;
            lk->set_writable(true);
        }
    }

    // Signature.
    std::string hash_text;
    bool have_hash = internal_hash(nullptr, hash_text);
    c_xmlnode *sig = root->find_child("signature", false);
    bool verified = false;
    if (!have_hash || sig == nullptr) {
        SERR("%s: cannot check integrity of '%s', reset", op, m_index_path.c_str());
        m_files.clear();
        m_links.clear();
        errno = EACCES;
        if (m_protection != 1)
            return false;
    } else if (strcmp(sig->content(), "external") == 0) {
        if (vouched != 0 && vouched != 2 && vouched != 3) {
            // The list could not be read or checked: a check that cannot
            // be made is not a failed signature, and the store is neither
            // read nor reset.
            SERR("%s: cannot check integrity of '%s', fail", op, m_index_path.c_str());
            m_files.clear();
            m_links.clear();
            lk->set_readable(false);
            lk->set_writable(false);
            errno = EACCES;
            return false;
        }
        if (vouched != 0) {
            SERR("Global signature does not verify");
            m_files.clear();
            m_links.clear();
        } else {
            verified = true;
        }
    } else {
        unsigned char bytes[20];
        owned_text signer;
        if (tarvo_crypto_parse_signature(sig->content(), bytes, &signer.p) != 0) {
            SERR("Invalid signature ('%s')", sig->content());
            m_files.clear();
            m_links.clear();
        } else {
            std::string by = signer.p ? signer.p : stored;
            bool right_signer = signer.p == nullptr || by == stored || take_over;
            if (!right_signer) {
                SERR("Signature made by wrong token '%s' owner is '%s'", by.c_str(),
                     stored.c_str());
                m_files.clear();
                m_links.clear();
            }
            int verdict = 0;
            int r = tarvo_crypto_verify(bytes, by.c_str(),
                                        reinterpret_cast<const unsigned char *>(hash_text.data()),
                                        hash_text.size(), &verdict);
            if (r != 0 || verdict != 1) {
                SERR("Signature does not verify ('%s' signed by '%s')", m_name.c_str(),
                     stored.c_str());
                m_files.clear();
                m_links.clear();
            } else {
                lk->set_readable(true);
                verified = right_signer;
            }
        }
    }

    if (storage_path != nullptr) {
        std::string directory;
        if (verified && data_directory_text(storage_path, directory))
            lk->m_data_directory = directory;
        else
            SERR("%s: storage-path '%s' of '%s' ignored", op, storage_path,
                 m_index_path.c_str());
    }

    // Store key.
    if (m_protection == 1) {
        if (!lk->readable()) {
            SERR("caller does not have '%s', access denied", stored.c_str());
            return false;
        }
        c_xmlnode *key = root->find_child("key", false);
        unsigned char *blob = nullptr;
        int n = key ? base64_decode(key->content(), &blob) : 0;
        if (key != nullptr && blob != nullptr) {
            if (m_key != nullptr) {
                wipe(m_key, size_t(m_keylen));
                free(m_key);
            }
            m_key = blob;
            m_keylen = n;
        } else {
            SERR("%s: missing encryption key, clear", m_name.c_str());
            m_files.clear();
            m_links.clear();
            verified = false;
            if (!generate_symkey()) {
                lk->set_readable(false);
                errno = EACCES;
            }
        }
        // A store taken over holds no member (else it is not taken over):
        // its key is made anew under the new owner, who cannot use the old
        // owner's.
        if (take_over && verified && !generate_symkey()) {
            lk->set_readable(false);
            errno = EACCES;
            verified = false;
        }
    }

    // Version and relocation.
    const char *version = root->get_attribute("version", false, nullptr);
    lk->m_version = version ? int(strtol(version, nullptr, 10)) : 0;
    if (m_protection == 1 && lk->m_version != 2 && lk->writable() && !proper_path.empty())
        relocate_index(proper_path);
    return verified;
}

int storage::relocate_index(const std::string &proper_path)
{
    std::string old_path = m_index_path;
    m_index_path = proper_path;
    lock();
    for (const auto &f : std::map<std::string, file_entry>(m_files)) {
        std::unique_ptr<p_file> m(member(f.first.c_str()));
        pe_file *pe = dynamic_cast<pe_file *>(m.get());
        if (pe == nullptr)
            continue;
        // The data file's place now ("<copy>.dat" and the visibility
        // letter), where the move puts it before it gets that letter, and
        // where an earlier version kept it.
        std::string now = pe->p_path();
        if (now.empty() || is_regular_file(now.c_str()))
            continue;  // moved already: a file left at the earlier place is stale
        std::string before_letter = now.substr(0, now.size() - 1);
        std::string earlier =
            LEGACY_DATA_DIRECTORY + before_letter.substr(before_letter.rfind('/') + 1);
        struct stat e, b;
        if (stat(earlier.c_str(), &e) == 0 && stat(before_letter.c_str(), &b) == 0 &&
            e.st_dev == b.st_dev && e.st_ino == b.st_ino) {
            // The data directory is the earlier one: nothing to copy.
            if (::rename(before_letter.c_str(), now.c_str()) != 0)
                SERR("%s: cannot move '%s' to '%s' (%s)", "relocate_index",
                     before_letter.c_str(), now.c_str(), errtext());
            continue;
        }
        pe->set_pathname(f.first.c_str(), true);
    }
    unlock();
    if (commit() && ::unlink(old_path.c_str()) != 0)
        SERR("Couldn't unlink '%s' (%s)", old_path.c_str(), errtext());
    return 1;
}

}  // namespace tarvo
