// The store lock: a file lock on the store's shared-memory digest object,
// the digest exchange between processes, the semaphore that tells member
// objects their store object lives, the store's flags and open writers, and
// the key schedules of an encrypted store.
#include "storage/internal.h"
#include "storage/tarvo_storage.h"

#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <vector>
#include <cstdio>
#include <cstdlib>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

using namespace storage_internal;

namespace {

size_t page_rounded(size_t n)
{
    long page = sysconf(_SC_PAGESIZE);
    size_t p = page > 0 ? size_t(page) : 4096;
    return (n + p - 1) / p * p;
}

class umask_zero {
public:
    umask_zero() : old_(umask(0)) {}
    ~umask_zero() { umask(old_); }

private:
    mode_t old_;
};

const mode_t SHARED_MODE = 0600;

int create_shared(const std::string &name, int flags)
{
    umask_zero mask;
    return shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | flags, SHARED_MODE);
}

// Whether the object behind fd belongs to the caller. 1, 0, or -1 (errno).
int owned_by_caller(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    return st.st_uid == geteuid() ? 1 : 0;
}

void close_keeping_errno(int fd)
{
    int e = errno;
    close(fd);
    errno = e;
}

// The shared-digest object for reading and writing, created when missing.
// Only its owner may write or lock it: an object another user made (or
// could change) is never used, not even for reading, since whoever can
// open it can hold its file lock for ever. It is replaced when the caller
// may remove it; a name that another process keeps re-creating in between
// is given up after a few tries. -1 with EACCES when the name cannot be
// made the caller's own.
int open_shared(const std::string &name)
{
    for (int attempt = 0; attempt < 4; attempt++) {
        int fd = create_shared(name, attempt == 0 ? 0 : O_EXCL);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;  // re-created since the unlink: check the new one
            return -1;
        }
        int own = owned_by_caller(fd);
        if (own < 0) {
            close_keeping_errno(fd);
            return -1;
        }
        if (own == 1) {
            struct stat st;
            if (fstat(fd, &st) != 0 ||
                ((st.st_mode & 07777) != SHARED_MODE && fchmod(fd, SHARED_MODE) != 0)) {
                close_keeping_errno(fd);
                return -1;
            }
            return fd;
        }
        close(fd);
        SERR("%s: '%s' belongs to another user, not used", "storage_lock", name.c_str());
        if (shm_unlink(name.c_str()) != 0 && errno != ENOENT)
            break;
    }
    errno = EACCES;
    return -1;
}

// The caller's own shared-digest object opened for reading only (one it
// may not write), or -1: an object of another user is not used.
int open_shared_readonly(const std::string &name)
{
    int fd = shm_open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd < 0)
        return -1;
    if (owned_by_caller(fd) != 1) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

// The store locks this process holds, by shared-digest name, with the
// thread that took each: a second store object of the same store that
// asks for the lock on the thread that already holds it through another
// object would wait for itself for ever (the file locks of two open
// descriptions exclude each other even within one process).
struct held_lock {
    std::string name;
    pthread_t thread;
    const storage_lock *holder;
};
std::mutex held_mutex;
std::vector<held_lock> held_locks;

bool held_by_this_thread(const std::string &name)
{
    std::lock_guard<std::mutex> guard(held_mutex);
    for (const held_lock &h : held_locks)
        if (h.name == name && pthread_equal(h.thread, pthread_self()))
            return true;
    return false;
}

void note_held(const std::string &name, const storage_lock *holder)
{
    std::lock_guard<std::mutex> guard(held_mutex);
    held_locks.push_back({name, pthread_self(), holder});
}

void note_released(const storage_lock *holder)
{
    std::lock_guard<std::mutex> guard(held_mutex);
    for (auto it = held_locks.begin(); it != held_locks.end(); ++it)
        if (it->holder == holder) {
            held_locks.erase(it);
            return;
        }
}

}  // namespace

