// Members of signed stores: file-like access to a member's own file through
// one shared mapping, the digest check at open, growth in 4096-byte steps,
// the flush that records digest and metadata, and the close that commits
// the store. The encrypted member class builds on these steps.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>

#include "support/tarvo_common.h"

using namespace storage_internal;

namespace tarvo {

p_file::p_file(storage *store, const char *name)
    : m_store(store), m_fd(-1), m_size(0), m_map(MAP_FAILED), m_maplen(0), m_fresh(false),
      m_state(3)
{
    if (store == nullptr || name == nullptr) {
        SERR("%s: invalid parameter (NULL)", "p_file");
        errno = EINVAL;
        return;
    }
    m_semname = store->semaphore_name();
    store->normalise_name(name, m_name);
}

p_file::~p_file()
{
    if (m_state != 3)
        p_close();
}

bool p_file::alive() const
{
    if (m_store == nullptr)
        return false;
    return semaphore_alive(m_semname);
}

bool p_file::listed() const
{
    return m_store->m_files.count(m_name) != 0;
}

void p_file::release(const char *operation)
{
    if (m_map != MAP_FAILED && m_maplen > 0 && munmap(m_map, m_maplen) != 0)
        SERR("%s: munmap failed (%s)", operation, errtext());
    m_map = MAP_FAILED;
    if (m_fd >= 0 && close(m_fd) != 0)
        SERR("%s: close returned (%s)", operation, errtext());
    m_fd = -1;
    m_size = 0;
    m_maplen = 0;
    m_state = 3;
}

void p_file::trim_file(uint32_t length)
{
    if (m_fd >= 0 && ftruncate(m_fd, off_t(length)) != 0)
        SERR("ftruncate to %lu failed (%s)", (unsigned long)length, errtext());
}

void p_file::fail_open()
{
    int e = errno;
    m_store->lock();
    m_store->unlock();
    release("p_open");
    errno = e;
}

// The open step failed after its descriptor was opened: closed again,
// errno e.
bool p_file::abandon_open(int e)
{
    close(m_fd);
    m_fd = -1;
    m_maplen = 0;
    m_state = 3;
    errno = e;
    return false;
}

bool p_file::int_open(int flags, bool lock)
{
    static const char *op = "int_open";
    switch (flags & 3) {
    case 0: m_state = 0; break;
    case 2: m_state = 1; break;
    case 1:
        m_state = 2;
        flags = (flags & ~3) | O_RDWR;
        break;
    default:
        SERR("%s: odd flags %03o", op, unsigned(flags));
        errno = EINVAL;
        return false;
    }
    flags &= ~P_ADOPT_DIGEST;
    // Truncating is writing: a reader may not cut the content, whatever
    // the store allows.
    if (m_state == 0 && (flags & O_TRUNC)) {
        SERR("%s: O_TRUNC in a read-only open", op);
        errno = EBADF;
        m_state = 3;
        return false;
    }
    bool needs_write = m_state != 0 || (flags & O_CREAT);
    if (!m_store->has_access(needs_write)) {
        SERR("%s: access denied", op);
        errno = EACCES;
        m_state = 3;
        return false;
    }
    bool encrypted = m_store->m_protection == 1;
    // Content only the owner may read stays the owner's; a signed file is
    // readable by all and writable by its owner only.
    mode_t mode = encrypted || m_store->m_visibility == 2 ? 0600 : 0644;
    const char *path = p_path();
    struct stat st;
    bool recorded = false;
    bool created = false;
    m_truncate = false;
    // An encrypted store's data file is reached only through directories
    // of the caller or root, never through a link (a directory swapped for
    // one after the store was opened would redirect the write).
    int found = encrypted ? stat_data_file(path, &st) : stat(path, &st);
    // A second link to an unlisted encrypted data file is what a rename cut
    // short between its commit and the removal of the old name leaves: the
    // data is the renamed member's, and a writer of this name makes a new
    // file instead of writing into it.
    if (found == 0 && encrypted && m_state != 0 && st.st_nlink > 1 &&
        m_store->m_files.count(m_name) == 0) {
        if (unlink_data_file(path) != 0) {
            SERR("%s: cannot unlink '%s' (%s)", op, path, errtext());
            m_state = 3;
            return false;
        }
        found = -1;
        errno = ENOENT;
    }
    if (found != 0) {
        if (errno != ENOENT) {
            SERR("%s: cannot stat '%s' (%s)", op, path, errtext());
            m_state = 3;
            return false;
        }
        m_fresh = true;
        m_size = 0;
        created = true;
        if (encrypted && (flags & 3) == O_RDONLY)
            flags = (flags & ~3) | O_RDWR;
    } else {
        if (uint64_t(st.st_size) > UINT32_MAX) {
            SERR("%s: '%s' is too large (%lld bytes)", op, path, (long long)st.st_size);
            errno = EFBIG;
            m_state = 3;
            return false;
        }
        m_size = uint32_t(st.st_size);
        if (!encrypted) {
            auto it = m_store->m_files.find(m_name);
            if (it != m_store->m_files.end()) {
                m_size = uint32_t(it->second.metadata.st_size);
                recorded = true;
            }
        }
        if (flags & O_TRUNC) {
            m_fresh = true;
            if (!encrypted) {
                m_size = 0;
                m_truncate = true;
            }
        } else {
            m_fresh = false;
        }
    }
    // The system never truncates at open: a signed member is cut once the
    // open is granted (begin_writing), an encrypted one keeps its header.
    flags &= ~O_TRUNC;
    // The data files of encrypted stores are never links either.
    // A file this open creates is never reached through a link: one that
    // appeared since the path was found absent would send the new file
    // elsewhere.
    int extra = O_CLOEXEC | (encrypted || created ? O_NOFOLLOW : 0);
    mode_t old_mask = umask(0);
    m_fd = encrypted ? open_data_file(path, flags | extra, mode) : open(path, flags | extra, mode);
    int open_errno = errno;
    umask(old_mask);
    if (m_fd < 0) {
        errno = open_errno;
        SERR("Cannot open '%s' (%s)", path, errtext());
        m_state = 3;
        errno = open_errno;
        return false;
    }
    if (lock && m_state != 0 && flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        SERR("Failed to get lock on '%s' (%s)", m_name.c_str(), strerror(e));
        return abandon_open(e);
    }
    // Until the open is granted the content is only read: a writer's
    // mapping is made by begin_writing after the checks, so that a refused
    // open leaves the file as it found it.
    m_opened_rw = (flags & 3) != O_RDONLY;
    m_maplen = m_fresh ? 0 : m_size;
    // A file shorter than the size the index records cannot be mapped
    // whole: reading past its end would fault.
    if (recorded && m_size > 0 && (fstat(m_fd, &st) != 0 || uint64_t(st.st_size) < m_size)) {
        SERR("Corrupted data '%s'\n(file shorter than its recorded size %lu)", m_name.c_str(),
             (unsigned long)m_size);
        return abandon_open(EACCES);
    }
    if (m_maplen > 0) {
        void *p = mmap(nullptr, m_maplen, PROT_READ, MAP_SHARED, m_fd, 0);
        if (p == MAP_FAILED) {
            int e = errno;
            SERR("Cannot mmap '%s' (%s)", path, strerror(e));
            return abandon_open(e);
        }
        m_map = p;
    }
    return true;
}

// The writer's side of a granted open: the content is cut when the open
// asked for it, and the file and a writable mapping grow to the next page
// above the content.
bool p_file::begin_writing()
{
    if (m_map != MAP_FAILED && m_maplen > 0 && munmap(m_map, m_maplen) != 0)
        SERR("%s: munmap failed (%s)", "p_open", errtext());
    m_map = MAP_FAILED;
    if (m_truncate && ftruncate(m_fd, 0) != 0) {
        SERR("ftruncate to %lu failed (%s)", 0ul, errtext());
        return false;
    }
    m_truncate = false;
    m_maplen = m_size;
    if (!roundup(m_size)) {
        m_maplen = 0;
        return false;
    }
    return true;
}

// Makes the file exactly `length` bytes long with every block of it
// allocated, so that writing the mapping can never fault on a full file
// system. The blocks are reserved before anything is cut: a failure leaves
// the file's length as it was.
bool p_file::reserve(uint32_t length)
{
    static const char *op = "roundup";
    struct stat st;
    if (fstat(m_fd, &st) != 0) {
        SERR("%s: cannot grow file '%s' to %lu (%s)", op, p_path(), (unsigned long)length,
             errtext());
        return false;
    }
    int e = posix_fallocate(m_fd, 0, off_t(length));
    if (e != 0) {
        if (e == ENOSPC)
            SERR("%s: cannot grow file '%s' to %lu, disk full", op, p_path(),
                 (unsigned long)length);
        else
            SERR("%s: cannot grow file '%s' to %lu (%s)", op, p_path(), (unsigned long)length,
                 strerror(e));
        if (uint64_t(st.st_size) < length && ftruncate(m_fd, st.st_size) != 0)
            SERR("%s: ftruncate to %ld failed (%s)", op, long(st.st_size), errtext());
        errno = e;
        return false;
    }
    if (uint64_t(st.st_size) > length && ftruncate(m_fd, off_t(length)) != 0) {
        SERR("%s: ftruncate to %ld failed (%s)", op, long(length), errtext());
        return false;
    }
    return true;
}

bool p_file::roundup(uint32_t n)
{
    static const char *op = "roundup";
    uint32_t old_size = m_size;
    if (n > m_size)
        m_size = n;
    if (m_size >= 0xFFFFF000u) {
        SERR("%s: cannot grow file '%s' beyond %lu bytes", op, p_path(), (unsigned long)m_size);
        m_size = old_size;
        errno = EFBIG;
        return false;
    }
    uint32_t target = (m_size | 0xFFF) + 1;
    uint32_t old_len = m_maplen;
    bool mapped = m_map != MAP_FAILED;
    if (mapped && target == m_maplen)
        return true;
    if ((!mapped || target > m_maplen) && !reserve(target)) {
        m_size = old_size;
        return false;
    }
    void *p;
    if (!mapped)
        p = mmap(nullptr, target, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
    else
        p = mremap(m_map, m_maplen, target, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
        SERR("%s: cannot map/remap (%s)", op, errtext());
        m_size = old_size;
        return false;
    }
    m_map = p;
    unsigned char *base = static_cast<unsigned char *>(m_map);
    if (target > old_len)
        memset(base + old_len, 0, target - old_len);
    else if (target > m_size)
        memset(base + m_size, 0, target - m_size);
    m_maplen = target;
    return true;
}

bool p_file::check_digest()
{
    auto it = m_store->m_files.find(m_name);
    if (m_fresh) {
        // Fresh content is digested anew: the recorded digest is of what
        // the truncation threw away.
        m_digest.clear();
        return true;
    }
    // A digest taken by an earlier open (of the content's recorded
    // length) is never carried over: an unlisted member is digested as it
    // is now.
    m_digest.clear();
    if (it == m_store->m_files.end())
        return true;
    // Empty content counts only when the index records empty content (its
    // digest is then the empty text): a member cut short by a writer that
    // died is not valid empty content.
    const char *computed = p_digest();
    std::string now = computed ? computed : "";
    if (now == it->second.digest)
        return true;
    // Empty content unmapped has no digest text; the index may hold the
    // empty text or the SHA-1 of nothing for it.
    if (now.empty() && p_datasize() == 0) {
        std::string empty;
        storage::compute_digest("", 0, 'b', empty);
        if (it->second.digest == empty)
            return true;
    }
    SERR("Corrupted data '%s'\n(saved:%s != computed:%s)", m_name.c_str(),
         it->second.digest.c_str(), now.c_str());
    m_state = 0;
    errno = EACCES;
    return false;
}

bool p_file::p_open(int flags)
{
    if (!alive()) {
        errno = EINVAL;
        return false;
    }
    if (m_state != 3) {
        // Reopening an open member closes the earlier open first.
        p_close();
    }
    if (m_store->index_changed())
        m_store->reload_index();
    if (!int_open(flags, true))
        return false;
    if (!check_digest()) {
        fail_open();
        return false;
    }
    if (m_fresh) {
        if (m_state != 0 && !begin_writing()) {
            fail_open();
            return false;
        }
        bool was_listed = listed();
        file_entry &e = m_store->m_files[m_name];
        if (!was_listed)
            e.dirty = true;
        const char *d = p_digest();
        e.digest = d ? d : "";
        struct stat st;
        if (fstat(m_fd, &st) != 0) {
            SERR("Error from fstat (%s)", errtext());
            memset(&st, 0, sizeof st);
        }
        st.st_size = off_t(m_size);
        e.metadata = st;
    } else {
        struct stat st;
        if (p_stat(&st) != 0) {
            fail_open();
            return false;
        }
        if (!check_permission(&st, m_state == 0 ? reading : writing, getpid(), geteuid(),
                              getegid())) {
            errno = EACCES;
            fail_open();
            return false;
        }
        if (m_state != 0 && !begin_writing()) {
            fail_open();
            return false;
        }
    }
    if (m_state != 0 && m_store->m_lock)
        m_store->m_lock->add_open_member(this);
    return true;
}

int p_file::p_read(int64_t offset, void *buffer, uint32_t length)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (buffer == nullptr || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (m_state == 2 || m_state == 3) {
        errno = EBADF;
        return -1;
    }
    if (uint64_t(offset) >= m_size)
        return 0;
    uint64_t n = m_size - uint64_t(offset);
    if (n > length)
        n = length;
    if (n > INT_MAX)
        n = INT_MAX;
    memcpy(buffer, static_cast<const unsigned char *>(m_map) + offset, size_t(n));
    return int(n);
}

int p_file::p_write(int64_t offset, const void *buffer, uint32_t length)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (!writer()) {
        errno = EBADF;
        return -1;
    }
    if (buffer == nullptr || offset < 0 || length > INT_MAX) {
        errno = EINVAL;
        return -1;
    }
    if (length == 0)
        return 0;
    if (uint64_t(offset) + length >= 0xFFFFF000u) {
        errno = EFBIG;
        return -1;
    }
    if (!roundup(uint32_t(offset + length))) {
        fail_growth();
        return -1;
    }
    memcpy(static_cast<unsigned char *>(m_map) + offset, buffer, length);
    m_digest.clear();
    return int(length);
}

// A write or truncation whose growth failed closes the member with what
// was written before; a full file system is reported as such.
void p_file::fail_growth()
{
    int e = errno;
    if (m_discard)
        discard();
    else
        p_close();
    errno = e == ENOSPC ? ENOSPC : ENOMEM;
}

void p_file::discard_on_failure(const file_entry *before)
{
    m_discard = true;
    m_had_entry = before != nullptr;
    if (before)
        m_before = *before;
}

// Closes a writer without flushing or committing: the store's entry is
// the one it had before the write, so no commit records what the failed
// write left in the file.
void p_file::discard()
{
    if (m_state == 3)
        return;
    if (alive()) {
        if (m_store->m_lock)
            m_store->m_lock->remove_open_member(this);
        if (m_had_entry)
            m_store->m_files[m_name] = m_before;
        else
            m_store->m_files.erase(m_name);
    }
    m_discard = false;
    release("p_write");
}

int p_file::p_trunc(int64_t size)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (!writer()) {
        errno = EBADF;
        return -1;
    }
    if (size < 0 || size >= int64_t(0xFFFFF000u)) {
        errno = size < 0 ? EINVAL : EFBIG;
        return -1;
    }
    uint32_t old_size = m_size;
    if (uint32_t(size) != m_size) {
        // Bytes cut off are zeroed in the mapping, so that growing the
        // content again within the same length gives zeros, not old data.
        if (uint32_t(size) < m_size && m_map != MAP_FAILED) {
            uint32_t end = m_size < m_maplen ? m_size : m_maplen;
            if (uint32_t(size) < end)
                memset(static_cast<unsigned char *>(m_map) + size, 0, end - uint32_t(size));
        }
        m_size = uint32_t(size);
        m_digest.clear();
    }
    off_t length;
    if (m_size == 0) {
        if (m_map != MAP_FAILED && m_maplen > 0 && munmap(m_map, m_maplen) != 0)
            SERR("%s: munmap failed (%s)", "p_trunc", errtext());
        m_map = MAP_FAILED;
        m_maplen = 0;
        length = 0;
    } else {
        if (!roundup(m_size)) {
            m_size = old_size;
            fail_growth();
            return -1;
        }
        length = off_t(m_maplen);
    }
    if (ftruncate(m_fd, length) != 0) {
        SERR("%s: ftruncate to %lu failed (%s)", "p_trunc", (unsigned long)length, errtext());
        return -1;
    }
    return 0;
}

