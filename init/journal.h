// The dpkg wrapper journal: records appended by the package-installation
// wrapper, authenticated by a truncated HMAC-SHA-256 tag whose key is kept
// in the file itself, encrypted under a token by the crypto services.
//
// File layout (numbers little-endian): u32 B, the key blob (B bytes: the
// 64-byte key block, 32 random bytes and 32 zeros, encrypted under the
// token), the records (opaque bytes), then the first 24 bytes of the
// HMAC-SHA-256 over everything before them, keyed with the key block.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>

constexpr size_t JOURNAL_KEY_BLOCK = 64;
constexpr size_t JOURNAL_KEY_RANDOM = 32;
constexpr size_t JOURNAL_TAG_SIZE = 24;
// The length word and the tag: the smallest file that holds a journal.
constexpr size_t JOURNAL_MIN_SIZE = 4 + JOURNAL_TAG_SIZE;

class SecureJournal {
public:
    // Opens, maps and authenticates the journal: the records inside the
    // mapping (valid until unmap or destruction) and their length, or null
    // with length 0.
    virtual const unsigned char *open(uint32_t *length) = 0;
    // Releases the mapping if there is one: 0, or -1.
    virtual int unmap() = 0;
    // Appends one record and rewrites the tag, making a key first when the
    // journal has none: 0 or -1.
    virtual int append(const void *data, uint32_t length) = 0;
    virtual ~SecureJournal();
};

class Journal : public SecureJournal {
public:
    // path and token are not copied: they must outlive the object.
    Journal(const char *path, const char *token);
    ~Journal() override;
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    const unsigned char *open(uint32_t *length) override;
    int unmap() override;
    int append(const void *data, uint32_t length) override;

    enum { STATE_FAILED = -1, STATE_READY = 0, STATE_NO_KEY = 1 };
    int state() const { return state_; }

private:
    // Starts the running HMAC with the inner pad of the key block in
    // key_, and turns key_ into the outer pad. False when the digest
    // cannot be started.
    bool start_hmac();
    // The tag of what the running HMAC holds so far.
    bool current_tag(unsigned char tag[32]);
    void close_file();
    // Before a new journal is started in the open file: a file that holds
    // anything is renamed to its path with ".bad" appended and a new empty
    // file opened in its place. False when that cannot be done; the file
    // is then left as it is.
    bool keep_unreadable_aside();

    const char *path_;
    const char *token_;
    int fd_ = -1;
    unsigned char *map_ = nullptr;
    size_t map_length_ = 0;
    int state_ = STATE_NO_KEY;
    EVP_MD_CTX *hmac_ = nullptr;              // inner hash: pad and every byte before the tag
    unsigned char key_[JOURNAL_KEY_BLOCK] = {};  // outer pad once a key is loaded or made
};

// A journal object for the file, or null when either argument is null.
Journal *create_journal(const char *path, const char *token);
