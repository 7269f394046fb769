// File signatures. A file is signed under a token by making it a member of
// the signed store "files." followed by the token, whose index (itself
// signed under the token) records the file's SHA-1 and metadata; a file
// that the store does not list is checked against the vdata file. Without
// usable hardware the vdata file takes the place of the stores for
// signing too.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"
#include "crypto/vdata.h"

#include "storage/tarvo_storage.h"
#include "support/tarvo_common.h"
#include "support/tarvo_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Store addressing of the file-signature stores: visibility "G", signed.
constexpr int FILES_VISIBILITY = 0;
constexpr int FILES_PROTECTION = 0;

std::string files_store_name(const char *token)
{
    return std::string("files.") + token;
}

// The name the new content is written under before it replaces the file:
// the path, '.' and 12 hex digits of random bytes, or the path and ".temp"
// when no random bytes can be had.
std::string temporary_name(const char *path)
{
    unsigned char random[6];
    if (tarvo_crypto_random(random, int(sizeof random)) != int(sizeof random))
        return std::string(path) + ".temp";
    std::string name = std::string(path) + ".";
    append_hex(name, random, sizeof random);
    return name;
}

// Creates the temporary file anew, never through a link. Whatever has the
// name (a file left by an earlier signing that failed, or a link planted
// where the name is predictable) is removed first; the member's open then
// finds a regular file of this process's making. The new content takes
// the place of the file at the path, so it gets that file's mode and
// owner (mode 0644 and the caller as owner when there is none): a signed
// file never becomes writable by others through its signing.
bool reserve_temporary(const std::string &temp, const char *path)
{
    struct stat st;
    if (lstat(temp.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        unlink(temp.c_str());
    struct stat old;
    bool replaces = stat(path, &old) == 0 && S_ISREG(old.st_mode);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = true;
    if (replaces && (old.st_uid != geteuid() || old.st_gid != getegid()))
        ok = fchown(fd, old.st_uid, old.st_gid) == 0;
    if (ok)
        ok = fchmod(fd, replaces ? old.st_mode & 07777 : 0644) == 0;
    int e = errno;
    close(fd);
    if (!ok) {
        unlink(temp.c_str());
        errno = e;
    }
    return ok;
}

// The store lock held from the reload of the index to its commit, so that
// no other process commits in between: one signing is one transaction.
// A reload under the lock may check an index signed "external" against
// the vdata file, whose own check opens the store of "tcb" again: while
// this process holds that store's lock, the list is not checked through
// it.
class store_transaction {
public:
    store_transaction(tarvo::storage &store, const char *token) : store_(store)
    {
        if (strcmp(token, TARVO_CRYPTO_TCB_TOKEN) == 0)
            busy_.reset(new vdata_store_busy);
        store_.lock();
        store_.refresh();
    }
    ~store_transaction() { store_.unlock(); }
    store_transaction(const store_transaction &) = delete;
    store_transaction &operator=(const store_transaction &) = delete;

private:
    std::unique_ptr<vdata_store_busy> busy_;
    tarvo::storage &store_;
};

// Whether name is one of the temporary names of path (the path, '.' and 12
// hex digits, or the path and ".temp").
bool temporary_name_of(const std::string &name, const char *path)
{
    size_t n = strlen(path);
    if (name.size() <= n + 1 || name.compare(0, n, path) != 0 || name[n] != '.')
        return false;
    std::string rest = name.substr(n + 1);
    if (rest == "temp")
        return true;
    return rest.size() == 12 && rest.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The store's entries under a temporary name of path. While a signing
// with data runs, the new content is listed under its temporary name
// before it takes the file's place, so that a signing cut short between
// the rename and the last commit leaves content that verifies.
std::vector<std::string> pending_entries(tarvo::storage &store, const char *path)
{
    std::vector<char *> names;
    store.get_files(names);
    std::vector<std::string> out;
    for (char *n : names)
        if (temporary_name_of(n, path))
            out.emplace_back(n);
    tarvo::storage::free_names(names);
    return out;
}

// Whether the content (the data, or the file at path when data is null)
// is what a pending entry of path records.
bool matches_pending_entry(tarvo::storage &store, const char *path, const unsigned char *data,
                           size_t size)
{
    std::vector<std::string> pending = pending_entries(store, path);
    if (pending.empty())
        return false;
    unsigned char digest[20];
    if (!(data ? digest_of_buffer(data, size, digest) : digest_of_file(path, digest)))
        return false;
    char *b64 = base64_encode(digest, 20);
    if (b64 == nullptr)
        return false;
    const std::string text = b64;
    free(b64);
    for (const std::string &name : pending) {
        std::string recorded;
        if (store.hash_of_file(name.c_str(), recorded) && recorded == text)
            return true;
    }
    return false;
}

// errno for a failure that left none.
void fresh_errno(int fallback)
{
    if (errno == 0)
        errno = fallback;
}

// Writes the data into the temporary file (made anew by
// reserve_temporary) and flushes it to the disk. false with errno set
// (the temporary file is then removed).
bool write_temporary(const char *path, const std::string &temp, const unsigned char *data,
                     size_t size)
{
    static const char op[] = "tarvo_crypto_sign_file";
    errno = 0;
    if (!reserve_temporary(temp, path)) {
        fresh_errno(ENOENT);
        CRYPTO_ERROR("%s: failed to create '%s' (%s)", op, path, strerror(errno));
        return false;
    }
    int fd = open(temp.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0;
    if (ok) {
        errno = 0;
        ok = tarvo_write_fully(fd, data, size) == size;
        if (!ok && errno == 0)
            errno = ENOSPC;
    }
    ok = ok && fsync(fd) == 0;
    int e = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        errno = e;
        fresh_errno(EIO);
        e = errno;
        CRYPTO_ERROR("%s: failed to write to '%s' (%s)", op, path, strerror(e));
        unlink(temp.c_str());
        errno = e;
    }
    return ok;
}

// The file at the path while its new content takes its place: kept under
// a second name (a hard link) until the commit that records the new
// content is written, so that a signing that fails after the rename puts
// it back.
class kept_file {
public:
    // The second name is the temporary name and ".old".
    kept_file(const char *path, const std::string &temp) : path_(path)
    {
        struct stat st;
        if (lstat(path, &st) != 0) {
            ok_ = errno == ENOENT;  // nothing to keep
            return;
        }
        name_ = temp + ".old";
        unlink(name_.c_str());
        ok_ = link(path, name_.c_str()) == 0;
        if (!ok_)
            name_.clear();
    }
    ~kept_file()
    {
        if (!name_.empty())
            unlink(name_.c_str());
    }
    kept_file(const kept_file &) = delete;
    kept_file &operator=(const kept_file &) = delete;
    bool ok() const { return ok_; }
    // Puts the kept file back at the path (or removes what took the place
    // of no file).
    void restore()
    {
        if (name_.empty()) {
            unlink(path_);
        } else if (::rename(name_.c_str(), path_) == 0) {
            name_.clear();
        }
        tarvo_sync_directory_of(path_);
    }

private:
    const char *path_;
    std::string name_;
    bool ok_ = false;
};

}  // namespace

int tarvo_crypto_sign_file(const char *path, const unsigned char *data, size_t size,
                           const char *token)
{
    static const char op[] = "tarvo_crypto_sign_file";
    crypto_process_check();
    if (!path) {
        CRYPTO_ERROR("%s: pathname cannot be null", op);
        errno = EINVAL;
        return 1;
    }
    token = crypto_token(token);
    if (!crypto.hw_usable) {
        // The list is trusted as it is while the hardware cannot be used.
        if (strcmp(path, TARVO_VDATA_PATH) == 0)
            return 0;
        unsigned char digest[20];
        errno = 0;
        int ok = data ? digest_of_buffer(data, size, digest) : digest_of_file(path, digest);
        if (ok)
            ok = save_global_signature(path, digest) == 1;
        if (!ok)
            fresh_errno(EIO);
        return ok ? 0 : 1;
    }
    if (!token) {
        CRYPTO_ERROR("access denied, no '%s'", shown(token));
        errno = EACCES;
        return 1;
    }

    const std::string name = files_store_name(token);
    tarvo::storage store(name.c_str(), token, FILES_VISIBILITY, FILES_PROTECTION);
    if (strcmp(store.owner_token(), token) != 0) {
        CRYPTO_ERROR("access denied, no '%s'", token);
        errno = EACCES;
        return 1;
    }
    store_transaction transaction(store, token);
    if (!data) {
        // Adding reports nothing itself: the member must be listed with the
        // file's present content, or nothing was signed (a file that cannot
        // be read, say) and the store is left as it was.
        errno = 0;
        store.add_file(path);
        int e = errno;
        if (store.verify_file(path) != 1) {
            errno = e ? e : EIO;
            CRYPTO_ERROR("%s: failed to add '%s' (%s)", op, path, strerror(errno));
            return 1;
        }
    } else {
        // The new content is written and flushed under a temporary name
        // and committed as that name's entry (pending entries that a
        // signing cut short left for the path go with it); it then takes
        // the file's place by a rename and is committed under the path,
        // the temporary entry dropped. Between the two commits the file
        // verifies as old or new content; until the second is written the
        // old file is kept, and put back when anything fails.
        const std::string temp = temporary_name(path);
        if (!write_temporary(path, temp, data, size))
            return 1;
        // A signing cut short after its rename left the path's content
        // recorded under a temporary name only: the path records it now.
        std::vector<std::string> stale = pending_entries(store, path);
        if (!stale.empty() && matches_pending_entry(store, path, nullptr, 0))
            store.add_file(path);
        for (const std::string &name : stale)
            store.remove_file(name.c_str());
        errno = 0;
        store.add_file(temp.c_str());
        if (store.verify_content(temp.c_str(), data, size) != 1 || (errno = 0, !store.commit())) {
            fresh_errno(EIO);
            int e = errno;
            CRYPTO_ERROR("%s: failed to commit '%s' (%s)", op, store.name(), strerror(e));
            unlink(temp.c_str());
            errno = e;
            return 1;
        }
        // Drops the temporary entry again once the signing fails past here,
        // the path's entry recording what is at the path then.
        auto drop_pending = [&]() {
            int e = errno;
            store.remove_file(temp.c_str());
            struct stat st;
            if (lstat(path, &st) == 0)
                store.add_file(path);
            else
                store.remove_file(path);
            if (!store.commit())
                CRYPTO_ERROR("%s: cannot drop '%s' from '%s'", op, temp.c_str(), store.name());
            errno = e;
        };
        kept_file kept(path, temp);
        if (!kept.ok()) {
            int e = errno;
            CRYPTO_ERROR("%s: cannot keep '%s' (%s)", op, path, strerror(e));
            unlink(temp.c_str());
            errno = e;
            drop_pending();
            return 1;
        }
        if (::rename(temp.c_str(), path) != 0) {
            int e = errno;
            CRYPTO_ERROR("%s: failed to rename '%s' to '%s'(%s)", op, temp.c_str(), path,
                         strerror(e));
            unlink(temp.c_str());
            errno = e;
            drop_pending();
            return 1;
        }
        errno = 0;
        bool ok = tarvo_sync_directory_of(path) == 0;
        if (ok) {
            store.remove_file(temp.c_str());
            store.add_file(path);
            ok = store.verify_content(path, data, size) == 1;
        }
        if (ok && (errno = 0, store.commit()))
            return 0;
        fresh_errno(EIO);
        int e = errno;
        CRYPTO_ERROR("%s: failed to commit '%s' (%s)", op, store.name(), strerror(e));
        kept.restore();
        errno = e;
        drop_pending();
        return 1;
    }
    errno = 0;
    if (!store.commit()) {
        fresh_errno(EIO);
        CRYPTO_ERROR("%s: failed to commit '%s' (%s)", op, store.name(), strerror(errno));
        return 1;
    }
    return 0;
}

int tarvo_crypto_verify_file(const char *path, const unsigned char *data, size_t size,
                             const char *token)
{
    static const char op[] = "tarvo_crypto_verify_file";
    crypto_process_check();
    if (!path || !token) {
        CRYPTO_ERROR("%s: pathname or token cannot be null", op);
        errno = EINVAL;
        return 1;
    }
    const std::string name = files_store_name(token);
    tarvo::storage store(name.c_str(), FILES_VISIBILITY, FILES_PROTECTION);
    if (!store.contains_file(path)) {
        // Not a member: its entry in the vdata file decides. A digest that
        // cannot be had matches no entry.
        if (!data)
            return verify_global_signature(path, nullptr);
        unsigned char digest[20];
        return check_vdata_entry(path, digest_of_buffer(data, size, digest) ? digest : nullptr);
    }
    if (strcmp(store.owner_token(), token) != 0) {
        CRYPTO_ERROR("'%s' not signed by '%s' but '%s'", store.name(), token,
                     store.owner_token());
        return 2;
    }
    int match = data ? store.verify_content(path, data, size) : store.verify_file(path);
    if (match != 1 && matches_pending_entry(store, path, data, size))
        return 0;  // a signing cut short between its rename and its last commit
    return match == 1 ? 0 : 3;
}
