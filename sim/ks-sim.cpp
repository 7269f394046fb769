// ks-sim: inspects and prepares the state of a simulated device from
// outside the sandbox (or inside it, without --root).
//
//   ks-sim [--root DEVICE-ROOT | --state STATE-DIR] [COMMAND [ARG...]]
#include "init/developer_mode.h"
#include "init/digest.h"
#include "init/hash_entry.h"
#include "init/refhashlist.h"
#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/keepstone.h"
#include "sim/models/omap_sec_crypto.h"
#include "sim/models/omap_sec_sw_cert.h"
#include "sim/models/recording.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using ks_sim::commands;

int run(const std::string &name, const std::vector<std::string> &args);

// State files of the boot shown as lines.
int lines_command(const char *file, const char *title)
{
    std::string text = ks_sim::records_as_lines(file);
    if (text.empty())
        std::printf("%s: none\n", title);
    else
        std::printf("%s:\n%s", title, text.c_str());
    return 0;
}

int syslog_command()
{
    std::string text;
    if (ks_sim::read_state(ks_sim::run_path("syslog"), text) < 0 || text.empty())
        std::printf("system log: empty\n");
    else
        std::printf("system log:\n%s", text.c_str());
    return 0;
}

int faults_command()
{
    std::string text;
    ks_sim::read_state("faults", text);
    std::printf("%s", text.empty() ? "no faults armed\n" : text.c_str());
    return 0;
}

// Every fault that a model asks for (its name before "="); the integrity
// module's faults exist for each of its files.
std::vector<std::string> known_faults()
{
    std::vector<std::string> names = {
        "credp.fail", "credp.no_89f5", "credp.open",
        "creds.broken", "creds.open", "creds.pad", "creds.unfit",
        "fb0.open", "fb0.screeninfo", "fb0.update",
        "mtd.badblock", "mtd.getinfo", "mtd.nor", "mtd.open", "mtd.otpselect",
        "mtd.otpselect.off", "mtd.otpselect.off.nth", "mtd.otpselect.on", "mtd.otpselect.on.nth",
        "mtd.powercut",
        "mtd.powercut.bytes", "mtd.powercut.last", "mtd.powercut.random", "mtd.unreadable",
        "omap_sec.empty_read_zero", "omap_sec.leftover", "omap_sec.no_second_word",
        "omap_sec.open", "omap_sec.open_nofollow", "omap_sec.pa", "omap_sec.result",
        "omap_sec.rom", "omap_sec.select", "omap_sec.select_result", "omap_sec.service",
        "omap_sec.short_response", "omap_sec.short_write",
        "restok.manager_refuses", "restok.new_fails", "restok.new_zero", "restok.open",
        "restok.root_fails", "restok.root_zero", "restok.tcb_fails",
        "tarvofs.forge", "tarvofs.get", "tarvofs.replay", "tarvofs.set", "tarvofs.size",
        "ubi.attach", "ubi.open", "ubifs.mount", "urandom.open",
    };
    for (const char *file : {"hashlist", "modlist", "flush", "enforce", "enabled", "devorig"})
        for (const char *what : {"open", "write_fail", "short", "close"})
            names.push_back(std::string("keepstone.") + file + "." + what);
    std::sort(names.begin(), names.end());
    return names;
}

int known_faults_command()
{
    for (const std::string &name : known_faults())
        std::printf("%s\n", name.c_str());
    return 0;
}

// Adds a fault line, or removes the lines of the name. Only a known fault
// is armed: an unknown name would arm nothing.
int set_fault(const std::string &spec, bool arm)
{
    std::string name = spec.substr(0, spec.find('='));
    if (name.empty() || name.find('\n') != std::string::npos) {
        std::fprintf(stderr, "ks-sim: bad fault name\n");
        return 2;
    }
    if (arm) {
        std::vector<std::string> known = known_faults();
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::string list;
            for (const std::string &k : known)
                list += (list.empty() ? "" : " ") + k;
            std::fprintf(stderr, "ks-sim: unknown fault %s; the known faults: %s\n", name.c_str(),
                         list.c_str());
            return 2;
        }
    }
    std::string text, kept;
    ks_sim::read_state("faults", text);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.substr(0, line.find('=')) != name)
            kept += line + "\n";
    }
    if (arm)
        kept += spec + "\n";
    int r = ks_sim::write_state("faults", kept);
    if (r < 0) {
        std::fprintf(stderr, "ks-sim: cannot write the faults: %s\n", std::strerror(-r));
        return 1;
    }
    return 0;
}