bool p_file::p_flush(bool trim)
{
    if (m_state == 0 || m_state == 3)
        return true;
    uint32_t n = p_datasize();
    p_digest();
    bool durable = true;
    int e = 0;
    if (fsync(m_fd) != 0) {
        e = errno;
        durable = false;
        SERR("%s: fsync failed (%s)", "p_flush", errtext());
    }
    if (trim) {
        if (ftruncate(m_fd, off_t(n)) != 0) {
            if (durable)
                e = errno;
            durable = false;
            SERR("ftruncate to %lu failed (%s)", (unsigned long)n, errtext());
        } else if (n > 0) {
            void *p = m_map != MAP_FAILED ? mremap(m_map, m_maplen, n, MREMAP_MAYMOVE)
                                          : MAP_FAILED;
            if (p != MAP_FAILED) {
                m_map = p;
                m_maplen = n;
            } else {
                roundup(n);
            }
        } else {
            if (m_map != MAP_FAILED && m_maplen > 0 && munmap(m_map, m_maplen) != 0)
                SERR("%s: munmap failed (%s)", "p_flush", errtext());
            m_map = MAP_FAILED;
            m_maplen = 0;
        }
    }
    auto it = m_store->m_files.find(m_name);
    if (it != m_store->m_files.end()) {
        it->second.digest = m_digest;
        struct stat st;
        p_stat(&st);
    }
    if (!durable)
        errno = e;
    return durable;
}