// The lock holds key schedules: it gets pages of its own, so that locking
// them in memory and unlocking them again never touches another object's
// pages, and they are wiped before they go back.
void *storage_lock::operator new(size_t size) noexcept
{
    size_t n = page_rounded(size);
    long page = sysconf(_SC_PAGESIZE);
    void *p = nullptr;
    if (posix_memalign(&p, page > 0 ? size_t(page) : 4096, n) != 0)
        return nullptr;
    memset(p, 0, n);
    mlock(p, n);
    return p;
}

void storage_lock::operator delete(void *p)
{
    if (p == nullptr)
        return;
    size_t n = page_rounded(sizeof(storage_lock));
    wipe(p, n);
    munlock(p, n);
    free(p);
}

storage_lock::storage_lock(tarvo::storage *store)
    : m_key_users(0), m_version(2), m_fd(-1), m_depth(0), m_readable(true),
      m_writable(true), m_shared_readonly(false), m_shared(nullptr)
{
    static const char *op = "storage_lock";
    memset(&m_tweak_key, 0, sizeof m_tweak_key);
    memset(&m_encrypt_key, 0, sizeof m_encrypt_key);
    memset(&m_decrypt_key, 0, sizeof m_decrypt_key);
    memset(m_digest, 0, sizeof m_digest);

    char name[255];
    snprintf(name, sizeof name, "/tarvo-ps:%s:%d:%d", store ? store->m_name.c_str() : "",
             store ? store->m_visibility : 0, store ? store->m_protection : 0);
    m_shm_name = name;
    char suffix[64];
    snprintf(suffix, sizeof suffix, ":%d:%p", int(getpid()), static_cast<void *>(store));
    m_sem_name = m_shm_name + suffix;

    sem_t *sem = sem_open(m_sem_name.c_str(), O_CREAT, 0644, 0);
    if (sem == SEM_FAILED) {
        m_sem_name.clear();
        return;
    }
    if (sem_close(sem) != 0)
        SERR("%s: failed to close '%s' (%s)", op, m_sem_name.c_str(), errtext());

    m_fd = open_shared(m_shm_name);
    if (m_fd < 0 && errno == EACCES) {
        m_fd = open_shared_readonly(m_shm_name);
        if (m_fd >= 0)
            m_shared_readonly = true;
    }
    if (m_fd < 0) {
        SERR("%s: failed to open/create '%s' (%s), working without it", op,
             m_shm_name.c_str(), errtext());
        return;
    }
    // Without the lock (wait reported why) the digest is still read; the
    // store's own lock requests then fail the same way.
    if (!m_shared_readonly)
        wait();
    struct stat st;
    bool ok = true;
    if (fstat(m_fd, &st) != 0) {
        SERR("%s: failed to stat '%s' (%s)", op, m_shm_name.c_str(), errtext());
        ok = false;
    } else if (st.st_size == 0 && ftruncate(m_fd, 20) != 0) {
        SERR("%s: failed to allocate '%s' (%s)", op, m_shm_name.c_str(), errtext());
        ok = false;
    } else if (st.st_size != 0 && st.st_size < 20) {
        // A shorter object would fault on access beyond its end.
        errno = EINVAL;
        SERR("%s: failed to mmap '%s' (%s)", op, m_shm_name.c_str(), errtext());
        ok = false;
    }
    if (ok) {
        void *p = mmap(nullptr, 20, PROT_READ | (m_shared_readonly ? 0 : PROT_WRITE), MAP_SHARED,
                       m_fd, 0);
        if (p == MAP_FAILED) {
            SERR("%s: failed to mmap '%s' (%s)", op, m_shm_name.c_str(), errtext());
            ok = false;
        } else {
            m_shared = static_cast<unsigned char *>(p);
            memcpy(m_digest, m_shared, 20);
        }
    }
    while (m_depth > 0)
        post();
    if (!ok) {
        close(m_fd);
        m_fd = -1;
    }
}

storage_lock::~storage_lock()
{
    if (!m_sem_name.empty() && sem_unlink(m_sem_name.c_str()) != 0)
        SERR("%s: failed to unlink '%s' (%s)", "~storage_lock", m_sem_name.c_str(), errtext());
    while (m_depth > 0)
        post();
    if (m_shared != nullptr)
        munmap(m_shared, 20);
    if (m_fd >= 0)
        close(m_fd);
    // Schedules still set (a member left open past its store) go with the
    // object; operator delete wipes its pages.
}

