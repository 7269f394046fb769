// Protected storage: named stores of files with a signed XML index.
//
// A store is found by its name, visibility (0 "G", 1 "S", 2 "P") and
// protection (1 encrypted, anything else signed). Its index lists the
// members (content digest and, in a signed store, metadata) and links to
// members, and is signed under the store's owner token. A signed store's
// members are ordinary files; an encrypted store keeps each member's
// content in an encrypted data file of its own. Processes that use one store
// coordinate through a shared-memory object holding the digest of the last
// committed index and a file lock on it (storage_lock).
//
// Results: true or false, a count, or -1 with errno set. Failures are
// reported on the error-log line under the source name "tarvo_storage".
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <openssl/aes.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Open flag of this library, never passed to the system: an encrypted
// member's open accepts content whose digest differs from the index and
// records the new digest.
constexpr int P_ADOPT_DIGEST = 0x200000;

// Access types of check_permission.
enum storage_access { reading = 0, writing = 1, executing = 2, owning = 3 };

class storage_lock;

namespace tarvo {

class p_file;

// One member of a store's index.
struct file_entry {
    struct stat metadata;  // signed stores; all zero in encrypted stores
    std::string digest;    // base64 SHA-1, 28 characters
    bool dirty;            // created here since the index was last loaded or committed
    file_entry() : metadata(), digest(), dirty(false) {}
};

class storage {
public:
    storage(const char *name, const char *owner, int visibility, int protection);
    storage(const char *name, int visibility, int protection);
    ~storage();
    storage(const storage &) = delete;
    storage &operator=(const storage &) = delete;

    const char *name() const { return m_name.c_str(); }
    const char *owner_token() const { return m_owner.c_str(); }
    const char *index_path() const { return m_index_path.c_str(); }
    // The store lock's semaphore name, "" without a lock.
    const char *semaphore_name() const;

    // ---- store lock and keys ----
    // One level of the store lock; false (errno) when it cannot be had.
    bool lock();
    void unlock();
    bool index_changed() const;
    // 0 readable and writable, 1 readable, 2 neither (each with an index path).
    int access_mode() const;
    // Key schedules for one more user; decrypt: the key blob is encrypted
    // under the owner token. legacy, when given, receives the AES-256
    // schedule of the whole key. 1 or 0.
    int set_aes_keys(bool decrypt, AES_KEY *legacy);
    void release_aes_keys();
    // A new store key, kept encrypted under the owner token. 1 or 0.
    int generate_symkey();

    // ---- index ----
    // SHA-1 over the index path, the members' names and digests and the
    // links' names and targets; digest (20 bytes, may be null) and base64.
    bool internal_hash(unsigned char *digest, std::string &text) const;
    bool commit();
    void reload_index();
    bool refresh();
    int entry_count();
    int link_count();
    void normalise_name(const char *name, std::string &out) const;

    // ---- members and links ----
    bool contains_file(const char *name);
    bool hash_of_file(const char *name, std::string &out);
    int get_files(std::vector<char *> &names);
    int get_ufiles(std::vector<char *> &names);
    int stat_file(const char *name, struct stat *out);
    int put_file(const char *name, const void *data, size_t size);
    int get_file(const char *name, unsigned char **data, size_t *size);
    int verify_content(const char *name, const void *data, size_t size);
    int verify_file(const char *name);
    void add_file(const char *name);
    void remove_file(const char *name);
    void rename(const char *old_name, const char *new_name);
    void rename(const char *old_name, const char *new_name, p_file *member);
    int remove_all_files();
    void add_link(const char *name, const char *target);
    void remove_link(const char *name);
    void read_link(const char *name, std::string &out);
    bool contains_link(const char *name);

    // A new member object (p_file or pe_file by protection), or null.
    p_file *member(const char *name);
    // SHA-1 as 40 lowercase hex digits (format 'x') or base64. 1 or 0.
    static int compute_digest(const void *data, size_t length, char format, std::string &out);
    static void free_name(char *name);
    static void free_names(std::vector<char *> &names);

    // One block through the member cipher with a caller's key and IV; only
    // on an empty store. 1 or 0.
    int test_xts_aes(int encrypt, const unsigned char key[32], const unsigned char iv[16],
                     uint32_t block, const unsigned char in[16], unsigned char out[16]);

    // Readable with an index path; with write, also writable.
    bool has_access(bool write) const { return write ? writable_with_path() : readable_with_path(); }

    // ---- opening ----
    void init_storage(const char *name, const char *owner);
    int relocate_index(const std::string &proper_path);

