// Prepares the sample device for its first boot; runs inside the sandbox
// on the device root, with "/var" mounted, before keepstone-init boots it.
//
//   make_sample_device [--update] [--list FILE]... [--sign FILE]...
//                      [--developer ORIGIN] [--journal FILE]...
//
// What a factory leaves on a real device and the sample's image cannot
// carry as plain files is made here with the device's own libraries:
//   - the CCC and NPC certificates as configuration-area blocks "cert-ccc"
//     and "cert-npc" (the secure side only needs them present);
//   - the vdata file "/etc/tarvo_vdata" listing the SHA-1 of every FILE
//     given with --list, written by the crypto services' writer;
//   - the software certificate "cert-sw" whose entry "vdata" is the SHA-1
//     of that vdata file, signed with the simulated secure side's
//     manufacturer key, handed to the secure side and stored on the flash;
//   - a signature under the token "tcb" of every FILE given with --sign
//     (the data files the boot checks: the reference hash list, the
//     resource-token policy), made by this process as the token manager,
//     which holds "tcb": each file becomes a member of the store "files.tcb".
//   - with --developer, the developer-mode settings "/etc/tarvo/developer-mode.bin"
//     (relaxed exec validation and the developer origin ORIGIN), written
//     by the boot's own saver with a MAC of the secure side;
//   - with --journal, one record per FILE in the dpkg wrapper journal
//     "/var/lib/tarvo/dpkg-journal", appended by the boot's own journal
//     code: "hash: H 40 <SHA-1>" and "hash: R <length> <path>" make the
//     boot trust FILE with its present SHA-1.
// A device that was prepared already (its vdata file exists) is prepared
// again only with --update: the vdata file then keeps every file it lists,
// each with its present SHA-1, plus the --list files; the software
// certificate is made anew for it; the --sign files are signed again; the
// certificate blocks already on the flash stay.
// A file that changes afterwards no longer matches its signature, and a
// vdata file that changes no longer matches the certificate: that is the
// malfunction path of the demo.
#include "crypto/tarvo_crypto.h"
#include "init/developer_mode.h"
#include "init/journal.h"
#include "crypto/vdata.h"
#include "restok/restok.h"
#include "secbins/kz4_secbins.h"
#include "sim/models/omap_sec_sw_cert.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char program[] = "make_sample_device";

// The SHA-1 of a whole file; false when it cannot be read.
bool file_sha1(const char *path, unsigned char digest[20])
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1;
    unsigned char buf[8192];
    ssize_t n;
    while (ok && (n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        ok = EVP_DigestUpdate(ctx, buf, size_t(n)) == 1;
    }
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, digest, &length) == 1 && length == 20;
    EVP_MD_CTX_free(ctx);
    close(fd);
    return ok;
}

// The whole file; false when it cannot be read.
bool read_file(const char *path, std::string &text)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    char buf[8192];
    ssize_t n;
    bool ok = true;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        text.append(buf, size_t(n));
    }
    close(fd);
    return ok;
}

