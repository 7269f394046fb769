// Store operations on members and links: queries, adding, removing and
// renaming members, whole-file reading and writing, content checks,
// listings, links, removing the whole store and finding a store address's
// stores.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"
#include "support/tarvo_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "creds/creds.h"
#include "support/tarvo_common.h"

using namespace storage_internal;

namespace tarvo {

namespace {

const int OPEN_CREATE = O_RDWR | O_CREAT | O_TRUNC;

// Whether the file system has room for `length` bytes in the existing file
// at `path`. Asked before a member is opened and cut, so that a rewrite
// that cannot get its blocks (full or size-limited file system) fails
// while the old content and its entry are untouched. The file keeps its
// length either way. A file that cannot be opened here is left to the
// member's own open to report.
bool room_for(const std::string &path, bool encrypted, uint32_t length)
{
    int flags = O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    int fd = encrypted ? open_data_file(path, flags, 0) : open(path.c_str(), flags);
    if (fd < 0)
        return true;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < off_t(length)) {
        e = posix_fallocate(fd, 0, off_t(length));
        if (ftruncate(fd, st.st_size) != 0 && e == 0)
            e = errno;
    }
    close(fd);
    if (e != 0) {
        errno = e;
        return false;
    }
    return true;
}

bool null_arg(const void *p, const char *operation)
{
    if (p != nullptr)
        return false;
    SERR("%s: invalid parameter (NULL)", operation);
    errno = EINVAL;
    return true;
}

// Whether a signed member's record describes content of this digest and
// length. A member emptied by a writer is recorded with an empty digest.
bool recorded_as(const file_entry &entry, const std::string &digest, uint64_t length)
{
    if (uint64_t(entry.metadata.st_size) != length)
        return false;
    return entry.digest == digest || (length == 0 && entry.digest.empty());
}

}  // namespace

bool storage::guard_access(const char *operation)
{
    if (readable_with_path())
        return true;
    SERR("%s: access denied", operation);
    errno = EACCES;
    return false;
}

bool storage::guard_write(const char *operation)
{
    if (writable_with_path())
        return true;
    SERR("%s: access denied", operation);
    errno = EACCES;
    return false;
}

bool storage::contains_file(const char *name)
{
    if (!guard_access("contains_file"))
        return false;
    reload_if_changed();
    std::string n;
    normalise_name(name ? name : "", n);
    return m_files.count(n) != 0;
}

bool storage::hash_of_file(const char *name, std::string &out)
{
    if (!guard_access("hash_of_file"))
        return false;
    reload_if_changed();
    std::string n;
    normalise_name(name, n);
    auto it = m_files.find(n);
    if (it == m_files.end())
        return false;
    out = it->second.digest;
    return true;
}

int storage::get_files(std::vector<char *> &names)
{
    if (!guard_access("get_files"))
        return -1;
    reload_if_changed();
    int count = 0;
    for (const auto &f : m_files) {
        names.push_back(strdup(f.first.c_str()));
        count++;
    }
    for (const auto &l : m_links) {
        names.push_back(strdup(l.first.c_str()));
        count++;
    }
    return count;
}

int storage::get_ufiles(std::vector<char *> &names)
{
    bool was_readable = m_lock != nullptr && m_lock->readable();
    bool was_writable = m_lock != nullptr && m_lock->writable();
    bool lifted = false;
    if (m_lock != nullptr && !was_readable) {
        creds_set *own = creds_for_task(0);
        if (has_dac_override(own)) {
            m_lock->set_readable(true);
            lifted = true;
        }
        creds_release(own);
    }
    auto restore = [&]() {
        if (lifted) {
            m_lock->set_readable(was_readable);
            if (was_writable)
                m_lock->set_writable(true);
        }
    };
    if (!guard_access("get_ufiles")) {
        restore();
        return -1;
    }
    for (const auto &f : m_files) {
        if (m_protection == 1) {
            std::unique_ptr<p_file> m(member(f.first.c_str()));
            if (m)
                names.push_back(strdup(m->p_path()));
        } else {
            names.push_back(strdup(f.first.c_str()));
        }
    }
    if (is_regular_file(m_index_path.c_str()))
        names.push_back(strdup(m_index_path.c_str()));
    restore();
    return int(names.size());
}

int storage::stat_file(const char *name, struct stat *out)
{
    if (null_arg(name, "stat_file") || !guard_access("stat_file"))
        return -1;
    reload_if_changed();
    auto link = m_links.find(name);
    bool is_link = link != m_links.end();
    std::string target = is_link ? link->second : std::string(name);
    std::unique_ptr<p_file> m(member(target.c_str()));
    if (!m) {
        errno = ENOENT;
        return -1;
    }
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int r = m->p_stat(out);
    if (r == 0 && is_link)
        out->st_mode |= 0xa1ff;
    return r;
}

