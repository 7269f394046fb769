// The vdata file, its reader and writer, the software certificate's
// digest of it and the recording and checking of a file's hash in it.
#include "crypto/vdata.h"

#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "secbins/kz4_secbins.h"
#include "storage/tarvo_storage.h"
#include "support/tarvo_common.h"
#include "support/tarvo_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <utility>

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

// Set while the list is being checked through the store of "tcb", or this
// process holds that store's lock: a store index that is itself vouched
// for by the list cannot vouch for it in turn.
bool checking_list = false;

// Keys of pending hashes begin with this text (see save_pending_signature).
constexpr char PENDING_PREFIX[] = "pending:";

// A path the list can hold: one that reads back as written. A line break
// would let a path add lines of its own; a leading blank, '*' or white
// space is taken by the reader as part of the separator or ends its parse.
bool recordable_path(const char *path)
{
    unsigned char first = (unsigned char)path[0];
    return first != '\0' && first != '*' && !isspace(first) && !strchr(path, '\n') &&
           strncmp(path, PENDING_PREFIX, strlen(PENDING_PREFIX)) != 0;
}

// The key of a path's pending hash: one that no recordable path has.
std::string pending_key(const char *path)
{
    return std::string(PENDING_PREFIX) + path;
}

// The bytes of the vdata file as read once into private memory.
struct vdata_text {
    char *bytes = nullptr;
    size_t size = 0;
    bool present = false;  // a file stood at the path
    vdata_text() = default;
    ~vdata_text() { free(bytes); }
    vdata_text(const vdata_text &) = delete;
    vdata_text &operator=(const vdata_text &) = delete;
    vdata_text &operator=(vdata_text &&o) noexcept
    {
        std::swap(bytes, o.bytes);
        std::swap(size, o.size);
        std::swap(present, o.present);
        return *this;
    }
};

// A descriptor closed with its owner.
struct descriptor {
    int fd;
    explicit descriptor(int d) : fd(d) {}
    ~descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
};

// The largest vdata file read.
constexpr uint64_t VDATA_FILE_MAX = 16u << 20;

// Creates a new file "PATH.new.PID.TID" beside path (exclusively, never
// through a link), the calling thread's own name: a file of that name can
// only be left by a dead thread of the same number, and is replaced. The
// descriptor, or -1 with errno set; temp receives the name.
int create_temporary_beside(const char *path, mode_t mode, std::string &temp)
{
    temp = std::string(path) + ".new." + std::to_string(getpid()) + "." +
           std::to_string(long(syscall(SYS_gettid)));
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
    int fd = open(temp.c_str(), flags, mode);
    if (fd < 0 && errno == EEXIST && unlink(temp.c_str()) == 0)
        fd = open(temp.c_str(), flags, mode);
    return fd;
}