    // Fields, shared with the member classes and the lock.
    int m_protection;
    int m_visibility;
    std::string m_owner;
    std::string m_name;
    std::string m_index_path;
    unsigned char *m_key;
    std::map<std::string, file_entry> m_files;
    std::map<std::string, std::string> m_links;
    int m_keylen;
    storage_lock *m_lock;
    // Members and links this object removed (or renamed away) since its
    // last commit: a reload that takes in another process's commit drops
    // them again, as it keeps the dirty entries.
    std::set<std::string> m_removed;
    std::set<std::string> m_removed_links;
    // Data files of an encrypted store that go once the commit that drops
    // their members is written (member name, data file): a removed
    // member's, and a renamed member's old name (the data is linked at its
    // new name until then). A name listed again since keeps its file.
    std::vector<std::pair<std::string, std::string>> m_discarded_data;

private:
    bool readable_with_path() const;
    bool writable_with_path() const;
    bool guard_access(const char *operation);
    bool guard_write(const char *operation);
    void reload_if_changed();
    // The open and the reload: true when the object now holds exactly the
    // committed index (read and verified, or none there yet).
    bool open_index(const char *name, const char *owner);
    bool reload();
    // Unlinks the data files of m_discarded_data once a commit is written.
    void discard_data_files();
    std::string member_of(const char *name) const;
    void rename_step(const char *old_name, const char *new_name, p_file *member);
    // Drops the links to a member, each kept as removed.
    void drop_links_to(const std::string &member_name);
};

// Member of a signed store: file-like access to one member's content
// through a shared mapping of the member's own file.
class p_file {
public:
    p_file(storage *store, const char *name);
    virtual ~p_file();
    p_file(const p_file &) = delete;
    p_file &operator=(const p_file &) = delete;

    virtual bool p_open(int flags);
    virtual int p_read(int64_t offset, void *buffer, uint32_t length);
    virtual int p_write(int64_t offset, const void *buffer, uint32_t length);
    virtual int p_trunc(int64_t size);
    virtual int p_close();
    virtual int p_stat(struct stat *out);
    virtual const char *p_digest();
    virtual int p_rename(const char *name);
    virtual int p_chmod(mode_t mode);
    virtual int p_chown(uid_t user, gid_t group);
    virtual int p_utime(const int times[2]);
    virtual int p_unlink();
    virtual uint32_t p_datasize();
    virtual const char *p_path();

    storage *store() const { return m_store; }
    const char *name() const { return m_name.c_str(); }
    bool is_open() const { return m_state != 3; }
    void end_writing();
    // From here on a failed growth closes the member without committing,
    // with the store's entry for it put back as `before` (none when null).
    void discard_on_failure(const file_entry *before);
    void set_entry_stat(const struct stat *record);
    // Writes the content out and records its digest; false (errno set)
    // when it could not be made durable, and then nothing may commit it.
    bool p_flush(bool trim);

protected:
    bool alive() const;
    bool int_open(int flags, bool lock);
    bool abandon_open(int e);
    bool check_digest();
    bool roundup(uint32_t n);
    void release(const char *operation);
    void fail_open();
    bool begin_writing();
    bool reserve(uint32_t length);
    void fail_growth();
    virtual void discard();
    void trim_file(uint32_t length);
    bool listed() const;
    bool writer() const { return m_state == 1 || m_state == 2; }

    std::string m_name;
    storage *m_store;
    int m_fd;
    uint32_t m_size;
    std::string m_digest;
    void *m_map;
    uint32_t m_maplen;
    bool m_fresh;
    int m_state;  // 0 read-only, 1 read-write, 2 write-only, 3 closed
    std::string m_semname;
    bool m_opened_rw = false;  // the descriptor was opened read-write
    bool m_truncate = false;   // a granted writer's open cuts the content (O_TRUNC)
    bool m_discard = false;    // a failed growth discards instead of committing
    bool m_had_entry = false;  // the store listed the member before this write
    file_entry m_before;       // its entry then
};

// Size of an encrypted member's header: IV, status record, MD5.
constexpr uint32_t PE_HEADER_SIZE = 136;

// Member of an encrypted store: content encrypted block by block in the
// member's .dat file in the store's data directory.
class pe_file : public p_file {
public:
    pe_file(storage *store, const char *name);
    ~pe_file() override;

    bool p_open(int flags) override;
    int p_read(int64_t offset, void *buffer, uint32_t length) override;
    int p_write(int64_t offset, const void *buffer, uint32_t length) override;
    int p_trunc(int64_t size) override;
    int p_close() override;
    void discard() override;
    int p_stat(struct stat *out) override;
    const char *p_digest() override;
    int p_chmod(mode_t mode) override;
    int p_chown(uid_t user, gid_t group) override;
    int p_utime(const int times[2]) override;
    int p_unlink() override;
    uint32_t p_datasize() override;
    const char *p_path() override;

