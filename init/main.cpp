// keepstone-init: sets up the platform security early in the boot.
//
// One fixed sequence of steps: options, logs, mounts and device nodes, the
// security hardware, R&D mode, "/var", the token policy, developer mode,
// the data files and the reference hash list, the kernel hash list, the
// dpkg journal, the enforcement masks, then the decision between the
// malfunction state and a normal end, and in initrd mode "/sbin/preinit".
#include "crypto/tarvo_crypto.h"
#include "init/confdata.h"
#include "init/data_files.h"
#include "init/developer_mode.h"
#include "init/devices.h"
#include "init/digest.h"
#include "init/hardware_startup.h"
#include "init/hash_entry.h"
#include "init/journal.h"
#include "init/log.h"
#include "init/malfunction.h"
#include "init/masks.h"
#include "init/mounts.h"
#include "init/options.h"
#include "init/refhashlist.h"
#include "init/security_policy.h"
#include "init/value_files.h"
#include "restok/restok.h"
#include "support/dlog_send.h"
#include "init/safe_open.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char LOGGING_SWITCH[] = "/etc/tarvo/logging";
constexpr const char NOSIGCHECK_SWITCH[] = "/etc/tarvo/nosigcheck";
constexpr const char NOCONFDATACHECK_SWITCH[] = "/etc/tarvo/noconfdatacheck";
constexpr const char NEW_LOCATION_SWITCH[] = "/etc/tarvo/new_location";
constexpr const char VDATA_PATH[] = "/etc/tarvo_vdata";
constexpr const char POLICY_PATH[] = "/var/lib/tarvo/restok/restok.conf";
constexpr const char REFHASHLIST_PATH[] = "/etc/refhashlist";
constexpr const char NEW_REFHASHLIST_PATH[] = "/var/lib/tarvo/refhashlist";
constexpr const char JOURNAL_PATH[] = "/var/lib/tarvo/dpkg-journal";
constexpr const char FLUSH_PATH[] = "/sys/kernel/security/keepstone/flush";
constexpr const char DEVORIG_PATH[] = "/sys/kernel/security/keepstone/devorig";
constexpr const char ENFORCE_PATH[] = "/sys/kernel/security/keepstone/enforce";
constexpr const char ENABLED_PATH[] = "/sys/kernel/security/keepstone/enabled";
constexpr const char PREINIT_PATH[] = "/sbin/preinit";
constexpr const char TCB_TOKEN[] = "tcb";
constexpr unsigned MALF_SCREEN_SECONDS = 360;
constexpr unsigned MALF_WAIT_SECONDS = 3600;

// Malfunction reasons.
constexpr unsigned MALF_VDATA = 0x01;
constexpr unsigned MALF_POLICY = 0x02;
constexpr unsigned MALF_REFHASHLIST = 0x04;
constexpr unsigned MALF_MASKS = 0x08;
constexpr unsigned MALF_FIRST_LOAD = 0x10;
constexpr unsigned MALF_INIT_CONF = 0x20;
constexpr unsigned MALF_VAR_MOUNT = 0x40;

struct boot_state {
    int log_mode = 0;
    int rd_mode = 0;
    int signature_checking = 1;
    int configuration_protection = 1;
    developer_settings *developer = nullptr;
    uint8_t vdata_hash[SHA1_DIGEST_LENGTH] = {};
    bool vdata_hash_delivered = false;
    unsigned malf_flags = 0;
    int enforce_mask = DEFAULT_ENFORCE_MASK;
    int enabled_mask = DEFAULT_ENABLED_MASK;
    int result = 1;
};

bool exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// The suffix of a failure message: with signature checking on the failure
// counts, with it off it is only reported.
const char *failure_suffix(const boot_state &s)
{
    return s.signature_checking ? "\n" : " (ignored)\n";
}

// Step 18: flushes the kernel module's verification cache.
void flush_verification_cache()
{
    FILE *f = fopen_kernel_file_for_writing(FLUSH_PATH);
    if (!f) {
        log_trace("Cache flush failed (%d)\n", -1);
        return;
    }
    fputc('1', f);
    fclose(f);
}