void storage::add_file(const char *name)
{
    static const char *op = "add_file";
    if (!guard_write(op))
        return;
    reload_if_changed();
    if (name == nullptr || name[0] == '\0') {
        SERR("%s: invalid parameter (NULL)", op);
        errno = EINVAL;
        return;
    }
    std::string n;
    normalise_name(name, n);
    if (m_protection == 1 && m_files.count(n) != 0) {
        SERR("%s: store already contains file '%s'", op, n.c_str());
        return;
    }
    std::unique_ptr<p_file> m(member(n.c_str()));
    if (!m)
        return;
    if (!m->p_open(m_protection == 1 ? OPEN_CREATE : O_RDONLY)) {
        // A signed member whose file changed since it was recorded fails
        // its open on the old digest; adding it again records the file as
        // it is now. The old entry comes back when that open fails too.
        auto old = m_files.find(m->name());
        if (m_protection == 1 || errno != EACCES || old == m_files.end())
            return;
        file_entry kept = old->second;
        m_files.erase(old);
        if (!m->p_open(O_RDONLY)) {
            int e = errno;
            m_files[m->name()] = kept;
            errno = e;
            return;
        }
    }
    std::string key = m->name();
    if (m_protection != 1) {
        // The status is taken before the entry exists, so that a new
        // member's metadata are its file's and not an empty entry's.
        struct stat st;
        memset(&st, 0, sizeof st);
        m->p_stat(&st);
        m_files[key].metadata = st;
    }
    // Added here: the entry survives a reload until this object commits.
    auto it = m_files.find(key);
    if (it != m_files.end()) {
        const char *d = m->p_digest();
        it->second.digest = d ? d : "";
        it->second.dirty = true;
    }
    m->p_close();
}

void storage::remove_file(const char *name)
{
    static const char *op = "remove_file";
    if (null_arg(name, op) || !guard_write(op))
        return;
    reload_if_changed();
    std::string n;
    normalise_name(name, n);
    if (m_files.count(n) == 0)
        return;
    // The data file goes once the removal is committed: until then the
    // index on the disk still lists the member.
    if (m_protection == 1) {
        std::unique_ptr<p_file> m(member(n.c_str()));
        if (m)
            m_discarded_data.emplace_back(n, m->p_path());
    }
    m_files.erase(n);
    m_removed.insert(n);
    drop_links_to(n);
}

void storage::drop_links_to(const std::string &member_name)
{
    for (auto it = m_links.begin(); it != m_links.end();) {
        if (it->second == member_name) {
            m_removed_links.insert(it->first);
            it = m_links.erase(it);
        } else {
            ++it;
        }
    }
}

int storage::put_file(const char *name, const void *data, size_t size)
{
    static const char *op = "put_file";
    if (name == nullptr || name[0] == '\0') {
        SERR("%s: invalid parameter (NULL)", op);
        errno = EINVAL;
        return -1;
    }
    if (data == nullptr && size != 0) {
        SERR("%s: invalid parameter (NULL)", op);
        errno = EINVAL;
        return -1;
    }
    if (!guard_write(op))
        return -1;
    reload_if_changed();
    if (size > 0xFFFFE000u) {
        errno = EFBIG;
        return -1;
    }
    std::unique_ptr<p_file> m(member(name));
    if (!m) {
        errno = ENOENT;
        return -1;
    }
    // The room for the new content is asked for before the old file is
    // moved aside.
    uint64_t image = m_protection == 1 ? (uint64_t(size) + PE_HEADER_SIZE + 15) / 16 * 16 : size;
    if (!room_for(m->p_path(), m_protection == 1, uint32_t((image | 0xFFF) + 1))) {
        int e = errno;
        SERR("Could not write to '%s' (%s)", name, strerror(e));
        errno = e;
        return -1;
    }
    auto listed = m_files.find(m->name());
    file_entry before;
    bool had_entry = listed != m_files.end();
    if (had_entry)
        before = listed->second;
    // A listed member's file is moved aside and the new content written
    // as a new file: a write or commit that fails puts the old file and
    // its entry back, so the member keeps its acknowledged content.
    // An encrypted store's data files are reached only through directories
    // opened one at a time, never through a link.
    auto move = [this](const std::string &from, const std::string &to) {
        return m_protection == 1 ? rename_data_file(from, to) : ::rename(from.c_str(), to.c_str());
    };
    const std::string path = m->p_path();
    const std::string aside = path + ".old." + std::to_string(long(getpid()));
    bool moved_aside = false;
    if (had_entry) {
        if (move(path, aside) == 0)
            moved_aside = true;
        else if (errno != ENOENT) {
            int e = errno;
            SERR("Could not write to '%s' (%s)", name, strerror(e));
            errno = e;
            return -1;
        }
    }
    auto put_back = [&]() {
        int e = errno;
        if (moved_aside) {
            if (move(aside, path) != 0)
                SERR("%s: cannot put '%s' back (%s)", op, path.c_str(), errtext());
            tarvo_sync_directory_of(path.c_str());
        }
        if (had_entry)
            m_files[m->name()] = before;
        errno = e;
    };
    if (!m->p_open(OPEN_CREATE)) {
        SERR("Could not open '%s' (%s)", name, errtext());
        put_back();
        return -1;
    }
    // A write that fails is never committed.
    m->discard_on_failure(had_entry ? &before : nullptr);
    if (size != 0 && m->p_write(0, data, uint32_t(size)) != int(size)) {
        int e = errno;
        SERR("Could not write to '%s'", name);
        m->p_close();
        errno = e;
        put_back();
        return -1;
    }
    if (m->p_close() != 0) {
        int e = errno;
        SERR("Could not commit '%s' (%s)", name, strerror(e));
        errno = e;
        put_back();
        return -1;
    }
    if (moved_aside &&
        (m_protection == 1 ? unlink_data_file(aside) : ::unlink(aside.c_str())) != 0)
        SERR("Couldn't unlink '%s' (%s)", aside.c_str(), errtext());
    return 0;
}