bool storage_lock::wait()
{
    if (m_fd < 0)
        return true;
    if (m_depth > 0) {
        m_depth++;
        return true;
    }
    if (held_by_this_thread(m_shm_name)) {
        errno = EDEADLK;
        SERR("%s: failed to lock '%s' (%s)", "wait", m_shm_name.c_str(), errtext());
        return false;
    }
    int r;
    while ((r = flock(m_fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (r != 0) {
        SERR("%s: failed to lock '%s' (%s)", "wait", m_shm_name.c_str(), errtext());
        return false;
    }
    m_depth = 1;
    note_held(m_shm_name, this);
    return true;
}

void storage_lock::post()
{
    if (m_fd < 0 || m_depth == 0)
        return;
    if (m_depth > 1) {
        m_depth--;
        return;
    }
    note_released(this);
    if (flock(m_fd, LOCK_UN) != 0)
        SERR("%s: failed to unlock '%s' (%s)", "post", m_shm_name.c_str(), errtext());
    m_depth = 0;
}

void storage_lock::set_readable(bool on)
{
    m_readable = on;
    if (!on)
        m_writable = false;
}

void storage_lock::set_writable(bool on)
{
    m_writable = on;
    if (on)
        m_readable = true;
}

bool storage_lock::changed() const
{
    return m_shared != nullptr && memcmp(m_shared, m_digest, 20) != 0;
}

void storage_lock::refresh_digest()
{
    if (m_depth > 0 && m_shared != nullptr)
        memcpy(m_digest, m_shared, 20);
}

void storage_lock::publish_digest(const unsigned char digest[20])
{
    memcpy(m_digest, digest, 20);
    if (m_depth > 0 && m_shared != nullptr && !m_shared_readonly)
        memcpy(m_shared, digest, 20);
}

void storage_lock::mark_behind()
{
    if (m_shared == nullptr)
        return;
    memcpy(m_digest, m_shared, 20);
    m_digest[0] = (unsigned char)~m_digest[0];
}

void storage_lock::unlink()
{
    if (shm_unlink(m_shm_name.c_str()) != 0)
        SERR("%s: cannot unlink '%s' (%s)", "unlink", m_shm_name.c_str(), errtext());
}

void storage_lock::add_open_member(tarvo::p_file *member)
{
    m_open.push_back(member);
}

void storage_lock::remove_open_member(tarvo::p_file *member)
{
    auto it = std::find(m_open.begin(), m_open.end(), member);
    if (it != m_open.end())
        m_open.erase(it);
}

namespace tarvo {

const char *storage::semaphore_name() const
{
    return m_lock ? m_lock->semaphore_name().c_str() : "";
}

bool storage::lock()
{
    return m_lock == nullptr || m_lock->wait();
}

void storage::unlock()
{
    if (m_lock)
        m_lock->post();
}

bool storage::index_changed() const
{
    return m_lock != nullptr && m_lock->changed();
}

int storage::access_mode() const
{
    if (writable_with_path())
        return 0;
    if (readable_with_path())
        return 1;
    return 2;
}

int storage::set_aes_keys(bool decrypt, AES_KEY *legacy)
{
    static const char *op = "set_aes_keys";
    if (m_key == nullptr || m_lock == nullptr)
        return 0;
    storage_lock *lk = m_lock;
    if (lk->m_key_users > 0) {
        lk->m_key_users++;
        return 1;
    }
    unsigned char *key = nullptr;
    uint32_t keylen = 0;
    if (decrypt) {
        if (tarvo_crypto_decrypt(m_key, size_t(m_keylen), m_owner.c_str(), &key, &keylen) != 0) {
            SERR("%s: cannot decrypt (%s)", op, tarvo_crypto_last_error_text());
            if (key != nullptr) {
                wipe(key, keylen);
                tarvo_crypto_release(key);
            }
            key = nullptr;
            keylen = 0;
        }
    } else if (m_keylen > 0) {
        key = static_cast<unsigned char *>(malloc(size_t(m_keylen)));
        if (key != nullptr) {
            memcpy(key, m_key, size_t(m_keylen));
            mlock(key, size_t(m_keylen));
            keylen = uint32_t(m_keylen);
        }
    }
    bool ok = true;
    if (key == nullptr || keylen < 32) {
        SERR("%s: not enough keymaterial (%d)", op, key ? int(keylen) : 0);
        ok = false;
    } else {
        int r;
        if ((r = AES_set_encrypt_key(key, 128, &lk->m_encrypt_key)) != 0) {
            SERR("%s: AES_set_encrypt_key failed (%d)", op, r);
            ok = false;
        }
        if ((r = AES_set_decrypt_key(key, 128, &lk->m_decrypt_key)) != 0) {
            SERR("%s: AES_set_decrypt_key failed (%d)", op, r);
            ok = false;
        }
        if ((r = AES_set_encrypt_key(key + 16, 128, &lk->m_tweak_key)) != 0) {
            SERR("%s: AES_set_encrypt_key failed (%d)", op, r);
            ok = false;
        }
        if (legacy != nullptr && (r = AES_set_encrypt_key(key, 256, legacy)) != 0) {
            SERR("%s: AES_set_encrypt_key failed (%d)", op, r);
            ok = false;
        }
    }
    if (key != nullptr) {
        wipe(key, keylen);
        if (decrypt) {
            tarvo_crypto_release(key);
        } else {
            munlock(key, keylen);
            free(key);
        }
    }
    if (ok) {
        lk->m_key_users = 1;
        return 1;
    }
    wipe(&lk->m_tweak_key, sizeof lk->m_tweak_key);
    wipe(&lk->m_encrypt_key, sizeof lk->m_encrypt_key);
    wipe(&lk->m_decrypt_key, sizeof lk->m_decrypt_key);
    lk->m_key_users = 0;
    return 0;
}

void storage::release_aes_keys()
{
    if (m_lock == nullptr)
        return;
    storage_lock *lk = m_lock;
    if (lk->m_key_users >= 2) {
        lk->m_key_users--;
        return;
    }
    wipe(&lk->m_tweak_key, sizeof lk->m_tweak_key);
    wipe(&lk->m_encrypt_key, sizeof lk->m_encrypt_key);
    wipe(&lk->m_decrypt_key, sizeof lk->m_decrypt_key);
    lk->m_key_users = 0;
}

int storage::generate_symkey()
{
    unsigned char *key = nullptr;
    int n = tarvo_crypto_generate_symkey(&key);
    if (n == -1 || key == nullptr) {
        SERR("Could not generate symkey (%s)", tarvo_crypto_last_error_text());
        if (key != nullptr) {
            wipe(key, 32);
            tarvo_crypto_release(key);
        }
        return 0;
    }
    unsigned char *blob = nullptr;
    uint32_t bloblen = 0;
    int result = 0;
    if (tarvo_crypto_encrypt(key, 32, m_owner.c_str(), &blob, &bloblen) != 0 || blob == nullptr) {
        SERR("Could not encrypt symkey (%s)", tarvo_crypto_last_error_text());
        if (blob != nullptr)
            tarvo_crypto_release(blob);
    } else {
        free(m_key);
        // The blob goes to the store's own allocation, released with free.
        m_key = static_cast<unsigned char *>(malloc(bloblen ? bloblen : 1));
        if (m_key != nullptr) {
            memcpy(m_key, blob, bloblen);
            m_keylen = int(bloblen);
            result = 1;
        } else {
            m_keylen = 0;
        }
        tarvo_crypto_release(blob);
    }
    wipe(key, 32);
    tarvo_crypto_release(key);
    return result;
}

}  // namespace tarvo

void tarvo::p_file::end_writing()
{
    if (m_state == 3)
        return;
    bool was_writer = writer();
    m_state = 0;
    if (!semaphore_alive(m_semname)) {
        errno = EINVAL;
        return;
    }
    if (was_writer && m_store && m_store->m_lock)
        m_store->m_lock->remove_open_member(this);
}
