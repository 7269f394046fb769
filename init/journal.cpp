#include "init/journal.h"

#include "crypto/tarvo_crypto.h"
#include "init/le32.h"
#include "support/tarvo_file.h"

#include <err.h>
#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>

namespace {

// The largest journal read: far more records than any update leaves.
constexpr uint64_t JOURNAL_FILE_MAX = 64u << 20;

constexpr unsigned char INNER_PAD = 0x36;
constexpr unsigned char OUTER_PAD = 0x5c;
constexpr size_t SHA256_LENGTH = 32;
// The journal is created private to its owner, and a symbolic link in its
// place is never followed: the program runs privileged.
constexpr int OPEN_FLAGS = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t OPEN_MODE = 0600;

}  // namespace

SecureJournal::~SecureJournal() = default;

Journal::Journal(const char *path, const char *token) : path_(path), token_(token) {}

Journal::~Journal()
{
    explicit_bzero(key_, sizeof key_);
    unmap();
    close_file();
    EVP_MD_CTX_free(hmac_);
}

void Journal::close_file()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool Journal::start_hmac()
{
    unsigned char pad[JOURNAL_KEY_BLOCK];
    for (size_t i = 0; i < JOURNAL_KEY_BLOCK; ++i) {
        pad[i] = key_[i] ^ INNER_PAD;
        key_[i] ^= OUTER_PAD;
    }
    if (!hmac_)
        hmac_ = EVP_MD_CTX_new();
    bool ok = hmac_ && EVP_DigestInit_ex(hmac_, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(hmac_, pad, sizeof pad) == 1;
    explicit_bzero(pad, sizeof pad);
    return ok;
}

bool Journal::current_tag(unsigned char tag[SHA256_LENGTH])
{
    unsigned char inner[SHA256_LENGTH];
    unsigned int n = 0;
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    EVP_MD_CTX *outer = EVP_MD_CTX_new();
    bool ok = copy && outer && EVP_MD_CTX_copy_ex(copy, hmac_) == 1 &&
              EVP_DigestFinal_ex(copy, inner, &n) == 1 && n == SHA256_LENGTH &&
              EVP_DigestInit_ex(outer, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(outer, key_, sizeof key_) == 1 &&
              EVP_DigestUpdate(outer, inner, sizeof inner) == 1 &&
              EVP_DigestFinal_ex(outer, tag, &n) == 1 && n == SHA256_LENGTH;
    explicit_bzero(inner, sizeof inner);
    EVP_MD_CTX_free(copy);
    EVP_MD_CTX_free(outer);
    return ok;
}

bool Journal::keep_unreadable_aside()
{
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0)
        return false;
    if (st.st_size == 0)
        return true;
    // Bytes this object could not read as a journal (its key could not be
    // had, or it was never opened): a new journal starts only once they
    // are kept under the name broken journals get.
    std::string bad = std::string(path_) + ".bad";
    if (rename(path_, bad.c_str()) != 0) {
        warnx("Journal %s cannot be kept as %s", path_, bad.c_str());
        return false;
    }
    warnx("Unreadable journal %s kept as %s", path_, bad.c_str());
    unmap();
    close_file();
    fd_ = ::open(path_, OPEN_FLAGS | O_EXCL, OPEN_MODE);
    return fd_ >= 0;
}

const unsigned char *Journal::open(uint32_t *length)
{
    if (!length)
        return nullptr;
    *length = 0;
    // Opening again starts over: no key is loaded until this file's key is.
    unmap();
    close_file();
    if (state_ == STATE_READY)
        state_ = STATE_NO_KEY;

    fd_ = ::open(path_, OPEN_FLAGS, OPEN_MODE);
    if (fd_ < 0) {
        state_ = STATE_FAILED;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0)
        return nullptr;
    // Empty (also a file just created here), or too large to be a journal.
    if (st.st_size <= 0 || uint64_t(st.st_size) > JOURNAL_FILE_MAX)
        return nullptr;
    // One private copy, read once: the tag is checked over the very bytes
    // whose records are then used, and a file another process shortens or
    // rewrites meanwhile can neither fault the reader nor change them.
    size_t size = size_t(st.st_size);
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
    map_ = static_cast<unsigned char *>(map);
    map_length_ = size;
    if (tarvo_read_fully(fd_, map_, size) != size) {
        // Not read is not damaged: the journal takes no record this run
        // rather than being set aside and begun anew without its own.
        warnx("Journal %s cannot be read whole", path_);
        unmap();
        state_ = STATE_FAILED;
        return nullptr;
    }

    if (size < JOURNAL_MIN_SIZE) {
        warnx("Journal file length %u bytes is short", unsigned(size));
        return nullptr;
    }
    uint32_t room = uint32_t(size - JOURNAL_MIN_SIZE);
    uint32_t blob_length = get_le32(map_);
    if (room < blob_length) {
        warnx("Journal file %u bytes is short for required crypto info %u", unsigned(room),
              unsigned(blob_length));
        return nullptr;
    }
    uint32_t records_length = room - blob_length;

    unsigned char *plain = nullptr;
    uint32_t plain_length = 0;
    int r = tarvo_crypto_decrypt(map_ + 4, blob_length, token_, &plain, &plain_length);
    if (r != 0) {
        warnx("Journal key decryption failed (%d)", r);
        if (plain) {
            explicit_bzero(plain, plain_length);
            tarvo_crypto_release(plain);
        }
        return nullptr;
    }
    if (plain_length != JOURNAL_KEY_BLOCK || !plain) {
        warnx("Journal key decryption returned wrong length %u != %u", unsigned(plain_length),
              unsigned(JOURNAL_KEY_BLOCK));
        if (plain) {
            explicit_bzero(plain, plain_length);
            tarvo_crypto_release(plain);
        }
        return nullptr;
    }
    mlock(key_, sizeof key_);
    memcpy(key_, plain, JOURNAL_KEY_BLOCK);
    explicit_bzero(plain, plain_length);
    tarvo_crypto_release(plain);

    for (size_t i = JOURNAL_KEY_RANDOM; i < JOURNAL_KEY_BLOCK; ++i) {
        if (key_[i] != 0) {
            warnx("Journal key decryption failed -- not zeropadded");
            explicit_bzero(key_, sizeof key_);
            return nullptr;
        }
    }

    size_t tag_offset = 4 + size_t(blob_length) + records_length;
    unsigned char tag[SHA256_LENGTH];
    bool ok = start_hmac() && EVP_DigestUpdate(hmac_, map_, tag_offset) == 1 && current_tag(tag);
    bool authentic = ok && CRYPTO_memcmp(tag, map_ + tag_offset, JOURNAL_TAG_SIZE) == 0;
    explicit_bzero(tag, sizeof tag);
    if (authentic) {
        state_ = STATE_READY;
        *length = records_length;
        return map_ + 4 + blob_length;
    }

    // Moved aside, so that the next run starts a new journal; the key
    // that did not authenticate it is dropped.
    explicit_bzero(key_, sizeof key_);
    std::string bad = std::string(path_) + ".bad";
    rename(path_, bad.c_str());
    close_file();
    warnx("Journal HMAC authentication failed");
    return nullptr;
}

int Journal::unmap()
{
    if (!map_)
        return 0;
    int r = munmap(map_, map_length_);
    map_ = nullptr;
    map_length_ = 0;
    return r == 0 ? 0 : -1;
}

int Journal::append(const void *data, uint32_t length)
{
    if ((!data && length != 0) ||
        uint64_t(length) + JOURNAL_TAG_SIZE > uint64_t(SSIZE_MAX))
        return -1;
    // A journal that has failed takes nothing more; the caller learns that
    // the record was not kept.
    if (state_ == STATE_FAILED)
        return -1;

    const bool fresh = state_ == STATE_NO_KEY;
    if (state_ == STATE_NO_KEY) {
        mlock(key_, sizeof key_);
        explicit_bzero(key_, sizeof key_);
        int got = tarvo_crypto_random(key_, int(JOURNAL_KEY_RANDOM));
        if (got != int(JOURNAL_KEY_RANDOM)) {
            warnx("Journal random bit generation returend %u bytes != %u", unsigned(got),
                  unsigned(JOURNAL_KEY_RANDOM));
            explicit_bzero(key_, sizeof key_);
            state_ = STATE_FAILED;
            return -1;
        }
        unsigned char *blob = nullptr;
        uint32_t blob_length = 0;
        int r = tarvo_crypto_encrypt(key_, sizeof key_, token_, &blob, &blob_length);
        if (r != 0 || !blob) {
            warnx("Journal key encryption failed (%d) returned bytes %u", r,
                  unsigned(blob_length));
            tarvo_crypto_release(blob);
            explicit_bzero(key_, sizeof key_);
            state_ = STATE_FAILED;
            return -1;
        }
        unsigned char length_bytes[4];
        put_le32(length_bytes, blob_length);
        bool ok = start_hmac() && EVP_DigestUpdate(hmac_, length_bytes, 4) == 1 &&
                  EVP_DigestUpdate(hmac_, blob, blob_length) == 1;
        if (fd_ < 0)
            fd_ = ::open(path_, OPEN_FLAGS, OPEN_MODE);
        ok = ok && keep_unreadable_aside();
        if (ok && fd_ >= 0 && lseek(fd_, 0, SEEK_SET) == 0 && ftruncate(fd_, 0) == 0) {
            iovec parts[2] = {{length_bytes, 4}, {blob, blob_length}};
            ok = writev(fd_, parts, 2) == ssize_t(blob_length) + 4;
        } else {
            ok = false;
        }
        state_ = ok ? STATE_READY : STATE_FAILED;
        tarvo_crypto_release(blob);
    }
    if (state_ != STATE_READY)
        return -1;

    // The record and the new tag go where the old tag ends the file. The
    // blocks they need are reserved first (without changing the file's
    // length, so that a cut between the two steps leaves the old journal);
    // a write that still falls short puts the old length and tag back, and
    // the HMAC goes back to the state that the old tag seals.
    struct stat st;
    if (fstat(fd_, &st) != 0 || uint64_t(st.st_size) < JOURNAL_TAG_SIZE) {
        state_ = STATE_FAILED;
        return -1;
    }
    const off_t old_end = st.st_size;
    const bool had_tag = !fresh;
    const off_t at = had_tag ? old_end - off_t(JOURNAL_TAG_SIZE) : old_end;
    const off_t new_end = at + off_t(length) + off_t(JOURNAL_TAG_SIZE);
    if (new_end < at) {
        state_ = STATE_FAILED;
        return -1;
    }
    int reserved;
    while ((reserved = fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, new_end)) != 0 && errno == EINTR) {
    }
    // A file system that cannot reserve ahead still gets the write, and
    // its undo below.
    if (reserved != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
        if (fresh)
            state_ = STATE_FAILED;  // the key block alone is no journal to keep
        return -1;
    }

    unsigned char old_tag[JOURNAL_TAG_SIZE];
    bool have_old_tag =
        !had_tag || pread(fd_, old_tag, JOURNAL_TAG_SIZE, at) == ssize_t(JOURNAL_TAG_SIZE);
    EVP_MD_CTX *before = EVP_MD_CTX_new();
    if (!have_old_tag || !before || EVP_MD_CTX_copy_ex(before, hmac_) != 1) {
        EVP_MD_CTX_free(before);
        state_ = STATE_FAILED;
        return -1;
    }
    unsigned char tag[SHA256_LENGTH];
    if (EVP_DigestUpdate(hmac_, data, length) != 1 || !current_tag(tag)) {
        EVP_MD_CTX_free(before);
        explicit_bzero(tag, sizeof tag);
        state_ = STATE_FAILED;
        return -1;
    }
    iovec parts[2] = {{const_cast<void *>(data), length}, {tag, JOURNAL_TAG_SIZE}};
    ssize_t written;
    while ((written = pwritev(fd_, parts, 2, at)) < 0 && errno == EINTR) {
    }
    explicit_bzero(tag, sizeof tag);
    bool ok = written == ssize_t(length) + ssize_t(JOURNAL_TAG_SIZE);
    while (ok && fdatasync(fd_) != 0) {
        if (errno != EINTR)
            ok = false;
    }
    if (ok) {
        EVP_MD_CTX_free(before);
        return 0;
    }
    int e = errno;
    // Back to the old journal: its length, its tag, and the HMAC over it.
    bool restored = ftruncate(fd_, old_end) == 0 &&
                    (!had_tag || pwrite(fd_, old_tag, JOURNAL_TAG_SIZE, at) ==
                                     ssize_t(JOURNAL_TAG_SIZE)) &&
                    fdatasync(fd_) == 0 && EVP_MD_CTX_copy_ex(hmac_, before) == 1;
    EVP_MD_CTX_free(before);
    if (!restored || fresh)
        state_ = STATE_FAILED;
    errno = e;
    return -1;
}

Journal *create_journal(const char *path, const char *token)
{
    if (!path || !token)
        return nullptr;
    return new (std::nothrow) Journal(path, token);
}