int storage::get_file(const char *name, unsigned char **data, size_t *size)
{
    static const char *op = "get_file";
    if (null_arg(name, op) || null_arg(data, op) || null_arg(size, op))
        return -1;
    *data = nullptr;
    *size = 0;
    reload_if_changed();
    if (!guard_access(op))
        return -1;
    auto link = m_links.find(name);
    std::string target;
    if (link != m_links.end()) {
        target = link->second;
    } else {
        normalise_name(name, target);
        if (m_files.count(target) == 0) {
            errno = ENOENT;
            return -1;
        }
    }
    std::unique_ptr<p_file> m(member(target.c_str()));
    if (!m) {
        errno = ENOENT;
        return -1;
    }
    if (!m->p_open(O_RDONLY)) {
        SERR("Could not open '%s' (%s)", name, errtext());
        return -1;
    }
    uint32_t n = m->p_datasize();
    unsigned char *buf = static_cast<unsigned char *>(malloc(n ? n : 1));
    if (buf == nullptr) {
        m->p_close();
        errno = ENOMEM;
        return -1;
    }
    int got = n ? m->p_read(0, buf, n) : 0;
    if (got < 0 || uint32_t(got) < n) {
        int e = got < 0 ? errno : EIO;
        SERR("Could not read from '%s'", name);
        wipe(buf, n);
        free(buf);
        m->p_close();
        errno = e;
        return -1;
    }
    *data = buf;
    *size = size_t(got);
    m->p_close();
    return 0;
}

// The member a name stands for: a link's target, else the normalised name.
std::string storage::member_of(const char *name) const
{
    auto link = m_links.find(name);
    if (link != m_links.end())
        return link->second;
    std::string target = name;
    normalise_name(name, target);
    return target;
}

int storage::verify_content(const char *name, const void *data, size_t size)
{
    static const char *op = "verify_content";
    if (null_arg(name, op) || null_arg(data, op))
        return 0;
    reload_if_changed();
    if (!guard_access(op))
        return 0;
    std::string given;
    if (!compute_digest(data, size, 'b', given))
        return 0;
    auto it = m_files.find(member_of(name));
    if (m_protection != 1) {
        // A signed member's record is its content's digest and size: the
        // data verify when they are exactly that content.
        return it != m_files.end() && recorded_as(it->second, given, size) ? 1 : 0;
    }
    // An encrypted member's record covers its data file: the content is
    // read (the open checks the data file) and must equal the data whole.
    if (it != m_files.end() && it->second.digest == given)
        return 1;
    unsigned char *buf = nullptr;
    size_t got = 0;
    if (get_file(name, &buf, &got) != 0)
        return 0;
    int result = 0;
    std::string stored;
    if (got == size && compute_digest(buf, got, 'b', stored))
        result = stored == given ? 1 : 0;
    wipe(buf, got);
    free(buf);
    return result;
}

int storage::verify_file(const char *name)
{
    static const char *op = "verify_file";
    if (null_arg(name, op))
        return 0;
    reload_if_changed();
    if (!guard_access(op))
        return 0;
    auto link = m_links.find(name);
    std::string target = link != m_links.end() ? link->second : std::string(name);
    std::unique_ptr<p_file> m(member(target.c_str()));
    if (!m) {
        errno = ENOENT;
        return 0;
    }
    auto it = m_files.find(m->name());
    if (it == m_files.end())
        return 0;
    std::string recorded = it->second.digest;
    if (m_protection != 1) {
        // The whole file as it is now, whatever the index says its size is.
        std::string now;
        uint64_t length = 0;
        if (!sha1_of_file(m->p_path(), now, length))
            return 0;
        return recorded_as(it->second, now, length) ? 1 : 0;
    }
    if (!m->p_open(O_RDONLY))
        return 0;
    const char *d = m->p_digest();
    int result = d != nullptr && recorded == d ? 1 : 0;
    m->p_close();
    return result;
}