    void set_pathname(const char *name, bool migrate);
    int change_pathname(const char *new_name);
    // The data file also under the name that new_name gives it (a second
    // link, replacing a file there), the member's path set to it; the old
    // path into old_path. 1, or 0 with errno set and nothing changed.
    int link_pathname(const char *new_name, std::string &old_path);
    bool seal_header();

    // Member cipher.
    void crypto_block(uint32_t block, bool decrypt, unsigned char *ciphertext,
                      unsigned char *plaintext);
    void crypto_op(bool decrypt, uint64_t offset, void *buffer, uint32_t length);
    void legacy_crypto_block(const AES_KEY *schedule, uint32_t counter, const unsigned char *in,
                             unsigned char *out);
    int convert_crypto(const AES_KEY *schedule, std::string &digest);

    const unsigned char *iv() const { return m_header; }
    void set_iv(const unsigned char iv[16]);

private:
    bool header_known() const;
    uint64_t data_size() const;
    void set_data_size(uint64_t size);
    void forget_header();
    void write_header();
    bool fail_pe_open(bool key_taken);
    uint32_t image_length() const;
    bool set_in_closed(int what, mode_t mode, uid_t user, gid_t group, const int *times);

    unsigned char m_header[PE_HEADER_SIZE];
    std::string m_datpath;
    uint32_t m_disk_image = 0;  // image length the header in the file describes
    bool m_times_kept = false;  // times set while open for writing, since the last write
};

}  // namespace tarvo

// The cross-process lock of one store object, its shared digest and
// semaphore, the store's readable and writable flags, its members open for
// writing and the AES key schedules of an encrypted store. Allocated on
// pages of its own and locked in memory.
class storage_lock {
public:
    explicit storage_lock(tarvo::storage *store);
    ~storage_lock();
    storage_lock(const storage_lock &) = delete;
    storage_lock &operator=(const storage_lock &) = delete;
    // Null when no memory can be had (the store then has no lock and
    // refuses every access).
    static void *operator new(size_t size) noexcept;
    static void operator delete(void *p);

    // One level of the file lock; false (errno) when it cannot be had,
    // EDEADLK when this thread holds it through another object of the store.
    bool wait();
    void post();
    bool locked() const { return m_depth > 0; }
    bool readable() const { return m_readable; }
    bool writable() const { return m_writable; }
    void set_readable(bool on);
    void set_writable(bool on);
    bool changed() const;
    void refresh_digest();
    void publish_digest(const unsigned char digest[20]);
    // The committed index could not be taken in: the object stays behind
    // the shared digest, so that it reloads again and never commits over it.
    void mark_behind();
    void unlink();
    void add_open_member(tarvo::p_file *member);
    void remove_open_member(tarvo::p_file *member);
    const std::vector<tarvo::p_file *> &open_members() const { return m_open; }
    const std::string &shared_name() const { return m_shm_name; }
    const std::string &semaphore_name() const { return m_sem_name; }
    bool has_shared_digest() const { return m_shared != nullptr; }

    AES_KEY m_tweak_key;
    AES_KEY m_encrypt_key;
    AES_KEY m_decrypt_key;
    int m_key_users;
    std::string m_data_directory;
    int m_version;

private:
    int m_fd;
    int m_depth;
    bool m_readable;
    bool m_writable;
    bool m_shared_readonly;
    std::vector<tarvo::p_file *> m_open;
    unsigned char m_digest[20];
    unsigned char *m_shared;
    std::string m_shm_name;
    std::string m_sem_name;
};

// ---- free functions ----

const char *signed_storage_root();
// Sets the process-wide data directory of encrypted stores opened later.
int set_alternative_storage_root(const char *path);
// The process-wide data directory (ends in '/').
const char *storage_data_directory();
// Index directory of an address into out, made (mode 0755) when missing.
// 0 or the error value of make_path.
int storage_directory(int visibility, int protection, std::string &out);
int iterate_storage(int visibility, int protection, const char *pattern,
                    int (*callback)(int, const char *, void *), void *user_data);
void flush_open_members(storage_lock *lock);
int move_file(tarvo::storage *store, const char *from, const char *to);

// Caller credentials and access checks.
int caller_has_token(const char *token, bool *is_credential);
int check_permission(const struct stat *record, int access, pid_t pid, uid_t euid, gid_t egid);
struct creds_set;
int has_dac_override(const creds_set *set);
int in_group(const creds_set *set, int unused, gid_t group);
