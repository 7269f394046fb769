// The store object: address and directories, member names, the index
// format, the internal hash that the index signature covers, commit and the
// reload that picks up another process's commit.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "support/c_xmldoc.h"
#include "support/tarvo_common.h"

using namespace storage_internal;

namespace {

// The process-wide data directory of encrypted stores.
char data_directory[256] = "/home/user/.tarvo/ps/.e/";

}  // namespace

const char *signed_storage_root()
{
    return SIGNED_ROOT;
}

const char *storage_data_directory()
{
    return data_directory;
}

int set_alternative_storage_root(const char *path)
{
    size_t n = path ? strlen(path) : 0;
    if (path == nullptr || n == 0 || path[0] != '/' || n > 254) {
        SERR("%s: invalid argument '%s'", "set_alternative_storage_root",
             path ? path : "<null>");
        errno = EINVAL;
        return 0;
    }
    memcpy(data_directory, path, n + 1);
    if (data_directory[n - 1] != '/') {
        data_directory[n] = '/';
        data_directory[n + 1] = '\0';
    }
    return 1;
}

int storage_directory(int visibility, int protection, std::string &out)
{
    out = protection == 1 ? ENCRYPTED_ROOT : SIGNED_ROOT;
    out += visibility == 0 ? "/G" : visibility == 1 ? "/S" : "/P";
    out += protection == 1 ? "e/" : "s/";
    if (is_directory(out.c_str()))
        return 0;
    // Only the owner may add, remove or replace an index.
    int e = make_path(out.c_str(), 0755);
    if (e != 0)
        SERR("cannot create directory '%s'", out.c_str());
    return e;
}

namespace tarvo {

storage::storage(const char *name, const char *owner, int visibility, int protection)
    : m_protection(protection == 1 ? 1 : 0), m_visibility(visibility), m_key(nullptr),
      m_keylen(0), m_lock(nullptr)
{
    init_storage(name, owner);
}

storage::storage(const char *name, int visibility, int protection)
    : storage(name, nullptr, visibility, protection)
{
}

storage::~storage()
{
    if (m_key != nullptr) {
        wipe(m_key, size_t(m_keylen));
        free(m_key);
    }
    delete m_lock;
}

bool storage::readable_with_path() const
{
    return m_lock != nullptr && m_lock->readable() && !m_index_path.empty();
}

bool storage::writable_with_path() const
{
    return m_lock != nullptr && m_lock->writable() && m_lock->readable() &&
           !m_index_path.empty();
}

void storage::reload_if_changed()
{
    if (index_changed())
        reload_index();
}

void storage::normalise_name(const char *name, std::string &out) const
{
    if (name == nullptr)
        return;
    if (m_protection == 1) {
        out = name[0] == '/' ? std::string(name) : std::string("/") + name;
        return;
    }
    std::string resolved;
    if (absolute_pathname(name, resolved))
        out = resolved;
}

bool storage::internal_hash(unsigned char *digest, std::string &text) const
{
    static const char *op = "internal_hash";
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                 &EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1) {
        SERR("%s: DIGEST_INIT failed (%s)", op, errtext());
        return false;
    }
    // Each text counts up to its first NUL.
    auto add = [&](const std::string &s) {
        return EVP_DigestUpdate(ctx.get(), s.c_str(), strlen(s.c_str())) == 1;
    };
    if (!add(m_index_path)) {
        SERR("%s: DIGEST_UPDATE failed (%s)", op, errtext());
        return false;
    }
    bool ok = true;
    for (const auto &f : m_files)
        ok = add(f.first) && add(f.second.digest) && ok;
    for (const auto &l : m_links)
        ok = add(l.first) && add(l.second) && ok;
    unsigned char d[20];
    unsigned int n = 0;
    int r = EVP_DigestFinal_ex(ctx.get(), d, &n);
    if (r != 1 || !ok) {
        SERR("%s: error %d from DIGEST_FINAL", op, r);
        return false;
    }
    char *b64 = base64_encode(d, 20);
    if (b64 == nullptr)
        return false;
    text = b64;
    free(b64);
    if (digest != nullptr)
        memcpy(digest, d, 20);
    return true;
}