void storage::rename(const char *old_name, const char *new_name)
{
    if (!guard_write("rename"))
        return;
    reload_if_changed();
    rename_step(old_name, new_name, nullptr);
}

void storage::rename(const char *old_name, const char *new_name, p_file *member_object)
{
    rename_step(old_name, new_name, member_object);
}

void storage::rename_step(const char *old_name, const char *new_name, p_file *given)
{
    static const char *op = "rename";
    if (null_arg(old_name, op) || null_arg(new_name, op) || !guard_write(op))
        return;
    reload_if_changed();
    std::string from, to;
    normalise_name(old_name, from);
    normalise_name(new_name, to);
    auto it = m_files.find(from);
    if (it == m_files.end()) {
        auto link = m_links.find(old_name);
        if (link == m_links.end()) {
            SERR("%s: '%s' not found", op, old_name);
            return;
        }
        std::string target = link->second;
        m_links.erase(link);
        m_removed_links.insert(old_name);
        m_links[new_name] = target;
        m_removed_links.erase(new_name);
        return;
    }
    file_entry kept = it->second;
    if (m_protection == 1) {
        std::unique_ptr<p_file> own;
        p_file *m = given;
        if (m == nullptr) {
            own.reset(member(from.c_str()));
            m = own.get();
        }
        pe_file *pe = dynamic_cast<pe_file *>(m);
        if (pe == nullptr) {
            SERR("Cannot find '%s'", from.c_str());
            errno = ENOENT;
            return;
        }
        // The data is linked at its new place; the old name's link goes
        // once the rename is committed, so that the index on the disk
        // finds its data until then.
        std::string old_path;
        if (from != to) {
            if (!pe->link_pathname(to.c_str(), old_path)) {
                SERR("Rename '%s' to '%s' failed (%s)", from.c_str(), to.c_str(), errtext());
                if (errno == 0)
                    errno = ENOENT;
                return;
            }
            m_discarded_data.emplace_back(from, old_path);
        }
    }
    m_files.erase(from);
    if (from != to)
        m_removed.insert(from);
    file_entry &e = m_files[to];
    e.digest = kept.digest;
    if (m_protection != 1)
        e.metadata = kept.metadata;
    // Renamed here: the new name survives a reload until this object commits.
    e.dirty = true;
}

int storage::remove_all_files()
{
    if (!guard_write("remove_all_files"))
        return 0;
    if (m_protection == 1) {
        for (auto it = m_files.rbegin(); it != m_files.rend(); ++it) {
            std::unique_ptr<p_file> m(member(it->first.c_str()));
            if (m)
                m->p_unlink();
        }
    }
    m_files.clear();
    m_links.clear();
    if (m_lock)
        m_lock->unlink();
    if (!is_regular_file(m_index_path.c_str()))
        return 1;
    return ::unlink(m_index_path.c_str()) == 0 ? 1 : 0;
}

void storage::add_link(const char *name, const char *target)
{
    static const char *op = "add_link";
    if (null_arg(name, op) || null_arg(target, op))
        return;
    if (name[0] == '\0') {
        SERR("%s: invalid parameter (NULL)", op);
        errno = EINVAL;
        return;
    }
    if (!guard_write(op))
        return;
    reload_if_changed();
    m_links[name] = target;
    m_removed_links.erase(name);
}

void storage::remove_link(const char *name)
{
    static const char *op = "remove_link";
    if (null_arg(name, op) || !guard_write(op))
        return;
    reload_if_changed();
    if (m_links.erase(name) != 0)
        m_removed_links.insert(name);
}

void storage::read_link(const char *name, std::string &out)
{
    static const char *op = "read_link";
    if (null_arg(name, op))
        return;
    reload_if_changed();
    if (!guard_access(op))
        return;
    auto it = m_links.find(name);
    if (it != m_links.end())
        out = it->second;
}

bool storage::contains_link(const char *name)
{
    static const char *op = "contains_link";
    if (!guard_access(op))
        return false;
    reload_if_changed();
    if (null_arg(name, op))
        return false;
    return m_links.count(name) != 0;
}

}  // namespace tarvo

int iterate_storage(int visibility, int protection, const char *pattern,
                    int (*callback)(int, const char *, void *), void *user_data)
{
    std::string directory;
    if (storage_directory(visibility, protection, directory) != 0) {
        SERR("Cannot get storage name");
        return -2;
    }
    return scan_directory(directory.c_str(), pattern, callback, user_data);
}
