// Members of encrypted stores. A member's .dat file holds a random IV in
// clear, then, enciphered with the member cipher, the member's status record
// and an MD5 of IV and record, and the content from offset 136. The store's
// index records the digest of the stored image; the metadata live only in
// the header.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "support/tarvo_common.h"

using namespace storage_internal;

namespace {

// Offsets in the header image: IV, status record (32-bit ARM stat64
// layout, little-endian), MD5.
constexpr int REC = 16;
constexpr int MD5_AT = 120;
constexpr int F_DEV = 0, F_INO = 12, F_MODE = 16, F_NLINK = 20, F_UID = 24, F_GID = 28,
              F_RDEV = 32, F_SIZE = 48, F_BLKSIZE = 56, F_BLOCKS = 64, F_ATIME = 72,
              F_MTIME = 80, F_CTIME = 88, F_INO64 = 96;

inline uint32_t round16(uint64_t n) { return uint32_t((n + 15) / 16 * 16); }

// Largest data size whose image still fits the 32-bit file size.
constexpr uint64_t MAX_DATA = 0xFFFFE000u - tarvo::PE_HEADER_SIZE;

}  // namespace

namespace tarvo {

pe_file::pe_file(storage *store, const char *name) : p_file(store, name)
{
    memset(m_header, 0, sizeof m_header);
    put_le(m_header + REC + F_SIZE, ~uint64_t(0), 8);
    if (store == nullptr || name == nullptr) {
        SERR("%s: invalid parameter (NULL)", "pe_file");
        errno = EINVAL;
        return;
    }
    set_pathname(m_name.c_str(), false);
}

pe_file::~pe_file()
{
    if (m_state != 3)
        p_close();
    wipe(m_header, sizeof m_header);
}

bool pe_file::header_known() const
{
    return get_le(m_header + REC + F_SIZE, 8) != ~uint64_t(0);
}

uint64_t pe_file::data_size() const
{
    return header_known() ? get_le(m_header + REC + F_SIZE, 8) : 0;
}

// Back to the state of a member whose header was never read: what a
// header that failed its check held is not kept.
void pe_file::forget_header()
{
    wipe(m_header, sizeof m_header);
    put_le(m_header + REC + F_SIZE, ~uint64_t(0), 8);
}

void pe_file::set_data_size(uint64_t size)
{
    put_le(m_header + REC + F_SIZE, size, 8);
}

uint32_t pe_file::image_length() const
{
    return round16(data_size() + PE_HEADER_SIZE);
}

void pe_file::set_iv(const unsigned char iv[16])
{
    memcpy(m_header, iv, 16);
}

// The IV in clear, the MD5 of IV and record, record and MD5 enciphered.
void pe_file::write_header()
{
    unsigned char *map = static_cast<unsigned char *>(m_map);
    memcpy(map, m_header, 16);
    md5(m_header, MD5_AT, m_header + MD5_AT);
    crypto_op(false, REC, m_header + REC, PE_HEADER_SIZE - REC);
    m_disk_image = image_length();
}

static void record_from_stat(unsigned char *r, const struct stat &st)
{
    memset(r, 0, 104);
    put_le(r + F_DEV, uint64_t(st.st_dev), 8);
    put_le(r + F_INO, uint64_t(st.st_ino), 4);
    put_le(r + F_MODE, st.st_mode, 4);
    put_le(r + F_NLINK, uint64_t(st.st_nlink), 4);
    put_le(r + F_UID, st.st_uid, 4);
    put_le(r + F_GID, st.st_gid, 4);
    put_le(r + F_RDEV, uint64_t(st.st_rdev), 8);
    put_le(r + F_SIZE, uint64_t(st.st_size), 8);
    put_le(r + F_BLKSIZE, uint64_t(st.st_blksize), 4);
    put_le(r + F_BLOCKS, uint64_t(st.st_blocks), 8);
    put_le(r + F_ATIME, uint64_t(st.st_atim.tv_sec), 4);
    put_le(r + F_ATIME + 4, uint64_t(st.st_atim.tv_nsec), 4);
    put_le(r + F_MTIME, uint64_t(st.st_mtim.tv_sec), 4);
    put_le(r + F_MTIME + 4, uint64_t(st.st_mtim.tv_nsec), 4);
    put_le(r + F_CTIME, uint64_t(st.st_ctim.tv_sec), 4);
    put_le(r + F_CTIME + 4, uint64_t(st.st_ctim.tv_nsec), 4);
    put_le(r + F_INO64, uint64_t(st.st_ino), 8);
}

static void stat_from_record(struct stat &st, const unsigned char *r)
{
    memset(&st, 0, sizeof st);
    st.st_dev = dev_t(get_le(r + F_DEV, 8));
    st.st_ino = ino_t(get_le(r + F_INO64, 8));
    st.st_mode = mode_t(get_le(r + F_MODE, 4));
    st.st_nlink = nlink_t(get_le(r + F_NLINK, 4));
    st.st_uid = uid_t(get_le(r + F_UID, 4));
    st.st_gid = gid_t(get_le(r + F_GID, 4));
    st.st_rdev = dev_t(get_le(r + F_RDEV, 8));
    st.st_size = off_t(get_le(r + F_SIZE, 8));
    st.st_blksize = blksize_t(get_le(r + F_BLKSIZE, 4));
    st.st_blocks = blkcnt_t(get_le(r + F_BLOCKS, 8));
    st.st_atim.tv_sec = time_t(int32_t(get_le(r + F_ATIME, 4)));
    st.st_atim.tv_nsec = long(get_le(r + F_ATIME + 4, 4));
    st.st_mtim.tv_sec = time_t(int32_t(get_le(r + F_MTIME, 4)));
    st.st_mtim.tv_nsec = long(get_le(r + F_MTIME + 4, 4));
    st.st_ctim.tv_sec = time_t(int32_t(get_le(r + F_CTIME, 4)));
    st.st_ctim.tv_nsec = long(get_le(r + F_CTIME + 4, 4));
}

bool pe_file::fail_pe_open(bool key_taken)
{
    int e = errno;
    if (m_map != MAP_FAILED && m_maplen > 0 && munmap(m_map, m_maplen) != 0)
        SERR("%s: munmap failed (%s)", "p_open", errtext());
    m_map = MAP_FAILED;
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    if (key_taken)
        m_store->release_aes_keys();
    m_size = 0;
    m_maplen = 0;
    m_state = 3;
    errno = e;
    return false;
}

bool pe_file::p_open(int flags)
{
    static const char *op = "p_open";
    if (!alive()) {
        errno = EINVAL;
        return false;
    }
    if (m_state != 3)
        p_close();
    if (m_store->index_changed())
        m_store->reload_index();
    if (!int_open(flags, true))
        return false;
    bool was_listed = listed();
    bool read_header = !m_fresh && was_listed;
    // A header is read from the file as it is (a writer's mapping is made
    // only once the open is granted); a writer of a file the index does
    // not list writes a new header over it.
    if (!m_fresh && m_maplen <= 135 && (read_header || !writer())) {
        SERR("%s: file too small to be encrypted, %lu bytes", op, (unsigned long)m_size);
        errno = EIO;
        return fail_pe_open(false);
    }
    if (!m_store->set_aes_keys(true, nullptr)) {
        SERR("Failed to set the AES key");
        errno = EACCES;
        return fail_pe_open(false);
    }
    int state = m_state;
    m_times_kept = false;
    if (read_header) {
        unsigned char *map = static_cast<unsigned char *>(m_map);
        memcpy(m_header, map, 16);
        crypto_op(true, REC, m_header + REC, PE_HEADER_SIZE - REC);
        unsigned char computed[16];
        md5(m_header, MD5_AT, computed);
        if (memcmp(computed, m_header + MD5_AT, 16) != 0) {
            std::string stored_hex, computed_hex;
            append_hex(stored_hex, m_header + MD5_AT, 16);
            append_hex(computed_hex, computed, 16);
            SERR("%s: corrupted header stored %s != computed %s", op, stored_hex.c_str(),
                 computed_hex.c_str());
            forget_header();
            errno = EIO;
            return fail_pe_open(true);
        }
        // The stored image, up to its last whole block, must lie in the file.
        if (image_length() > m_size) {
            SERR("%s: header checks out but file sizes (data size %lu, m_size %lu) do not "
                 "make sense",
                 op, (unsigned long)data_size(), (unsigned long)m_size);
            set_data_size(m_size);
            errno = EFBIG;
            return fail_pe_open(true);
        }
        m_disk_image = image_length();
        struct stat st;
        stat_from_record(st, m_header + REC);
        if (!check_permission(&st, m_state == 0 ? reading : writing, getpid(), geteuid(),
                              getegid())) {
            errno = EACCES;
            return fail_pe_open(true);
        }
        if (!check_digest()) {
            if (!(flags & P_ADOPT_DIGEST)) {
                errno = EACCES;
                return fail_pe_open(true);
            }
            m_store->m_files[m_name].digest = m_digest;
            m_state = state;
            errno = 0;
        }
        if (writer() && !begin_writing())
            return fail_pe_open(true);
    } else {
        // A header is written into the file: an open without write access
        // (of a file the index does not list, or with O_TRUNC) cannot make
        // one. A reader that creates the file has it opened read-write.
        if (!m_opened_rw) {
            SERR("%s: cannot create a header for '%s' in a read-only open", op, m_name.c_str());
            errno = EBADF;
            return fail_pe_open(true);
        }
        if (!begin_writing())
            return fail_pe_open(true);
        struct stat st;
        if (fstat(m_fd, &st) != 0) {
            SERR("Error from fstat (%s)", errtext());
            memset(&st, 0, sizeof st);
        }
        st.st_size = 0;
        record_from_stat(m_header + REC, st);
        tarvo_crypto_random(m_header, 16);
        write_header();
        file_entry &e = m_store->m_files[m_name];
        if (!was_listed)
            e.dirty = true;
        m_digest.clear();
        const char *d = p_digest();
        e.digest = d ? d : "";
    }
    if (m_state != 0 && m_store->m_lock)
        m_store->m_lock->add_open_member(this);
    return true;
}

bool pe_file::seal_header()
{
    if (m_state == 0 || m_state == 3)
        return true;
    if (m_map != MAP_FAILED) {
        time_t now = time(nullptr);
        if (int32_t(get_le(m_header + REC + F_CTIME, 4)) == -1) {
            put_le(m_header + REC + F_CTIME, uint64_t(now), 4);
        } else if (!m_times_kept) {
            // Times set since the last write are kept.
            put_le(m_header + REC + F_ATIME, uint64_t(now), 4);
            put_le(m_header + REC + F_MTIME, uint64_t(now), 4);
        }
        m_digest.clear();
        write_header();
    }
    return p_flush(false);
}

int pe_file::p_close()
{
    if (!alive()) {
        // The store and its keys are gone: the header cannot be sealed.
        // The file keeps the image its header on disk describes and the
        // content written since, without padding.
        if (writer())
            trim_file(std::max(image_length(), m_disk_image));
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
        bool durable = seal_header();
        uint32_t length = image_length();
        if (ftruncate(m_fd, off_t(length)) != 0) {
            SERR("ftruncate to %lu failed (%s)", (unsigned long)length, errtext());
            durable = false;
        }
        committed = durable && m_store->commit();
        e = errno;
    }
    m_store->release_aes_keys();
    m_store->unlock();
    release("p_close");
    if (!committed) {
        errno = e != 0 ? e : EIO;
        return -1;
    }
    return 0;
}

void pe_file::discard()
{
    if (m_state == 3)
        return;
    if (alive())
        m_store->release_aes_keys();
    p_file::discard();
}

int pe_file::p_read(int64_t offset, void *buffer, uint32_t length)
{
    if (!alive() || buffer == nullptr || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (m_state == 2 || m_state == 3) {
        errno = EBADF;
        return -1;
    }
    uint64_t size = data_size();
    if (uint64_t(offset) >= size)
        return 0;
    uint64_t n = size - uint64_t(offset);
    if (n > length)
        n = length;
    if (n > INT_MAX)
        n = INT_MAX;
    crypto_op(true, uint64_t(offset) + PE_HEADER_SIZE, buffer, uint32_t(n));
    return int(n);
}

int pe_file::p_write(int64_t offset, const void *buffer, uint32_t length)
{
    if (!alive() || buffer == nullptr || offset < 0 || length > INT_MAX) {
        errno = EINVAL;
        return -1;
    }
    if (!writer()) {
        errno = EBADF;
        return -1;
    }
    uint64_t end = uint64_t(offset) + length;
    if (end > MAX_DATA) {
        errno = EFBIG;
        return -1;
    }
    uint64_t old = data_size();
    if (old < end)
        set_data_size(end);
    // The last block touched ends at the image's 16-byte boundary.
    if (!roundup(round16(end + PE_HEADER_SIZE))) {
        set_data_size(old);
        fail_growth();
        return -1;
    }
    m_times_kept = false;
    if (old < uint64_t(offset))
        crypto_op(false, old + PE_HEADER_SIZE, nullptr, uint32_t(uint64_t(offset) - old));
    crypto_op(false, uint64_t(offset) + PE_HEADER_SIZE, const_cast<void *>(buffer), length);
    m_digest.clear();
    return int(length);
}

int pe_file::p_trunc(int64_t size)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    if (!writer()) {
        errno = EBADF;
        return -1;
    }
    if (size < 0 || uint64_t(size) > MAX_DATA) {
        errno = size < 0 ? EINVAL : EFBIG;
        return -1;
    }
    uint64_t old = data_size();
    uint32_t old_size = m_size;
    if (uint64_t(size) != old) {
        set_data_size(uint64_t(size));
        m_digest.clear();
    }
    m_times_kept = false;
    // Cut at the end of the content's last block: the bytes beyond it are
    // zeroed, so the block itself must not be cut into.
    m_size = round16(uint64_t(size) + PE_HEADER_SIZE);
    if (!roundup(m_size)) {
        set_data_size(old);
        m_size = old_size;
        fail_growth();
        return -1;
    }
    if (ftruncate(m_fd, off_t(m_maplen)) != 0) {
        SERR("%s: ftruncate to %lu failed (%s)", "p_trunc", (unsigned long)m_maplen, errtext());
        return -1;
    }
    // Growth reads as zeros: the new range is enciphered from zeros.
    if (old < uint64_t(size))
        crypto_op(false, old + PE_HEADER_SIZE, nullptr, uint32_t(uint64_t(size) - old));
    return 0;
}

int pe_file::p_stat(struct stat *out)
{
    if (!alive() || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (header_known()) {
        stat_from_record(*out, m_header + REC);
        return 0;
    }
    if (!p_open(O_RDONLY))
        return -1;
    stat_from_record(*out, m_header + REC);
    p_close();
    return 0;
}

const char *pe_file::p_digest()
{
    if (!alive())
        return nullptr;
    if (m_digest.empty() && m_map != MAP_FAILED)
        storage::compute_digest(m_map, image_length(), 'b', m_digest);
    return m_digest.c_str();
}

// what: 0 mode, 1 owner and group, 2 times.
bool pe_file::set_in_closed(int what, mode_t mode, uid_t user, gid_t group, const int *times)
{
    bool was_closed = m_state == 3;
    if (was_closed && !p_open(O_RDWR))
        return false;
    unsigned char *r = m_header + REC;
    if (what == 0) {
        put_le(r + F_MODE, mode, 4);
    } else if (what == 1) {
        put_le(r + F_UID, user, 4);
        put_le(r + F_GID, group, 4);
    } else {
        put_le(r + F_ATIME, uint64_t(int64_t(times[0])), 4);
        put_le(r + F_MTIME, uint64_t(int64_t(times[1])), 4);
    }
    if (was_closed) {
        put_le(r + F_CTIME, 0xFFFFFFFFu, 4);
        p_close();
    } else {
        put_le(r + F_CTIME, uint64_t(time(nullptr)), 4);
        m_digest.clear();
        if (what == 2)
            m_times_kept = true;
    }
    return true;
}

int pe_file::p_chmod(mode_t mode)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    return set_in_closed(0, mode, 0, 0, nullptr) ? 0 : -1;
}

int pe_file::p_chown(uid_t user, gid_t group)
{
    if (!alive()) {
        errno = EINVAL;
        return -1;
    }
    return set_in_closed(1, 0, user, group, nullptr) ? 0 : -1;
}

int pe_file::p_utime(const int times[2])
{
    if (!alive() || times == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return set_in_closed(2, 0, 0, 0, times) ? 0 : -1;
}

int pe_file::p_unlink()
{
    return unlink_data_file(m_datpath);
}

uint32_t pe_file::p_datasize()
{
    if (header_known())
        return uint32_t(data_size());
    return m_size > PE_HEADER_SIZE ? m_size - PE_HEADER_SIZE : 0;
}

const char *pe_file::p_path()
{
    return m_datpath.c_str();
}

void pe_file::set_pathname(const char *name, bool migrate)
{
    static const char *op = "set_pathname";
    if (name == nullptr || m_store == nullptr) {
        SERR("%s: invalid parameter (NULL)", op);
        errno = EINVAL;
        return;
    }
    std::string text = m_store->m_name + ":" + name;
    std::string b64;
    storage::compute_digest(text.data(), text.size(), 'b', b64);
    std::string copy;
    for (char c : b64) {
        if (c == '=')
            break;
        copy += c == '/' ? '-' : c;
    }
    std::string directory = m_store->m_lock ? m_store->m_lock->m_data_directory : std::string();
    if (directory.empty())
        directory = storage_data_directory();
    int dir = open_directory_path(directory, true);
    if (dir < 0)
        SERR("%s: %s does not exist and cannot be created (%s)", op, directory.c_str(),
             errtext());
    else
        close(dir);
    m_datpath = directory + copy + ".dat";
    std::string old_path = m_datpath;
    if (migrate) {
        std::string earlier = std::string(LEGACY_DATA_DIRECTORY) + copy + ".dat";
        if (is_regular_file(earlier.c_str()) &&
            !move_file(m_store, earlier.c_str(), m_datpath.c_str()))
            SERR("%s: cannot move '%s' to '%s'", op, earlier.c_str(), m_datpath.c_str());
    }
    m_datpath += m_store->m_visibility == 2 ? "p" : "s";
    if (migrate && rename_data_file(old_path, m_datpath) != 0)
        SERR("%s: cannot move '%s' to '%s' (%s)", op, old_path.c_str(), m_datpath.c_str(),
             errtext());
}

int pe_file::change_pathname(const char *new_name)
{
    std::string old = m_datpath;
    set_pathname(new_name, false);
    if (rename_data_file(old, m_datpath) != 0) {
        SERR("%s: cannot rename %s -> %s (%s)", "change_pathname", old.c_str(),
             m_datpath.c_str(), errtext());
        return 0;
    }
    return 1;
}

int pe_file::link_pathname(const char *new_name, std::string &old_path)
{
    old_path = m_datpath;
    set_pathname(new_name, false);
    if (link_data_file(old_path, m_datpath) != 0) {
        int e = errno;
        SERR("%s: cannot link %s -> %s (%s)", "change_pathname", old_path.c_str(),
             m_datpath.c_str(), errtext());
        m_datpath = old_path;
        errno = e;
        return 0;
    }
    return 1;
}

}  // namespace tarvo

int move_file(tarvo::storage *, const char *from, const char *to)
{
    static const char *op = "move_file";
    int in = open(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        SERR("%s: cannot open '%s' (%s)", op, from, errtext());
        return 0;
    }
    struct stat st;
    void *map = MAP_FAILED;
    if (fstat(in, &st) != 0 ||
        (st.st_size > 0 &&
         (map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, in, 0)) == MAP_FAILED)) {
        SERR("%s: cannot stat '%s' (%s)", op, from, errtext());
        close(in);
        return 0;
    }
    // A move onto the file itself is done already: opening it to be
    // written would empty the only copy.
    struct stat there;
    if (lstat(to, &there) == 0 && there.st_dev == st.st_dev && there.st_ino == st.st_ino) {
        if (map != MAP_FAILED)
            munmap(map, size_t(st.st_size));
        close(in);
        return 1;
    }
    // A longer file already at the destination is cut to the moved length.
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777);
    int ok = 1;
    if (out < 0) {
        SERR("%s: cannot create '%s' (%s)", op, to, errtext());
        ok = 0;
    } else {
        ssize_t written = st.st_size > 0 ? write(out, map, size_t(st.st_size)) : 0;
        // The source goes only once its copy is on the disk.
        if (written == ssize_t(st.st_size) && fsync(out) != 0)
            written = -1;
        if (written != ssize_t(st.st_size)) {
            SERR("%s: cannot write to '%s', written %ld, size %ld (%s)", op, to, long(written),
                 long(st.st_size), errtext());
            unlink(to);
            ok = 0;
        } else if (unlink(from) != 0) {
            SERR("Couldn't unlink '%s' (%s)", from, errtext());
        }
        close(out);
    }
    if (map != MAP_FAILED)
        munmap(map, size_t(st.st_size));
    close(in);
    return ok;
}