// Closing a writer commits the store: a commit that fails is reported
// (-1, errno of the commit), the member is closed either way.
int p_file::p_close()
{
    if (!alive()) {
        // The store is gone: nothing can be committed, but the file keeps
        // no padding beyond its content.
        if (writer())
            trim_file(m_size);
        release("p_close");
        errno = EINVAL;
        return -1;
    }
    m_store->lock();
    if (m_store->index_changed())
        m_store->reload_index();
    if (m_state == 3) {
        m_store->unlock();
        return 0;
    }
    bool committed = true;
    int e = 0;
    if (writer()) {
        if (m_store->m_lock)
            m_store->m_lock->remove_open_member(this);
        // Content that could not be made durable is never committed.
        errno = 0;
        committed = p_flush(true) && m_store->commit();
        e = errno;
    }
    m_store->unlock();
    release("p_close");
    if (!committed) {
        errno = e != 0 ? e : EIO;
        return -1;
    }
    return 0;
}

int p_file::p_stat(struct stat *out)
{
    if (!alive() || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (stat(m_name.c_str(), out) != 0)
        return -1;
    auto it = m_store->m_files.find(m_name);
    if (it != m_store->m_files.end()) {
        const struct stat &m = it->second.metadata;
        out->st_mode = m.st_mode;
        out->st_uid = m.st_uid;
        out->st_gid = m.st_gid;
        out->st_size = m.st_size;
        out->st_atim.tv_sec = m.st_atim.tv_sec;
        out->st_mtim.tv_sec = m.st_mtim.tv_sec;
        out->st_ctim.tv_sec = m.st_ctim.tv_sec;
    }
    if (writer())
        out->st_size = off_t(m_size);
    set_entry_stat(out);
    return 0;
}

void p_file::set_entry_stat(const struct stat *record)
{
    if (!alive() || record == nullptr)
        return;
    auto it = m_store->m_files.find(m_name);
    if (it != m_store->m_files.end())
        it->second.metadata = *record;
}

const char *p_file::p_digest()
{
    if (!alive())
        return nullptr;
    if (m_digest.empty() && m_map != MAP_FAILED)
        storage::compute_digest(m_map, m_size, 'b', m_digest);
    return m_digest.c_str();
}

int p_file::p_rename(const char *name)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (name == nullptr) {
        SERR("%s: invalid parameter (NULL)", "p_rename");
        errno = EINVAL;
        return -1;
    }
    if (!m_store->has_access(true)) {
        SERR("%s: access denied", "p_rename");
        errno = EACCES;
        return -1;
    }
    std::string old_name = m_name;
    m_store->rename(old_name.c_str(), name, this);
    m_store->normalise_name(name, m_name);
    return 0;
}