std::string hex(const unsigned char *bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

// A software certificate with one named digest, "vdata", signed with the
// manufacturer's key of the simulated secure side, which imports only a
// certificate that carries that signature.
bool software_certificate(const unsigned char vdata_digest[20], std::string &cert)
{
    ks_sim::sw_cert_entry vdata{"vdata", {}};
    memcpy(vdata.sha1, vdata_digest, 20);
    cert = ks_sim::sw_cert_build({vdata});
    if (!ks_sim::sw_cert_sign(cert)) {
        fprintf(stderr, "%s: cannot sign the software certificate (not on the simulated "
                        "device, or no manufacturer key)\n", program);
        return false;
    }
    return true;
}

bool write_block(const char *what, int (*writer)(const uint8_t *, uint32_t),
                 const std::string &data)
{
    int r = writer(reinterpret_cast<const uint8_t *>(data.data()), uint32_t(data.size()));
    if (r != 0) {
        fprintf(stderr, "%s: cannot write %s (%d, errno %d)\n", program, what, r, errno);
        return false;
    }
    printf("%s: %s written (%zu bytes)\n", program, what, data.size());
    return true;
}

// Signs each file under "tcb" into the store "files.tcb".
bool sign_files(const std::vector<const char *> &files)
{
    if (files.empty())
        return true;
    int r = restok_be_manager();
    if (r != 0) {
        fprintf(stderr, "%s: cannot become the token manager (%d)\n", program, r);
        return false;
    }
    for (const char *path : files) {
        if (tarvo_crypto_sign_file(path, nullptr, 0, "tcb") != 0) {
            fprintf(stderr, "%s: cannot sign %s (%s)\n", program, path,
                    tarvo_crypto_last_error_text());
            return false;
        }
        printf("%s: %s signed under tcb\n", program, path);
    }
    return true;
}

// The developer-mode settings with relaxed exec validation and an origin.
bool write_developer_settings(const char *origin)
{
    if (!origin)
        return true;
    std::string copy = origin;
    developer_settings settings{1, &copy[0]};
    int r = developer_mode_save_settings(&settings);
    if (r != 1) {
        fprintf(stderr, "%s: cannot write %s (%d)\n", program, DEVELOPER_MODE_PATH, r);
        return false;
    }
    printf("%s: %s written (developer origin %s)\n", program, DEVELOPER_MODE_PATH, origin);
    return true;
}

// One journal record per file, each naming the file's path for the boot.
bool write_journal(const std::vector<const char *> &files)
{
    static const char path[] = "/var/lib/tarvo/dpkg-journal";
    if (files.empty())
        return true;
    Journal journal(path, "tcb");
    for (const char *file : files) {
        unsigned char digest[20];
        if (!file_sha1(file, digest)) {
            fprintf(stderr, "%s: cannot digest %s (%s)\n", program, file, strerror(errno));
            return false;
        }
        std::string relative = file + 1;
        std::string record = "hash: H 40 " + hex(digest, 20) + "\nhash: R " +
                             std::to_string(relative.size()) + " " + relative + "\n";
        if (journal.append(record.data(), uint32_t(record.size())) != 0) {
            fprintf(stderr, "%s: cannot append %s to %s\n", program, file, path);
            return false;
        }
        printf("%s: %s recorded in %s\n", program, file, path);
    }
    return true;
}

void usage()
{
    fprintf(stderr,
            "usage: %s [--update] [--list FILE]... [--sign FILE]... [--developer ORIGIN]\n"
            "       [--journal FILE]...\n"
            "  --update  prepare a device again: keep the files its vdata file lists\n",
            program);
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<const char *> listed, signed_files, journal_files;
    const char *origin = nullptr;
    bool update = false;
    for (int i = 1; i < argc; i += 2) {
        if (strcmp(argv[i], "--update") == 0) {
            update = true;
            i--;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
            return 2;
        }
        const char *value = argv[i + 1];
        if (strcmp(argv[i], "--developer") == 0) {
            origin = value;
            continue;
        }
        std::vector<const char *> *files = strcmp(argv[i], "--list") == 0   ? &listed
                                           : strcmp(argv[i], "--sign") == 0 ? &signed_files
                                           : strcmp(argv[i], "--journal") == 0 ? &journal_files
                                                                              : nullptr;
        if (!files) {
            usage();
            return 2;
        }
        if (value[0] != '/') {
            fprintf(stderr, "%s: %s is not an absolute path\n", program, value);
            return 2;
        }
        files->push_back(value);
    }
    tarvo_vdata list;
    struct stat existing;
    bool prepared = lstat(TARVO_VDATA_PATH, &existing) == 0;
    if (prepared && !update) {
        fprintf(stderr,
                "%s: %s exists: this device was prepared already. Give --update to keep the "
                "files it lists and prepare it again (the --list files are added), or start "
                "from a new device root\n",
                program, TARVO_VDATA_PATH);
        return 2;
    }
    std::vector<std::string> kept;
    if (prepared) {
        std::string text;
        if (!read_file(TARVO_VDATA_PATH, text)) {
            fprintf(stderr, "%s: cannot read %s (%s)\n", program, TARVO_VDATA_PATH, strerror(errno));
            return 1;
        }
        tarvo_vdata old;
        parse_tarvo_vdata(text.data(), text.size(), old);
        for (const auto &entry : old)
            kept.push_back(entry.first);
    }
    for (const std::string &path : kept)
        listed.push_back(path.c_str());
    for (const char *path : listed) {
        unsigned char digest[20];
        if (!file_sha1(path, digest)) {
            fprintf(stderr, "%s: cannot digest %s (%s)\n", program, path, strerror(errno));
            return 1;
        }
        list[path] = hex(digest, 20);
    }
    // The crypto services' own writer, so the file is in the form they read.
    if (save_tarvo_vdata(list) != 1) {
        fprintf(stderr, "%s: cannot write %s\n", program, TARVO_VDATA_PATH);
        return 1;
    }
    unsigned char vdata_digest[20];
    if (!file_sha1(TARVO_VDATA_PATH, vdata_digest)) {
        fprintf(stderr, "%s: cannot digest %s\n", program, TARVO_VDATA_PATH);
        return 1;
    }
    printf("%s: %s lists %zu files, SHA-1 %s\n", program, TARVO_VDATA_PATH, list.size(),
           hex(vdata_digest, 20).c_str());

    std::string certificate;
    if (!software_certificate(vdata_digest, certificate))
        return 1;
    int r = kz4_open(nullptr);
    if (r != 0) {
        fprintf(stderr, "%s: cannot open the security hardware (%d)\n", program, r);
        return 1;
    }
    // On a device prepared again the certificate blocks on the flash stay.
    bool ok = (prepared || (write_block("cert-ccc", kz4_write_ccc_block,
                                        std::string("sample device CCC certificate\n")) &&
                            write_block("cert-npc", kz4_write_npc_block,
                                        std::string("sample device NPC certificate\n")))) &&
              write_block("cert-sw", kz4_write_sw_cert, certificate) &&
              write_developer_settings(origin);
    kz4_close();
    return ok && sign_files(signed_files) && write_journal(journal_files) ? 0 : 1;
}