// Step 19.4: signs the vdata file locally once it matched the software
// certificate. The mapping that is signed is compared with the
// certificate's hash again, so that content changed since the check is
// never signed. True when the file was signed.
bool sign_vdata_locally(const boot_state &s)
{
    // The bytes hashed are the bytes signed: one private copy of the file.
    int fd;
    size_t size;
    unsigned char *data = map_data_file(VDATA_PATH, &fd, &size);
    if (!data)
        return false;

    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, data, uint32_t(size));
    uint8_t digest[SHA1_DIGEST_LENGTH];
    sha1_final(digest, &ctx);
    bool same = memcmp(digest, s.vdata_hash, sizeof digest) == 0;

    int signed_result = 1;
    if (same) {
        signed_result = tarvo_crypto_sign_file(VDATA_PATH, data, size, TCB_TOKEN);
        if (signed_result != 0)
            log_trace("%s signing failed (%d) errno=%d message=%s\n", VDATA_PATH, signed_result,
                      errno, tarvo_crypto_last_error_text());
        else
            log_trace("%s is now signed locally\n", VDATA_PATH);
    }
    int unmapped = unmap_data_file(fd, data, size);
    if (unmapped != 0)
        close(fd);
    if (!same || signed_result != 0 || unmapped != 0)
        return false;
    log_trace("%s locally signed\n", VDATA_PATH);
    return true;
}

// Step 19. False when the decision must follow at once.
bool check_vdata(boot_state &s)
{
    bool verified = false;
    if (verify_file_signature(VDATA_PATH) == 0) {
        verified = true;
    } else if (!s.vdata_hash_delivered) {
        log_trace("%s verification failed (no sw cert)\n", VDATA_PATH);
    } else if (check_file_sha1(VDATA_PATH, s.vdata_hash) != 0) {
        log_trace("%s verification failed\n", VDATA_PATH);
    } else {
        log_trace("%s verified (using sw cert)\n", VDATA_PATH);
        verified = sign_vdata_locally(s);
        if (!verified)
            log_trace("%s local signing failed\n", VDATA_PATH);
    }
    if (verified) {
        log_trace("%s verified\n", VDATA_PATH);
        s.malf_flags = 0;
        return true;
    }
    s.malf_flags = MALF_VDATA;
    log_error("%s verification failed%s", VDATA_PATH, failure_suffix(s));
    return !s.signature_checking;
}

// Step 20.
bool check_policy(boot_state &s)
{
    if (verify_file_signature(POLICY_PATH) != 0) {
        s.malf_flags |= MALF_POLICY;
        log_error("Security policy file %s verification failed%s", POLICY_PATH,
                  failure_suffix(s));
        if (s.signature_checking)
            return false;
    }
    log_trace("load_security_policy start.\n");
    // With signature checking on, the bytes the policy is parsed from must
    // verify themselves: a file changed since its check is a failed check.
    int result = load_security_policy(s.signature_checking);
    if (result == -5) {
        s.malf_flags |= MALF_POLICY;
        log_error("Security policy file %s verification failed%s", POLICY_PATH,
                  failure_suffix(s));
        return false;
    }
    if (result != 0)
        log_error("security policy loading failed (%d)\n", result);
    log_trace("load_security_policy done.\n");
    return true;
}

// Step 21.
bool load_reference_hashes(boot_state &s)
{
    log_trace("process hashlist start.\n");
    const char *path = exists(NEW_LOCATION_SWITCH) ? NEW_REFHASHLIST_PATH : REFHASHLIST_PATH;
    int result = load_refhashlist(path, s.signature_checking, s.rd_mode, developer_mode);
    if (result != 0) {
        s.malf_flags |= MALF_REFHASHLIST;
        log_error("hashlist file loading failed (%d)%s", result, failure_suffix(s));
        if (s.signature_checking)
            return false;
    }
    log_trace("process hashlist done.\n");
    return true;
}

// Step 23.
bool first_hash_load(boot_state &s)
{
    if (initrd_mode) {
        log_trace("skipping hash loading.\n");
    } else {
        log_trace("load_all start.\n");
        int result = load_all(hashlist_path);
        if (result != 0) {
            log_trace("hash loading failed (%d)\n", result);
            s.malf_flags |= MALF_FIRST_LOAD;
        }
    }
    if (s.malf_flags != 0 && s.signature_checking)
        return false;
    log_trace("load_all done.\n");
    return true;
}