bool storage::commit()
{
    static const char *op = "commit";
    bool is_credential = false;
    if (!writable_with_path() || !caller_has_token(m_owner.c_str(), &is_credential)) {
        SERR("%s: access denied, cannot commit '%s'", op, m_index_path.c_str());
        errno = EACCES;
        return false;
    }
    c_xmldoc doc;
    c_xmlnode *root = doc.create_root("pstore");
    c_xmlnode *envelope = root->add_child("envelope");
    // Never a commit without the lock: another process's commit between
    // the read and the rename would be lost.
    if (!lock()) {
        SERR("%s: cannot lock, cannot commit '%s'", op, m_index_path.c_str());
        return false;
    }
    // An index that another process committed and that cannot be read
    // back, or an owner the caller may no longer act for, is never
    // overwritten with what this object holds.
    if ((index_changed() && !reload()) || !writable_with_path() ||
        !caller_has_token(m_owner.c_str(), &is_credential)) {
        SERR("%s: access denied, cannot commit '%s'", op, m_index_path.c_str());
        unlock();
        errno = EACCES;
        return false;
    }
    flush_open_members(m_lock);

    unsigned char digest[20];
    std::string text;
    if (!internal_hash(digest, text)) {
        SERR("%s: cannot compute digest", op);
        unlock();
        errno = EACCES;
        return false;
    }
    std::string signature;
    if (!is_credential) {
        signature = "external";
    } else {
        unsigned char sig[20];
        if (tarvo_crypto_sign(reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                              m_owner.c_str(), sig) != 0) {
            SERR("%s: Cannot make signature", op);
            errno = EACCES;
            unlock();
            return false;
        }
        char *formatted = nullptr;
        tarvo_crypto_format_signature(sig, 1, m_owner.c_str(), &formatted);
        if (formatted == nullptr) {
            SERR("%s: memory error? (%s)", op, errtext());
            errno = ENOMEM;
            unlock();
            return false;
        }
        signature = formatted;
        tarvo_crypto_release(formatted);
    }
    root->set_attribute("owner", m_owner.c_str());
    root->set_attribute("version", "2");
    if (m_protection == 1 && m_lock->m_data_directory != DEFAULT_DATA_DIRECTORY)
        root->set_attribute("storage-path", m_lock->m_data_directory.c_str());
    // A name or target that XML cannot carry would be missing from the
    // saved index, whose signature would then fail and drop every entry at
    // the next open: such an index is not written.
    auto carried = [&](const c_xmlnode *e, const char *attribute, const std::string &text) {
        const char *stored = e->get_attribute(attribute, false, nullptr);
        if (stored != nullptr && text == stored)
            return true;
        SERR("%s: '%s' cannot be kept in the index '%s'", op, text.c_str(),
             m_index_path.c_str());
        return false;
    };
    bool all_carried = true;
    for (auto &f : m_files) {
        c_xmlnode *e = envelope->add_child("file");
        e->set_attribute("name", f.first.c_str());
        e->set_attribute("hash", f.second.digest.c_str());
        all_carried = carried(e, "name", f.first) && carried(e, "hash", f.second.digest) &&
                      all_carried;
        if (m_protection != 1) {
            const struct stat &m = f.second.metadata;
            e->set_attribute_long("size", long(int32_t(m.st_size)));
            e->set_attribute_long("uid", long(int32_t(m.st_uid)));
            e->set_attribute_long("gid", long(int32_t(m.st_gid)));
            e->set_attribute_long("mode", long(int32_t(m.st_mode)));
            e->set_attribute_long("mtime", long(int32_t(m.st_mtime)));
            e->set_attribute_long("atime", long(int32_t(m.st_atime)));
            e->set_attribute_long("ctime", long(int32_t(m.st_ctime)));
        }
    }
    for (const auto &l : m_links) {
        c_xmlnode *e = envelope->add_child("link");
        e->set_attribute("name", l.first.c_str());
        e->set_attribute("to", l.second.c_str());
        all_carried = carried(e, "name", l.first) && carried(e, "to", l.second) && all_carried;
    }
    if (!all_carried) {
        unlock();
        errno = EINVAL;
        return false;
    }
    root->add_child("signature")->append_text(signature.c_str());
    if (m_protection == 1) {
        char *b64 = base64_encode(m_key, m_keylen);
        root->add_child("key")->append_text(b64 ? b64 : "");
        free(b64);
    }
    // Every commit publishes the digest of the whole index it writes, so
    // that the other objects of the store see also a commit that changed
    // only metadata, owner or key. The text is made once: the bytes
    // digested (and recorded in the vdata file) are the bytes written.
    unsigned char whole[20];
    const std::string saved = doc.to_string(true);
    if (sha1(saved.data(), saved.size(), whole) != 1) {
        SERR("%s: cannot compute digest", op);
        unlock();
        errno = EACCES;
        return false;
    }
    // Without usable hardware an index counts through its vdata entry.
    // The new index's hash is recorded as pending first, so that both the
    // old and the new index verify until the new one is in place: a hash
    // that cannot be recorded leaves the old index, an index that cannot
    // be written drops the pending hash again, and the hash becomes the
    // index's entry only once the index is on the disk.
    const bool through_vdata = tarvo_crypto_hw_mode() == 3;
    if (through_vdata && save_pending_signature(m_index_path.c_str(), whole) != 1) {
        SERR("%s: cannot record '%s' in the vdata file", op, m_index_path.c_str());
        unlock();
        errno = EACCES;
        return false;
    }
    if (!c_xmldoc::save_text(m_index_path.c_str(), saved)) {
        int e = errno;
        SERR("%s: failed to commit '%s'", op, m_index_path.c_str());
        if (through_vdata)
            drop_pending_signature(m_index_path.c_str());
        unlock();
        errno = e;
        return false;
    }
    // The pending hash already vouches for the index written: one that
    // cannot be settled now is settled by the next commit.
    if (through_vdata && save_global_signature(m_index_path.c_str(), whole) != 1)
        SERR("%s: cannot record '%s' in the vdata file", op, m_index_path.c_str());
    // Written: what this object added is in the index now. Until then a
    // failed commit keeps it across a reload.
    for (auto &f : m_files)
        f.second.dirty = false;
    m_removed.clear();
    m_removed_links.clear();
    discard_data_files();
    errno = 0;
    m_lock->publish_digest(whole);
    unlock();
    return true;
}

