// ks-sim: inspects and prepares the state of a simulated device from
// outside the sandbox (or inside it, without --root).
//
//   ks-sim [--root DEVICE-ROOT | --state STATE-DIR] [COMMAND [ARG...]]
#include "init/developer_mode.h"
#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/omap_sec_crypto.h"
#include "sim/models/omap_sec_sw_cert.h"
#include "sim/models/recording.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
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

// Adds a fault line, or removes the lines of the name.
int set_fault(const std::string &spec, bool arm)
{
    std::string name = spec.substr(0, spec.find('='));
    if (name.empty() || name.find('\n') != std::string::npos) {
        std::fprintf(stderr, "ks-sim: bad fault name\n");
        return 2;
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
                 "  records FILE         the records of a state file, raw\n"
                 "  developer-mode [--origin NAME] [--relaxed N] | --remove\n"
                 "                       write (or remove) the device's developer-mode settings;\n"
                 "                       in the sandbox: ks-sandbox --root DIR --same-boot -- ks-sim ...\n"
                 "  sw-cert NAME=FILE|NAME=SHA1HEX...\n"
                 "                       make, sign and store the device's software certificate;\n"
                 "                       in the sandbox, as developer-mode\n"
                 "  sleeps               the sleeps the programs asked for\n"
                 "  syslog               the system log of the boot\n");
    for (const auto &c : commands())
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
