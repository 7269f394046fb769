#include "init/data_files.h"

#include "crypto/tarvo_crypto.h"
#include "init/digest.h"
#include "init/le32.h"
#include "init/log.h"
#include "secbins/kz4_secbins.h"
#include "init/safe_open.h"
#include "support/tarvo_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr const char VERIFY_TOKEN[] = "tcb";
constexpr const char VDATA_ENTRY[] = "vdata";

// The certificate's fields in the order they are printed.
struct cert_field {
    size_t offset;
    const char *format;
};
constexpr cert_field CERT_FIELDS[] = {
    {976, "  Version    : %u\n"},  {980, "  Timestamp  : %u\n"},
    {1112, "  Entries    : %u\n"}, {0, "  Magic      : %x\n"},
    {4, "  Key index  : %x\n"},    {24, "  Hdr size   : %x\n"},
    {328, "  Startup    : %x\n"},  {332, "  Watchdog   : %x\n"},
    {348, "  Interval   : %x\n"},  {340, "  Version    : %x\n"},
    {344, "  Sub magic  : %x\n"},  {352, "  Check flags: %x\n"},
};

}  // namespace

unsigned char *map_data_file(const char *path, int *fd, size_t *size)
{
    *size = 0;
    *fd = open_regular_file(path);
    if (*fd < 0) {
        log_trace("Cannot open %s\n", path);
        return nullptr;
    }
    auto refuse = [fd] {
        int e = errno;
        close(*fd);
        *fd = -1;
        errno = e;
        return nullptr;
    };
    struct stat st;
    if (fstat(*fd, &st) != 0) {
        log_trace("Cannot stat %s\n", path);
        return refuse();
    }
    // An empty file has nothing to check; one beyond any data file the
    // boot reads would only take the memory the boot needs.
    if (st.st_size <= 0 || uint64_t(st.st_size) > DATA_FILE_MAX) {
        errno = st.st_size <= 0 ? ENODATA : EFBIG;
        return refuse();
    }
    // The file is read into memory of the process's own, never mapped: a
    // file another process shrinks or changes meanwhile can neither fault
    // the check nor change the bytes between their check and their use.
    size_t length = size_t(st.st_size);
    void *copy = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED)
        return refuse();
    unsigned char *bytes = static_cast<unsigned char *>(copy);
    if (tarvo_read_fully(*fd, bytes, length) != length) {
        log_trace("Cannot read %s\n", path);
        munmap(copy, length);
        errno = EIO;
        return refuse();
    }
    *size = length;
    return bytes;
}

int unmap_data_file(int fd, void *map, size_t size)
{
    int r = munmap(map, size);
    if (r < 0)
        return r;
    close(fd);
    return 0;
}

namespace {

// Releases a mapping of map_data_file; the descriptor is closed even when
// the release fails, so that none is left behind.
void release_data_file(int fd, unsigned char *map, size_t size)
{
    if (unmap_data_file(fd, map, size) != 0)
        close(fd);
}

}  // namespace

int verify_file_signature(const char *path)
{
    int fd;
    size_t size;
    unsigned char *map = map_data_file(path, &fd, &size);
    if (!map) {
        log_trace("Cannot open %s\n", path);
        return -2;
    }
    int verified = tarvo_crypto_verify_file(path, map, size, VERIFY_TOKEN);
    if (verified != 0)
        log_trace("Signature verification failed %s\n", path);
    else
        log_trace("Signature verified %s\n", path);
    release_data_file(fd, map, size);
    return verified != 0 ? -22 : 0;
}

int check_file_sha1(const char *path, const uint8_t hash[20])
{
    int fd;
    size_t size;
    unsigned char *map = map_data_file(path, &fd, &size);
    if (!map) {
        log_trace("Cannot open %s\n", path);
        return -2;
    }
    sha1_ctx ctx;
    sha1_init(&ctx);
    // The digest takes 32-bit lengths: a larger mapping goes in pieces.
    for (size_t done = 0; done < size;) {
        size_t piece = size - done;
        if (piece > 0x40000000u)
            piece = 0x40000000u;
        sha1_update(&ctx, map + done, uint32_t(piece));
        done += piece;
    }
    uint8_t digest[SHA1_DIGEST_LENGTH];
    sha1_final(digest, &ctx);
    release_data_file(fd, map, size);
    if (!hash)
        return -22;
    return memcmp(digest, hash, SHA1_DIGEST_LENGTH) == 0 ? 0 : -22;
}

int sw_cert_vdata_hash(const uint8_t *cert, uint32_t length, uint8_t hash[20])
{
    log_trace("SW certificate\n");
    log_trace("=================\n");
    // Every field lies before the entries; a certificate without room for
    // them has nothing to read.
    if (!cert || length < SW_CERT_ENTRIES_OFFSET) {
        log_trace("SW certificate too short (%u bytes)\n", unsigned(length));
        return -22;
    }
    for (const cert_field &f : CERT_FIELDS)
        log_trace(f.format, unsigned(get_le32(cert + f.offset)));
    uint32_t count = get_le32(cert + SW_CERT_COUNT_OFFSET);
    if (count == 0)
        return -22;
    // Entries are read only within the certificate; one that claims more
    // than it holds is refused as a whole.
    uint32_t room = uint32_t((length - SW_CERT_ENTRIES_OFFSET) / SW_CERT_ENTRY_SIZE);
    if (count > room) {
        log_trace("SW certificate holds %u entries, not %u\n", unsigned(room), unsigned(count));
        return -22;
    }
    bool found = false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t *entry = cert + SW_CERT_ENTRIES_OFFSET + size_t(i) * SW_CERT_ENTRY_SIZE;
        const char *name = reinterpret_cast<const char *>(entry);
        const uint8_t *digest = entry + SW_CERT_NAME_SIZE;
        log_trace("Sub: %.*s\t\t0x", int(strnlen(name, SW_CERT_NAME_SIZE)), name);
        if (memcmp(name, VDATA_ENTRY, sizeof VDATA_ENTRY) == 0) {
            memcpy(hash, digest, SHA1_DIGEST_LENGTH);
            found = true;
        }
        char hex[2 * SHA1_DIGEST_LENGTH + 1];
        print_hash_hex(digest, hex);
        log_raw("%s\n", hex);
    }
    return found ? 0 : -22;
}

int get_vdata_hash(uint8_t hash[20])
{
    log_trace("check sw certificate\n");
    uint8_t *cert = nullptr;
    uint32_t length = 0;
    int r = kz4_read_sw_cert(&cert, &length);
    if (r != 0) {
        log_trace("SW certificate reading failed (%d)\n", r);
        kz4_free(cert);
        return r;
    }
    // Only a certificate the secure side accepts vouches for anything.
    r = kz4_import_sw_cert_checked(cert, length);
    if (r != 0) {
        log_trace("SW certificate refused (%d)\n", r);
        kz4_free(cert);
        return r < 0 ? r : -22;
    }
    r = sw_cert_vdata_hash(cert, length, hash);
    kz4_free(cert);
    return r;
}