void storage::discard_data_files()
{
    for (const auto &d : m_discarded_data)
        if (m_files.count(d.first) == 0 && unlink_data_file(d.second) != 0 && errno != ENOENT)
            SERR("Couldn't unlink '%s' (%s)", d.second.c_str(), errtext());
    m_discarded_data.clear();
}

void storage::reload_index()
{
    reload();
}

bool storage::reload()
{
    std::map<std::string, file_entry> old_files;
    std::map<std::string, std::string> old_links;
    bool keep = m_lock != nullptr && m_lock->writable();
    if (keep) {
        old_files.swap(m_files);
        old_links.swap(m_links);
    }
    std::string owner = m_owner;
    std::string name = m_name;
    bool opened = open_index(name.c_str(), owner.empty() ? nullptr : owner.c_str());
    if (!opened && m_lock != nullptr)
        m_lock->mark_behind();
    if (!keep || m_lock == nullptr || !m_lock->writable())
        return opened;
    for (auto &f : old_files) {
        if (!f.second.dirty)
            continue;
        std::unique_ptr<p_file> m(member(f.first.c_str()));
        if (!m)
            continue;
        if (access(m->p_path(), R_OK) != 0)
            continue;
        file_entry &e = m_files[f.first];
        e.digest = f.second.digest;
        e.metadata = f.second.metadata;
        e.dirty = true;
    }
    for (auto &l : old_links) {
        if (m_links.count(l.first) == 0 && m_files.count(l.second) != 0)
            m_links[l.first] = l.second;
    }
    // What this object removed stays removed, unless it made the name
    // anew since (a dirty entry).
    for (const std::string &n : m_removed) {
        auto it = m_files.find(n);
        if (it == m_files.end() || it->second.dirty)
            continue;
        m_files.erase(it);
        drop_links_to(n);
    }
    for (const std::string &n : m_removed_links)
        m_links.erase(n);
    return opened;
}

bool storage::refresh()
{
    if (!readable_with_path()) {
        SERR("%s: access denied", "refresh");
        errno = EACCES;
        return false;
    }
    if (index_changed()) {
        reload_index();
        return true;
    }
    return false;
}

int storage::entry_count()
{
    reload_if_changed();
    if (!readable_with_path())
        return -1;
    return int(m_files.size() + m_links.size());
}

int storage::link_count()
{
    reload_if_changed();
    return int(m_links.size());
}

}  // namespace tarvo