int records_command(const std::vector<std::string> &args)
{
    if (args.empty()) {
        std::fprintf(stderr, "ks-sim records FILE\n");
        return 2;
    }
    std::vector<std::string> recs;
    int r = ks_sim::read_records(args[0], recs);
    if (r < 0) {
        std::fprintf(stderr, "ks-sim: %s: %s\n", args[0].c_str(), std::strerror(-r));
        return 1;
    }
    for (size_t i = 0; i < recs.size(); i++) {
        std::printf("%zu (%zu bytes):", i, recs[i].size());
        for (unsigned char c : recs[i])
            std::printf(c >= 0x20 && c < 0x7f && c != '\\' ? "%c" : "\\x%02x", c);
        std::printf("\n");
    }
    return 0;
}

// True in the sandbox's mount namespace with the simulator serving the C
// library's open, so that the security hardware is the simulated one.
bool on_simulated_device()
{
    const char *want = std::getenv("KS_SIM_SANDBOX");
    char ns[64] = {};
    if (!want || readlink("/proc/self/ns/mnt", ns, sizeof ns - 1) <= 0 || std::strcmp(ns, want) != 0)
        return false;
    Dl_info info;
    void *fn = dlsym(RTLD_DEFAULT, "open");
    return fn && dladdr(fn, &info) && info.dli_fname &&
           std::strstr(info.dli_fname, "libkeepstone-sim") != nullptr;
}

// ks-sim developer-mode [--origin NAME] [--relaxed N] | --remove: writes
// the developer-mode settings of the device through the boot program's own
// saver, with a MAC that the simulated security hardware makes under
// "tcb", so that the next boot runs in developer mode.
int developer_mode_command(const std::vector<std::string> &args)
{
    developer_settings settings = {0, nullptr};
    std::string origin;
    bool remove = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a == "--remove") {
            remove = true;
        } else if ((a == "--origin" || a == "--relaxed") && i + 1 < args.size()) {
            const std::string &v = args[++i];
            if (a == "--origin") {
                origin = v;
                settings.developer_origin = &origin[0];
                continue;
            }
            char *end = nullptr;
            errno = 0;
            unsigned long n = std::strtoul(v.c_str(), &end, 0);
            if (v.empty() || *end != '\0' || errno != 0 || n > UINT32_MAX || v[0] == '-') {
                std::fprintf(stderr, "ks-sim: --relaxed takes a number from 0 to 4294967295\n");
                return 2;
            }
            settings.relaxed_exec_validation = uint32_t(n);
        } else {
            std::fprintf(stderr,
                         "usage: ks-sim developer-mode [--origin NAME] [--relaxed N] | --remove\n");
            return 2;
        }
    }
    if (!on_simulated_device()) {
        std::fprintf(stderr, "ks-sim: developer-mode runs on the simulated device only: "
                             "ks-sandbox --root DEVICE-ROOT --same-boot -- ks-sim developer-mode ...\n");
        return 2;
    }
    if (remove) {
        if (unlink(DEVELOPER_MODE_PATH) != 0 && errno != ENOENT) {
            std::fprintf(stderr, "ks-sim: cannot remove %s: %s\n", DEVELOPER_MODE_PATH,
                         std::strerror(errno));
            return 1;
        }
        std::printf("%s removed: the next boot is not in developer mode\n", DEVELOPER_MODE_PATH);
        return 0;
    }
    int opened = kz4_open(nullptr);
    if (opened != 0) {
        std::fprintf(stderr, "ks-sim: cannot open the security hardware (%d)\n", opened);
        return 1;
    }
    int saved = developer_mode_save_settings(&settings);
    kz4_close();
    if (saved != 1) {
        std::fprintf(stderr, "ks-sim: cannot write %s (%d)\n", DEVELOPER_MODE_PATH, saved);
        return 1;
    }
    std::printf("%s written: relaxed_exec_validation %u, developer_origin %s\n",
                DEVELOPER_MODE_PATH, unsigned(settings.relaxed_exec_validation),
                settings.developer_origin ? settings.developer_origin : "(not set)");
    return 0;
}