// Step 24: the hash lines of the dpkg wrapper journal, written to the
// kernel together with the whole tree.
void replay_journal(const boot_state &s)
{
    Journal *journal = create_journal(JOURNAL_PATH, TCB_TOKEN);
    if (!journal) {
        log_trace("Creating journal instance failed\n");
        return;
    }
    uint32_t length = 0;
    const unsigned char *records = journal->open(&length);
    if (!records || length == 0) {
        log_trace("No journal file\n");
    } else {
        log_trace("Parse dpkg wrapper journal file %d bytes\n", int(length));
        char *text = static_cast<char *>(malloc(size_t(length) + 1));
        if (!text) {
            log_trace("Cannot allocate journal buffer\n");
        } else {
            memcpy(text, records, length);
            text[length] = '\0';
            if (parse_journal_hashes(text, length, s.rd_mode, developer_mode) != 0) {
                log_trace("Journal processing failed\n");
            } else {
                log_trace("Journal processed\n");
                int result = load_all(hashlist_path);
                if (result == 0)
                    log_trace("Recovery journal hashes loaded.\n");
                else
                    log_trace("journal hash loading failed (%d)\n", result);
            }
            free(text);
        }
    }
    delete journal;
}

// Step 26, developer origin: defined under "SRC" and handed to the kernel.
// Only ids above 0 are ids; a failed definition writes nothing.
void set_developer_origin(const char *origin)
{
    int source = restok_define("SRC", 0);
    if (source <= 0) {
        log_trace("Source definition failed\n");
        return;
    }
    int id = restok_define(origin, source);
    if (id <= 0) {
        log_trace("Sid definition failed\n");
        return;
    }
    if (!exists(DEVORIG_PATH)) {
        log_trace("No developer origin support in kernel\n");
        return;
    }
    FILE *f = fopen_kernel_file_for_writing(DEVORIG_PATH);
    if (!f) {
        log_trace("Devorig setting failed\n");
        return;
    }
    fprintf(f, "%ld", long(id));
    if (fclose(f) != 0)
        log_trace("Devorig setting failed\n");
}

// Step 26: chooses the masks and writes them, "enforce" first.
void write_masks(boot_state &s)
{
    enforcement_masks masks = {DEFAULT_ENFORCE_MASK, DEFAULT_ENABLED_MASK};
    switch (choose_mask_source(initrd_mode, s.developer != nullptr, s.rd_mode)) {
    case MASKS_INITRD:
        masks = {0, 0};
        break;
    case MASKS_DEVELOPER:
        masks = developer_masks(s.developer->relaxed_exec_validation);
        if (s.developer->developer_origin)
            set_developer_origin(s.developer->developer_origin);
        break;
    case MASKS_RD: {
        log_trace("load_keepstone_rd_config...\n");
        int enable = -1, enforce = -1;
        int result = load_keepstone_rd_config("/etc/tarvo/", &enable, &enforce);
        masks = rd_masks(result, enable, enforce);
        break;
    }
    case MASKS_PLAIN:
        break;
    }
    s.enforce_mask = masks.enforce_mask;
    s.enabled_mask = masks.enabled_mask;

    log_trace("setup kernel...\n");
    if (write_hex_value(ENFORCE_PATH, s.enforce_mask) < 0 ||
        write_hex_value(ENABLED_PATH, s.enabled_mask) < 0) {
        log_error("setting kernel mode failed\n");
        s.malf_flags |= MALF_MASKS;
    }
}