// Removes the temporaries that writers which died before their rename left
// beside path ("PATH.new.PID.TID" of a process that is gone): a live
// writer's process is there, so what a writer is making stays.
void remove_stale_temporaries(const char *file)
{
    std::string path(file);
    size_t slash = path.rfind('/');
    std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    std::string prefix = path.substr(slash + 1) + ".new.";
    descriptor dir_fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.fd < 0)
        return;
    DIR *dir = fdopendir(dup(dir_fd.fd));
    if (!dir)
        return;
    while (dirent *e = readdir(dir)) {
        if (strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        char *end = nullptr;
        long pid = strtol(e->d_name + prefix.size(), &end, 10);
        if (pid <= 0 || *end != '.')
            continue;
        if (kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            unlinkat(dir_fd.fd, e->d_name, 0);
    }
    closedir(dir);
}

// Reads the whole vdata file once into private memory, so that what is
// checked is exactly what is then parsed, whatever happens to the file
// meanwhile. A missing file reads as no text. The file must be a regular
// file (opened without blocking, so a FIFO in its place cannot stall the
// reader). False with errno set when it cannot be read whole.
bool read_vdata_bytes(vdata_text &out)
{
    out = vdata_text();
    descriptor d(open(TARVO_VDATA_PATH, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (d.fd < 0)
        return errno == ENOENT;
    struct stat st;
    if (fstat(d.fd, &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    // A list of every file a device records is a few megabytes; a larger
    // file is refused before its buffer takes the memory.
    if (uint64_t(st.st_size) > VDATA_FILE_MAX) {
        errno = EFBIG;
        return false;
    }
    size_t room = size_t(st.st_size);
    out.bytes = static_cast<char *>(malloc(room > 0 ? room : 1));
    if (!out.bytes) {
        errno = ENOMEM;
        return false;
    }
    out.present = true;
    while (out.size < room) {
        ssize_t n = read(d.fd, out.bytes + out.size, room - out.size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;  // the file shrank: what was read is its text
        out.size += size_t(n);
    }
    return true;
}

bool same_text(const vdata_text &a, const vdata_text &b)
{
    return a.size == b.size && (a.size == 0 || memcmp(a.bytes, b.bytes, a.size) == 0);
}

// Whether the text counts: its SHA-1 equals the certificate's, else the
// store of "tcb" vouches for it. 0, 2 when it cannot be digested, or the
// store check's result.
int check_vdata_text(const vdata_text &text)
{
    get_vdata_digest();
    const unsigned char *content = reinterpret_cast<const unsigned char *>(text.bytes);
    if (crypto.hw_usable && crypto.vdata_digest_cached) {
        unsigned char digest[20];
        if (!digest_of_buffer(content, text.size, digest))
            return 2;
        if (memcmp(digest, crypto.vdata_digest, 20) == 0)
            return 0;
        CRYPTO_ERROR("%s: hash of '%s' (%s) does not match hash in swcert (%s)",
                     "read_tarvo_vdata", TARVO_VDATA_PATH, hex_text(digest).c_str(),
                     hex_text(crypto.vdata_digest).c_str());
    }
    // The check opens the store of "tcb", whose index may be one that the
    // list vouches for ("external"): reading the list again from within
    // that check would recurse without end, so the list counts as unsigned
    // there.
    if (checking_list) {
        CRYPTO_ERROR("%s: '%s' cannot vouch for the store that lists it", "read_tarvo_vdata",
                     TARVO_VDATA_PATH);
        return 2;
    }
    vdata_store_busy busy;
    return tarvo_crypto_verify_file(TARVO_VDATA_PATH, content, text.size,
                                    TARVO_CRYPTO_TCB_TOKEN);
}

// Reads the file and checks what was read: 0 with the parsed list (empty
// for a missing or empty file), 1 when the file cannot be read (errno
// set), else the check's result.
int read_checked_list(vdata_text &text, tarvo_vdata &list)
{
    list.clear();
    if (!read_vdata_bytes(text)) {
        int e = errno;
        CRYPTO_ERROR("%s: cannot read '%s' (%s)", "read_tarvo_vdata", TARVO_VDATA_PATH,
                     strerror(e));
        errno = e;
        return 1;
    }
    if (text.size == 0) {
        // Missing or empty: an empty list.
        if (text.present)
            CRYPTO_ERROR("'%s' is empty", TARVO_VDATA_PATH);
        return 0;
    }
    int r = check_vdata_text(text);
    if (r != 0)
        return r;
    parse_tarvo_vdata(text.bytes, text.size, list);
    return 0;
}

// The exclusive lock of the writers of the list, on a lock file beside it
// (the list itself is replaced by every writing, so it cannot carry the
// lock). Held from the reading of the list to the renaming of the new one.
// Only a lock file that is the caller's own regular file of mode 0600 with
// one link is locked: any other (another user's, or one that others may
// open and hold locked) is replaced by a fresh one first, so that the
// recording never waits on a lock of another user. When it cannot be
// replaced the recording fails at once.
class vdata_writer_lock {
public:
    vdata_writer_lock() : d_(-1)
    {
        static const char *op = "save_global_signature";
        static const char *path = TARVO_VDATA_PATH ".lock";
        for (int attempt = 0; attempt < 8; attempt++) {
            int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                          0600);
            if (fd < 0 && errno != ELOOP && errno != EACCES && errno != ENXIO &&
                errno != EISDIR && errno != EWOULDBLOCK) {
                CRYPTO_ERROR("%s: cannot open '%s' (%s)", op, path, strerror(errno));
                return;
            }
            descriptor d(fd);
            if (fd < 0 || !own_private(fd)) {
                if (!replace(path)) {
                    int e = errno;
                    CRYPTO_ERROR("%s: '%s' is not a private lock file of user %d and cannot be "
                                 "replaced (%s)",
                                 op, path, int(geteuid()), strerror(e));
                    errno = e;
                    return;
                }
                continue;  // lock the file now under the name
            }
            int r;
            while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
            }
            if (r != 0) {
                int e = errno;
                CRYPTO_ERROR("%s: cannot lock '%s' (%s)", op, path, strerror(e));
                errno = e;
                return;
            }
            // A writer that replaced the file while this one waited holds
            // the lock of the new one: lock that one instead.
            struct stat held, named;
            if (fstat(fd, &held) == 0 && lstat(path, &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino) {
                std::swap(d_.fd, d.fd);
                return;
            }
        }
        CRYPTO_ERROR("%s: cannot lock '%s' (%s)", op, path, "replaced again and again");
        errno = EAGAIN;
    }
    // Closing the descriptor releases the lock.
    bool held() const { return d_.fd >= 0; }
    void release()
    {
        if (d_.fd >= 0)
            close(d_.fd);
        d_.fd = -1;
    }

private:
    static bool own_private(int fd)
    {
        struct stat st;
        return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
               (st.st_mode & 07777) == 0600 && st.st_nlink == 1;
    }
    // Puts a fresh private lock file under the name (a new file renamed
    // over it). false with errno set.
    static bool replace(const char *path)
    {
        std::string temp;
        remove_stale_temporaries(path);
        int fd = create_temporary_beside(path, 0600, temp);
        if (fd < 0)
            return false;
        descriptor d(fd);
        if (fchmod(fd, 0600) != 0 || rename(temp.c_str(), path) != 0) {
            int e = errno;
            unlink(temp.c_str());
            errno = e;
            return false;
        }
        return true;
    }

    descriptor d_;
};

// Writes the list to a new file beside the vdata file, flushed to the
// disk, mode 0644; false with errno set. The name is made afresh, never
// through a link, and is the calling thread's own: one left by a dead
// thread of the same number is replaced.
bool write_new_list(const tarvo_vdata &list, std::string &temp)
{
    remove_stale_temporaries(TARVO_VDATA_PATH);
    int fd = create_temporary_beside(TARVO_VDATA_PATH, 0644, temp);
    if (fd < 0)
        return false;
    descriptor d(fd);
    std::string text;
    for (const auto &entry : list)
        text += entry.second + "  " + entry.first + "\n";
    bool ok = fchmod(fd, 0644) == 0;
    if (ok) {
        errno = 0;
        ok = tarvo_write_fully(fd, text.data(), text.size()) == text.size();
        if (!ok && errno == 0)
            errno = EIO;
    }
    ok = ok && fsync(fd) == 0;
    int e = errno;
    if (close(d.fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    d.fd = -1;
    if (!ok) {
        unlink(temp.c_str());
        errno = e;
    }
    return ok;
}

}  // namespace

vdata_store_busy::vdata_store_busy() : was_(checking_list) { checking_list = true; }
vdata_store_busy::~vdata_store_busy() { checking_list = was_; }

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

bool get_vdata_digest()
{
    if (!crypto.hw_usable)
        return false;
    if (crypto.vdata_digest_cached)
        return true;
    uint8_t *certificate = nullptr;
    uint32_t length = 0;
    int r = kz4_read_sw_cert(&certificate, &length);
    if (r != 0 || !certificate) {
        CRYPTO_ERROR("%s: failed to read the SW cert (%d)", "get_vdata_digest", r);
        CRYPTO_HW_ERROR("get_vdata_digest");
        free(certificate);
        return false;
    }
    // Only a certificate the secure side accepts vouches for anything.
    r = kz4_import_sw_cert_checked(certificate, length);
    if (r != 0) {
        CRYPTO_ERROR("%s: SW cert refused by the secure side (%d)", "get_vdata_digest", r);
        CRYPTO_HW_ERROR("get_vdata_digest");
        free(certificate);
        return false;
    }
    unsigned char digest[20];
    if (certificate_vdata_digest(certificate, length, digest)) {
        memcpy(crypto.vdata_digest, digest, 20);
        crypto.vdata_digest_cached = true;
    }
    free(certificate);
    return true;
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
    vdata_text text;
    int r = read_checked_list(text, *list);
    if (r == 0)
        *out = list.release();
    return r;
}

int save_tarvo_vdata(const tarvo_vdata &list)
{
    // The new list replaces the old one whole: a reader sees either.
    std::string temp;
    if (!write_new_list(list, temp)) {
        CRYPTO_ERROR("%s: cannot open '%s' for writing (%s)", "save_tarvo_vdata",
                     TARVO_VDATA_PATH, strerror(errno));
        return 0;
    }
    if (::rename(temp.c_str(), TARVO_VDATA_PATH) != 0) {
        int e = errno;
        CRYPTO_ERROR("%s: cannot write '%s' (%s)", "save_tarvo_vdata", TARVO_VDATA_PATH,
                     strerror(e));
        unlink(temp.c_str());
        errno = e;
        return 0;
    }
    tarvo_sync_directory_of(TARVO_VDATA_PATH);
    return 1;
}

namespace {

// Changes the list under the writers' lock and saves it; 1 when saved, 0
// when not (the old file is then left as it was).
int change_list(const char *op, const std::function<void(tarvo_vdata &)> &change)
{
    // The list is checked without the writers' lock (the check may open
    // the store of "tcb", whose commits record in the list under their own
    // lock); under the lock the file must still hold exactly the text that
    // was checked, else another writer came first and the list is read
    // again.
    for (unsigned attempt = 0; attempt < 1000; attempt++) {
        vdata_text checked;
        tarvo_vdata list;
        if (read_checked_list(checked, list) != 0)
            return 0;
        vdata_writer_lock lock;
        if (!lock.held())
            return 0;
        vdata_text now;
        if (!read_vdata_bytes(now)) {
            CRYPTO_ERROR("%s: cannot read '%s' (%s)", op, TARVO_VDATA_PATH, strerror(errno));
            return 0;
        }
        if (!same_text(now, checked))
            continue;
        change(list);
        return save_tarvo_vdata(list);
    }
    CRYPTO_ERROR("%s: '%s' keeps changing", op, TARVO_VDATA_PATH);
    errno = EAGAIN;
    return 0;
}

// The given digest, or the file's SHA-1 into computed; null when the file
// cannot be digested (reported).
const unsigned char *digest_to_record(const char *op, const char *path,
                                      const unsigned char *digest, unsigned char computed[20])
{
    if (digest)
        return digest;
    if (!digest_of_file(path, computed)) {
        CRYPTO_ERROR("%s: cannot compute digest of '%s' (%s)", op, path, strerror(errno));
        return nullptr;
    }
    return computed;
}

}  // namespace

int save_global_signature(const char *path, const unsigned char *digest)
{
    static const char op[] = "save_global_signature";
    if (!path || !recordable_path(path)) {
        CRYPTO_ERROR("%s: cannot record '%s'", op, shown(path));
        errno = EINVAL;
        return 0;
    }
    unsigned char computed[20];
    if (!(digest = digest_to_record(op, path, digest, computed)))
        return 0;
    const std::string hash = hex_text(digest), pending = pending_key(path);
    return change_list(op, [&](tarvo_vdata &list) {
        list[path] = hash;
        list.erase(pending);
    });
}

int save_pending_signature(const char *path, const unsigned char *digest)
{
    static const char op[] = "save_global_signature";
    if (!path || !digest || !recordable_path(path)) {
        CRYPTO_ERROR("%s: cannot record '%s'", op, shown(path));
        errno = EINVAL;
        return 0;
    }
    const std::string hash = hex_text(digest), pending = pending_key(path);
    return change_list(op, [&](tarvo_vdata &list) { list[pending] = hash; });
}

int drop_pending_signature(const char *path)
{
    static const char op[] = "save_global_signature";
    if (!path || !recordable_path(path)) {
        errno = EINVAL;
        return 0;
    }
    const std::string pending = pending_key(path);
    return change_list(op, [&](tarvo_vdata &list) { list.erase(pending); });
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
        // With usable hardware a certificate that cannot be read is a
        // failure; one that was read and names no digest leaves the list
        // as it is.
        bool certificate_read = get_vdata_digest();
        if (!crypto.vdata_digest_cached) {
            CRYPTO_ERROR("%s: cannot verify '%s', cannot read SW cert", op, path);
            return certificate_read ? 0 : 3;
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
            auto entry = recordable_path(path) ? list->find(path) : list->end();
            auto pending = recordable_path(path) ? list->find(pending_key(path)) : list->end();
            if (have && pending != list->end() && pending->second == computed_text) {
                result = 0;  // a hash recorded before its file was put in place
            } else if (entry == list->end()) {
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