// ---- hash records and the files they stand for

// One hash record as the kernel takes it: the type letter, for 's' and 't'
// the SHA-1, then device and inode (low 32 bits each).
struct hash_record {
    char type = '?';
    std::string sha1;  // 20 raw bytes, empty without a hash
    uint32_t device = 0, inode = 0;
};

bool decode_record(const std::string &data, hash_record &r)
{
    if (data.empty())
        return false;
    r.type = data[0];
    size_t start = (r.type == 's' || r.type == 't') ? 21 : 1;
    if (data.size() < start + 2)
        return false;
    r.sha1 = start == 21 ? data.substr(1, 20) : "";
    long long dev = 0, ino = 0;
    if (std::sscanf(data.c_str() + start, " %lld %lld", &dev, &ino) != 2)
        return false;
    r.device = uint32_t(dev);
    r.inode = uint32_t(ino);
    return true;
}

using file_key = std::pair<uint32_t, uint32_t>;  // device, inode

// The device's root as this process sees it: on the simulated device (the
// state is "/.ks-sim") "/proc/self/root", since an emulated ARM program's
// absolute paths are looked up in the emulator's library root first; else
// the directory that holds the state (*outside set).
bool device_root(std::string &root, bool *outside = nullptr)
{
    std::string dir = ks_sim::state_dir();
    const std::string tail = "/.ks-sim";
    if (dir.size() < tail.size() || dir.compare(dir.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    root = dir.substr(0, dir.size() - tail.size());
    if (outside)
        *outside = !root.empty();
    struct stat st;
    if (root.empty() && lstat("/proc/self/root/.ks-sim", &st) == 0)
        root = "/proc/self/root/.";  // the directory, not the link
    return true;
}

// Walks the directory (host path), naming what it finds by the device
// path, until every wanted file has a path. Symbolic links are not
// followed; the simulated platform's own file systems are passed over.
void find_paths(const std::string &host, const std::string &device_path,
                const std::set<std::string> &skip, std::set<file_key> &wanted,
                std::map<file_key, std::string> &found)
{
    struct stat st;
    if (wanted.empty() || skip.count(host) || lstat(host.empty() ? "/" : host.c_str(), &st) != 0)
        return;
    file_key key(uint32_t(st.st_dev), uint32_t(st.st_ino));
    if (wanted.erase(key))
        found[key] = device_path.empty() ? "/" : device_path;
    if (!S_ISDIR(st.st_mode))
        return;
    DIR *d = opendir(host.empty() ? "/" : host.c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names)
        find_paths(host + "/" + n, device_path + "/" + n, skip, wanted, found);
}

// The device path of every record's file that can be found.
std::map<file_key, std::string> record_paths(const std::vector<hash_record> &records)
{
    std::map<file_key, std::string> found;
    std::string root;
    bool outside = false;
    if (!device_root(root, &outside))
        return found;
    // The device's /usr may be an overlay, whose device number is new at
    // every run of the sandbox: the boot's number (kept by the sandbox) is
    // looked for as the present one.
    std::string boot_usr;
    struct stat usr;
    uint32_t boot_dev = 0, now_dev = 0;
    bool moved = ks_sim::read_state(ks_sim::run_path("usr-dev"), boot_usr) >= 0 &&
                 !boot_usr.empty() && lstat((root + "/usr").c_str(), &usr) == 0;
    if (moved) {
        boot_dev = uint32_t(std::strtoull(boot_usr.c_str(), nullptr, 10));
        now_dev = uint32_t(usr.st_dev);
        moved = boot_dev != now_dev;
    }
    std::set<file_key> wanted;
    for (const hash_record &r : records)
        wanted.insert(file_key(moved && r.device == boot_dev ? now_dev : r.device, r.inode));
    std::set<std::string> skip;
    for (const char *d : {"/proc", "/sys", "/dev", "/run", "/tmp", "/.ks-sim"})
        skip.insert(root + d);
    // Outside the sandbox the device's /var is the volume's directory.
    if (outside)
        find_paths(root + "/.ks-sim/ubi/mtd4/var", "/var", {}, wanted, found);
    find_paths(root, "", skip, wanted, found);
    if (moved) {
        std::map<file_key, std::string> as_booted;
        for (const auto &f : found)
            as_booted[file_key(f.first.first == now_dev ? boot_dev : f.first.first,
                               f.first.second)] = f.second;
        return as_booted;
    }
    return found;
}

std::vector<hash_record> boot_records(const std::vector<ks_sim::keepstone_event> &events)
{
    std::vector<hash_record> records;
    hash_record r;
    for (const std::string &data : ks_sim::keepstone_writes(events, "hashlist"))
        if (decode_record(data, r))
            records.push_back(r);
    return records;
}

// ks-sim kernel: the integrity module's log of the boot, each hash record
// with the path of its file.
int kernel_command(const std::vector<std::string> &args)
{
    std::vector<ks_sim::keepstone_event> events;
    int r = ks_sim::read_keepstone_log(events, args.empty() ? "" : args[0]);
    if (r < 0) {
        std::printf("cannot read the module's log: %s\n", std::strerror(-r));
        return 1;
    }
    std::map<file_key, std::string> paths = record_paths(boot_records(events));
    size_t records = 0, modules = 0;
    for (const auto &e : events) {
        std::string line = ks_sim::keepstone_describe(e);
        hash_record rec;
        if (e.op == 'W' && e.file == "hashlist" && decode_record(e.data, rec)) {
            auto it = paths.find(file_key(rec.device, rec.inode));
            line += "  " + (it == paths.end() ? std::string("(no such file now)") : it->second);
        }
        std::printf("%s\n", line.c_str());
        if (e.op == 'W' && e.file == "hashlist")
            records++;
        if (e.op == 'W' && e.file == "modlist")
            modules++;
    }
    std::printf("keepstone: %zu hashlist records, %zu module hashes\n", records, modules);
    return 0;
}


// Each record against its file as it is now, the last record of a file
// counting (the second writing replaces the first). 0 when every file
// with a hash is unchanged, 3 when one differs or is gone.
int print_record_files(const std::vector<hash_record> &all)
{
    std::map<file_key, hash_record> last;
    std::vector<file_key> order;
    for (const hash_record &r : all) {
        file_key k(r.device, r.inode);
        if (!last.count(k))
            order.push_back(k);
        last[k] = r;
    }
    std::vector<hash_record> records;
    for (const file_key &k : order)
        records.push_back(last[k]);
    std::map<file_key, std::string> paths = record_paths(records);
    std::string root;
    bool outside = false;
    device_root(root, &outside);
    int changed = 0;
    for (const hash_record &r : records) {
        file_key k(r.device, r.inode);
        auto it = paths.find(k);
        std::string path = it == paths.end() ? "" : it->second;
        std::string state;
        if (path.empty()) {
            state = "GONE";  // no file has this device and inode now
            changed += !r.sha1.empty();
        } else if (r.sha1.empty()) {
            state = "no-hash";
        } else {
            std::string host = (outside && path.compare(0, 5, "/var/") == 0)
                                   ? root + "/.ks-sim/ubi/mtd4" + path
                                   : root + path;
            uint8_t now[SHA1_DIGEST_LENGTH];
            if (sha1_file(host.c_str(), now) != 0) {
                state = "UNREADABLE";
                changed++;
            } else if (std::string(reinterpret_cast<char *>(now), sizeof now) == r.sha1) {
                state = "same";
            } else {
                state = "CHANGED";
                changed++;
            }
        }
        std::printf("%-10s %c %-40s %d %d %s\n", state.c_str(), r.type,
                    r.sha1.empty() ? "-" : ks_sim::hex_text(r.sha1).c_str(), int32_t(r.device),
                    int32_t(r.inode), path.empty() ? "(no such file now)" : path.c_str());
    }
    std::printf("%zu records, %d changed or gone%s\n", records.size(), changed,
                changed ? ": the kernel would refuse to run those files" : "");
    return changed ? 3 : 0;
}

// ks-sim files: what the kernel was given in this boot against the files
// as they are now.
int files_command()
{
    std::vector<ks_sim::keepstone_event> events;
    int r = ks_sim::read_keepstone_log(events);
    if (r < 0) {
        std::printf("cannot read the module's log: %s\n", std::strerror(-r));
        return 1;
    }
    return print_record_files(boot_records(events));
}

// ks-sim check-hashlist FILE [--production] [--developer]: parses a
// reference hash list with the boot's own parser, without its signature,
// and prints the parser's code and the records the kernel would get.
int check_hashlist_command(const std::vector<std::string> &args)
{
    std::string file;
    int rd_mode = 1, developer = 0;
    bool bad = false;
    for (const std::string &a : args) {
        if (a == "--production")
            rd_mode = 0;
        else if (a == "--developer")
            developer = 1;
        else if (file.empty() && !a.empty() && a[0] != '-')
            file = a;
        else
            bad = true;
    }
    if (file.empty() || bad) {
        std::fprintf(stderr, "usage: ks-sim check-hashlist FILE [--production] [--developer]\n");
        return 2;
    }
    if (!on_simulated_device()) {
        std::fprintf(stderr, "ks-sim: check-hashlist runs on the simulated device only (it "
                             "looks up the files and tokens there): ks-sandbox --root DEVICE-ROOT "
                             "--same-boot -- ks-sim check-hashlist FILE\n");
        return 2;
    }
    std::string text;
    {
        FILE *f = std::fopen(file.c_str(), "rb");
        if (!f) {
            std::fprintf(stderr, "ks-sim: cannot open %s: %s\n", file.c_str(), std::strerror(errno));
            return 1;
        }
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        bool failed = std::ferror(f);
        std::fclose(f);
        if (failed) {
            std::fprintf(stderr, "ks-sim: cannot read %s\n", file.c_str());
            return 1;
        }
    }
    // The parser's module hashes and tokens go to a state of their own, so
    // that the device's boot record stays as the boot left it.
    char state[] = "/tmp/ks-check-hashlist.XXXXXX";
    if (!mkdtemp(state)) {
        std::fprintf(stderr, "ks-sim: cannot make a scratch state: %s\n", std::strerror(errno));
        return 1;
    }
    std::string saved = ks_sim::state_dir();
    setenv("KS_SIM_STATE", state, 1);
    mkdir((std::string(state) + "/run").c_str(), 0700);
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    int code = text.empty() ? -12 : parse_hashlist(copy.data(), text.size(), rd_mode, developer);
    std::string records_file = std::string(state) + "/records";
    int fd = open(records_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0)
        close(fd);
    if (code == 0)
        load_all(records_file.c_str());
    std::vector<ks_sim::keepstone_event> events;
    ks_sim::read_keepstone_log(events);
    size_t modules = ks_sim::keepstone_writes(events, "modlist").size();
    std::string out;
    ks_sim::read_state(records_file, out);
    std::vector<hash_record> records;
    for (size_t pos = 0; pos < out.size();) {
        size_t start = (out[pos] == 's' || out[pos] == 't') ? pos + 21 : pos + 1;
        size_t end = out.find(std::string("\0\n", 2), std::min(start, out.size()));
        if (end == std::string::npos)
            break;
        hash_record r;
        if (decode_record(out.substr(pos, end + 2 - pos), r))
            records.push_back(r);
        pos = end + 2;
    }
    std::string cleanup = std::string("rm -rf -- ") + state;
    setenv("KS_SIM_STATE", saved.c_str(), 1);
    if (std::system(cleanup.c_str()) != 0)
        std::fprintf(stderr, "ks-sim: %s stays\n", state);
    if (code != 0) {
        std::printf("%s: does not parse: code %d (see the parse codes of the reference hash list)\n",
                    file.c_str(), code);
        return 1;
    }
    std::printf("%s: parses: %zu entries, %zu module hashes admitted (%s)\n", file.c_str(),
                records.size(), modules, rd_mode ? "R&D device" : "production device");
    print_record_files(records);
    return 0;
}

// ks-sim sw-cert NAME=FILE|NAME=SHA1HEX...: makes the device's software
// certificate for the integrator's own digests (NAME at most 11
// characters, "vdata" the entry of the vdata file), signs it with the
// simulated secure side's manufacturer key, has the secure side import it
// and stores it as "cert-sw" on the flash.
int sw_cert_command(const std::vector<std::string> &args)
{
    const char usage_text[] = "usage: ks-sim sw-cert NAME=FILE|NAME=SHA1HEX...\n";
    std::vector<ks_sim::sw_cert_entry> entries;
    for (const std::string &a : args) {
        size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0 || eq > 11 || eq + 1 == a.size()) {
            std::fprintf(stderr, "%s", usage_text);
            return 2;
        }
        ks_sim::sw_cert_entry e{a.substr(0, eq), {}};
        std::string value = a.substr(eq + 1), digest;
        if (value[0] == '/') {
            std::ifstream in(value, std::ios::binary);
            std::ostringstream content;
            content << in.rdbuf();
            if (!in) {
                std::fprintf(stderr, "ks-sim: cannot read %s\n", value.c_str());
                return 1;
            }
            digest = ks_sim::omap_sec_sha1(content.str());
        } else if (value.size() == 40 &&
                   value.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
            for (size_t i = 0; i < 40; i += 2)
                digest += char(std::strtoul(value.substr(i, 2).c_str(), nullptr, 16));
        } else {
            std::fprintf(stderr, "ks-sim: %s is neither an absolute path nor 40 hex digits\n",
                         value.c_str());
            return 2;
        }
        memcpy(e.sha1, digest.data(), 20);
        entries.push_back(e);
    }
    if (!on_simulated_device()) {
        std::fprintf(stderr, "ks-sim: sw-cert runs on the simulated device only: "
                             "ks-sandbox --root DEVICE-ROOT --same-boot -- ks-sim sw-cert ...\n");
        return 2;
    }
    std::string cert = ks_sim::sw_cert_build(entries);
    if (!ks_sim::sw_cert_sign(cert)) {
        std::fprintf(stderr, "ks-sim: cannot sign the certificate (no manufacturer key)\n");
        return 1;
    }
    int opened = kz4_open(nullptr);
    if (opened != 0) {
        std::fprintf(stderr, "ks-sim: cannot open the security hardware (%d)\n", opened);
        return 1;
    }
    int written = kz4_write_sw_cert(reinterpret_cast<const uint8_t *>(cert.data()),
                                    uint32_t(cert.size()));
    kz4_close();
    if (written != 0) {
        std::fprintf(stderr, "ks-sim: cannot store the certificate (%d)\n", written);
        return 1;
    }
    std::printf("cert-sw written: %zu entries, %zu bytes\n", entries.size(), cert.size());
    return 0;
}

int summary()
{
    std::printf("== integrity module\n");
    run("kernel", {});
    std::printf("== other kernel files\n");
    run("sysrq", {});
    run("urandom", {});
    std::printf("== mounts and UBI\n");
    run("mounts", {});
    run("ubi", {});
    std::printf("== sleeps\n");
    lines_command("sleeps", "sleeps");
    std::printf("== console\n");
    run("console", {});
    std::printf("== ");
    syslog_command();
    std::string more;
    for (const auto &c : commands()) {
        std::string n = c.name;
        if (n != "kernel" && n != "sysrq" && n != "urandom" && n != "mounts" && n != "ubi" &&
            n != "console" && n != "soc-info")
            more += (more.empty() ? "" : ", ") + n;
    }
    if (!more.empty())
        std::printf("== other views: ks-sim COMMAND with COMMAND one of %s\n", more.c_str());
    return 0;
}

void usage(FILE *out)
{
    std::fprintf(out,
                 "usage: ks-sim [--root DEVICE-ROOT | --state STATE-DIR] [COMMAND [ARG...]]\n"
                 "commands:\n"
                 "  summary              everything below that the boot left (default)\n"
                 "  faults               the armed faults\n"
                 "  fault NAME[=VALUE]   arm a fault\n"
                 "  unfault NAME         disarm a fault\n"
                 "  known-faults         the names that fault takes\n"
                 "  records FILE         the records of a state file, raw\n"
                 "  kernel               what the integrity module received in this boot, decoded,\n"
                 "                       each hash record with the path of its file\n"
                 "  files                each hash record of the boot against its file now: same,\n"
                 "                       CHANGED or GONE (what the kernel would refuse to run)\n"
                 "  check-hashlist FILE [--production] [--developer]\n"
                 "                       parse a reference hash list with the boot's parser (no\n"
                 "                       signature check) and show its records; on the device\n"
                 "  developer-mode [--origin NAME] [--relaxed N] | --remove\n"
                 "                       write (or remove) the device's developer-mode settings;\n"
                 "                       in the sandbox: ks-sandbox --root DIR --same-boot -- ks-sim ...\n"
                 "  sw-cert NAME=FILE|NAME=SHA1HEX...\n"
                 "                       make, sign and store the device's software certificate;\n"
                 "                       in the sandbox, as developer-mode\n"
                 "  sleeps               the sleeps the programs asked for\n"
                 "  syslog               the system log of the boot\n");
    for (const auto &c : commands())
        if (std::strcmp(c.name, "kernel") != 0)
            std::fprintf(out, "  %-20s %s\n", c.name, c.help);
}

int run(const std::string &name, const std::vector<std::string> &args)
{
    if (name == "summary")
        return summary();
    if (name == "faults")
        return faults_command();
    if (name == "fault" || name == "unfault") {
        if (args.size() != 1) {
            usage(stderr);
            return 2;
        }
        return set_fault(args[0], name == "fault");
    }
    if (name == "records")
        return records_command(args);
    if (name == "known-faults")
        return known_faults_command();
    if (name == "kernel")
        return kernel_command(args);
    if (name == "files")
        return files_command();
    if (name == "check-hashlist")
        return check_hashlist_command(args);
    if (name == "developer-mode")
        return developer_mode_command(args);
    if (name == "sw-cert")
        return sw_cert_command(args);
    if (name == "sleeps")
        return lines_command("sleeps", "sleeps");
    if (name == "syslog")
        return syslog_command();
    if (name == "help") {
        usage(stdout);
        return 0;
    }
    for (const auto &c : commands())
        if (name == c.name)
            return c.fn(args, stdout);
    std::fprintf(stderr, "ks-sim: unknown command %s\n", name.c_str());
    usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    int i = 1;
    std::string state;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--root" || a == "--state") && i + 1 < argc) {
            state = argv[++i];
            if (a == "--root")
                state += "/.ks-sim";
        } else if (a == "-h" || a == "--help") {
            usage(stdout);
            return 0;
        } else {
            break;
        }
    }
    if (!state.empty())
        setenv("KS_SIM_STATE", state.c_str(), 1);
    std::string dir = ks_sim::state_dir();
    if (!ks_sim::placeholder_exists(dir)) {
        std::fprintf(stderr, "ks-sim: no device state at %s\n", dir.c_str());
        return 1;
    }
    std::string name = i < argc ? argv[i++] : "summary";
    std::vector<std::string> args(argv + i, argv + argc);
    return run(name, args);
}