// Steps 9 to 26, once the security hardware is open. Returns when the
// decision is due, early for an immediate one.
void run_checks(boot_state &s)
{
    if (seed_prng() == 0)
        log_trace("PRNG seed set...\n");
    else
        log_error("Unable to seed PRNG\n");

    if (load_rd_certificate() != 0)
        log_error("KZ4 certificate loading failed\n");

    if (check_rd_mode(&s.rd_mode) != 0) {
        log_error("KZ4 R&D certificate check failed\n");
        s.rd_mode = 0;
    } else {
        log_trace("R&D mode is %s\n", s.rd_mode ? "enabled" : "disabled");
    }

    s.signature_checking = !(s.rd_mode && exists(NOSIGCHECK_SWITCH));
    log_trace(s.signature_checking ? "Signature verification is on\n"
                                   : "Signature verification is off\n");

    struct stat st;
    if (stat("/var/lib", &st) != 0 && mount_var(s.rd_mode) < 0) {
        log_error("failed to mount ubifs /var partition\n");
        s.malf_flags = MALF_VAR_MOUNT;
        return;
    }

    s.configuration_protection = !(s.rd_mode && exists(NOCONFDATACHECK_SWITCH));
    log_trace(s.configuration_protection ? "Configuration protection is on\n"
                                         : "Configuration protection is off\n");

    int result = init_security_policy();
    if (result != 0)
        log_error("security policy initialization failed (%d)\n", result);
    result = restok_be_manager();
    if (result == 0)
        log_trace("restok_be_manager OK\n");
    else
        log_error("restok_be_manager failed (%d)\n", result);

    result = developer_mode_load_settings(&s.developer);
    if (result > 0 && s.developer) {
        developer_mode = 1;
        log_trace("- Relaxed exec validation: %s\n",
                  s.developer->relaxed_exec_validation ? "enabled" : "disabled");
        log_trace("- Developer origin: %s\n",
                  s.developer->developer_origin ? s.developer->developer_origin : "(not set)");
    } else {
        log_trace("Developer mode disabled (%d)\n", result);
        s.developer = nullptr;
    }

    result = get_vdata_hash(s.vdata_hash);
    if (result != 0)
        log_error("Cannot get SW certificate (%d)\n", result);
    s.vdata_hash_delivered = result == 0;

    if (flush_cache && !no_flush)
        flush_verification_cache();

    if (!check_vdata(s) || !check_policy(s) || !load_reference_hashes(s))
        return;
    if (s.configuration_protection)
        add_protection_entries();
    if (!first_hash_load(s))
        return;
    replay_journal(s);
    if (s.configuration_protection && check_init_conf() != 0) {
        log_error("configuration files are broken\n");
        s.malf_flags |= MALF_INIT_CONF;
    }
    write_masks(s);
}

}  // namespace

int main(int argc, char **argv)
{
    if (parse_options(argc, argv) != 0)
        return -1;

    init_dlogger(-1, 0, 0);
    setup_crash_handling(1);

    boot_state s;
    if (read_int_value(LOGGING_SWITCH, &s.log_mode) != 0)
        s.log_mode = 0;
    if (s.log_mode == 1 && open_log_file() != 0) {
        fwrite("Cannot log to file\n", 1, 19, stderr);
        fflush(stderr);
    }
    log_trace("keepstone-init start.\n");
    set_log_mode(s.log_mode);

    do_mounts();
    int result = create_devices();
    if (result != 0)
        log_trace("Cannot create devices (%d)\n", result);
    // "/dev/null" or the console may only exist now.
    occupy_standard_descriptors();

    log_trace("open_clog...\n");
    if (open_clog() != 0)
        log_trace("console log open failed\n");

    if (platsec_open() != 0) {
        // Without the security hardware no check can run.
        s.result = 1;
        s.malf_flags = 0;
        s.enforce_mask = DEFAULT_ENFORCE_MASK;
        s.enabled_mask = DEFAULT_ENABLED_MASK;
        s.signature_checking = 0;
    } else {
        run_checks(s);

        if (s.signature_checking && s.malf_flags != 0) {
            log_error("Going to MALF %d\n", int(s.malf_flags));
            show_malf(MALF_SCREEN_SECONDS);
            sleep(MALF_WAIT_SECONDS);
        } else {
            clear_reboot_counter();
        }

        free_developer_settings(s.developer);
        s.developer = nullptr;
        result = platsec_close();
        if (result != 0)
            log_error("platsec_close failed (%d)\n", result);
        s.result = 0;
    }

    umount_all();
    free_options();
    if (initrd_mode && !(s.signature_checking && s.malf_flags != 0)) {
        log_trace("exec /sbin/preinit\n");
        flush_logs();
        execlp(PREINIT_PATH, PREINIT_PATH, static_cast<char *>(nullptr));
        int error = errno;
        log_trace("execlp failed: %s (%d)\n", strerror(error), error);
    }
    log_error("done (%d,0x%x,0x%x,0x%x)\n", s.result, s.malf_flags, unsigned(s.enabled_mask),
              unsigned(s.enforce_mask));
    if (get_log_mode() == 1)
        close_log_file();
    close_console_log();
    return s.result;
}