int p_file::p_chmod(mode_t mode)
{
    struct stat st;
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (p_stat(&st) != 0)
        return -1;
    st.st_mode = mode;
    st.st_ctime = time(nullptr);
    set_entry_stat(&st);
    return 0;
}

int p_file::p_chown(uid_t user, gid_t group)
{
    struct stat st;
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (p_stat(&st) != 0)
        return -1;
    st.st_uid = user;
    st.st_gid = group;
    st.st_ctime = time(nullptr);
    set_entry_stat(&st);
    return 0;
}

int p_file::p_utime(const int times[2])
{
    struct stat st;
    if (!alive() || times == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (p_stat(&st) != 0)
        return -1;
    st.st_atime = times[0];
    st.st_mtime = times[1];
    st.st_ctime = time(nullptr);
    set_entry_stat(&st);
    return 0;
}

int p_file::p_unlink()
{
    return 0;
}

uint32_t p_file::p_datasize()
{
    return m_size;
}

const char *p_file::p_path()
{
    return m_name.c_str();
}

// ---- store's member machinery ----

p_file *storage::member(const char *name)
{
    if (name == nullptr)
        return nullptr;
    if (!readable_with_path()) {
        SERR("%s: access denied", "member");
        errno = EACCES;
        return nullptr;
    }
    reload_if_changed();
    if (m_protection == 1)
        return new pe_file(this, name);
    return new p_file(this, name);
}

int storage::compute_digest(const void *data, size_t length, char format, std::string &out)
{
    unsigned char d[20];
    if (sha1(data, length, d) != 1)
        return 0;
    if (format == 'x') {
        out.clear();
        append_hex(out, d, 20);
        return 1;
    }
    char *b64 = base64_encode(d, 20);
    if (b64 == nullptr)
        return 0;
    out = b64;
    free(b64);
    return 1;
}

void storage::free_name(char *name)
{
    free(name);
}

void storage::free_names(std::vector<char *> &names)
{
    for (char *n : names)
        free(n);
    names.clear();
}

}  // namespace tarvo

void flush_open_members(storage_lock *lock)
{
    if (lock == nullptr)
        return;
    // Copy: a flush that fails may close a member and take it off the list.
    std::vector<tarvo::p_file *> members = lock->open_members();
    for (tarvo::p_file *m : members) {
        if (m == nullptr)
            continue;
        tarvo::pe_file *pe = dynamic_cast<tarvo::pe_file *>(m);
        if (m->store() && m->store()->m_protection == 1) {
            if (pe)
                pe->seal_header();
        } else {
            m->p_flush(true);
        }
    }
}
