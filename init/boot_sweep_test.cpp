// The whole-boot sweep: every file a boot of the signed sample device
// opens, stats or maps (in keepstone-init, in every library and in the C
// library itself) is taken from a record of a real boot at the system-call
// level (strace inside the sandbox), in production mode, in R&D mode with
// "nosigcheck" and in initrd mode. Each path then gets, one boot at a time,
// a FIFO, a link to a FIFO, a directory, a link to "/dev/zero", a 1 GiB
// sparse file, a file that a second process keeps cutting while the boot
// reads it, and no file at all. Every boot must reach its decision (the
// "done (...)" line, or "/sbin/preinit" in initrd mode) within 10 s, stay
// under 32 MiB of memory (the sample boot peaks near 9 MiB), and carry the
// malfunction bits the table gives for that path. A path the record shows and the table lacks is a failing
// row of its own: a new open anywhere on the boot's road shows up here.
#include "init/signed_sample_test_support.h"
#include "sim/testing/sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ks_sim::testing::device;

const std::string INIT = KS_INIT_PATH;
constexpr long MEMORY_BOUND_KB = 32 * 1024;
constexpr int TIME_BOUND_S = 10;

const char PREINIT[] = "#!/bin/sh\necho preinit >>/sweep-preinit.ran\n";

enum mode { PRODUCTION, RD_NOSIGCHECK, INITRD };

const char *mode_name(mode m)
{
    return m == PRODUCTION ? "Production" : m == RD_NOSIGCHECK ? "RdNosigcheck" : "Initrd";
}

// The odd files put at a path.
enum kind { FIFO, LINK_TO_FIFO, DIRECTORY, LINK_TO_ZERO, SPARSE_1GIB, SHRINKING, MISSING };
const kind ALL_KINDS[] = {FIFO, LINK_TO_FIFO, DIRECTORY, LINK_TO_ZERO, SPARSE_1GIB, SHRINKING, MISSING};
const char *kind_name(kind k)
{
    static const char *names[] = {"fifo", "link to fifo", "directory", "link to /dev/zero",
                                  "1 GiB sparse", "shrinking", "missing"};
    return names[k];
}

const char HASH_LIST_ENTRY[] = "<hash-list entry>";

// What the boot must show for a path: the malfunction bits when the file
// cannot be read (every odd kind), when it is missing (only where the
// sample device has the file), and which further bits a file cut while it
// is read may give (a file read by several checks fails any of them; a
// cut file gives some of the bits of odd and cut, or none).
struct expectation {
    const char *path;  // a device path, or "<hash-list entry>"
    unsigned modes;    // the modes whose boots open it (1 << mode)
    unsigned odd;      // bits for a file that cannot be read
    unsigned missing;  // bits for no file
    unsigned cut;      // further bits for a file cut while it is read
};

constexpr unsigned ALL = 7, NOT_INITRD = 3;

// The table: the normal boot of the sample device has no bit set. Files
// the boot only looks for (flags, optional settings) give no bit when odd,
// except the flags that change what the boot reads: "parse_fstab" makes
// the boot read "/etc/fstab", which the sample lacks (0x40), and
// "new_location" makes it look for the hash list elsewhere (0x04).
const std::vector<expectation> &table()
{
    static const std::vector<expectation> rows = {
        {"/etc/tarvo/keepstone-init.stderr", ALL, 0, 0, 0},
        {"/etc/tarvo/keepstone-init.log", ALL, 0, 0, 0},
        {"/etc/tarvo/logging", ALL, 0, 0, 0},
        {"/etc/tarvo/nosigcheck", ALL, 0, 0, 0},
        {"/etc/tarvo/noconfdatacheck", ALL, 0, 0, 0},
        {"/etc/tarvo/developer-mode.bin", ALL, 0, 0, 0},
        {"/etc/tarvo/parse_fstab", ALL, 0x40, 0, 0},
        {"/etc/tarvo/new_location", ALL, 0x04, 0, 0},
        {"/etc/tarvo/reboot_counter", ALL, 0, 0, 0},
        {"/etc/tarvo/enable", NOT_INITRD, 0, 0, 0},
        {"/etc/tarvo/enforce", NOT_INITRD, 0, 0, 0},
        {"/etc/tarvo_vdata", ALL, 0x01, 0x01, 0},
        {"/etc/refhashlist", ALL, 0x04, 0x04, 0},
        {HASH_LIST_ENTRY, ALL, 0, 0, 0},
        {"/etc/init.conf", ALL, 0x20, 0x20, 0},
        {"/etc/group", ALL, 0, 0, 0},
        {"/etc/passwd", ALL, 0, 0, 0},
        {"/etc/init", ALL, 0, 0, 0},
        {"/etc/init/xsession", ALL, 0, 0, 0},
        {"/etc/init/xsession/ui-startup", ALL, 0, 0, 0},
        {"/etc/init.d", ALL, 0, 0, 0},
        {"/etc/prestart", ALL, 0, 0, 0},
        {"/etc/memnotify", ALL, 0, 0, 0},
        {"/sbin/preinit", ALL, 0, 0, 0},
        {"/var/lib/tarvo/restok/restok.conf", ALL, 0x02, 0x02, 0},
        // The store index vouches for the policy and the hash list: the
        // policy's check fails first, a cut may spoil either check.
        {"/var/lib/tarvo/ps/Gs/files.tcb", ALL, 0x02, 0x02, 0x04},
        // The index's temporary name while the local signing saves it: a
        // second process writing into it spoils the index (failed checks).
        {"/var/lib/tarvo/ps/Gs/.files.tcb~", ALL, 0, 0, 0x06},
        {"/var/lib/tarvo/dpkg-journal", ALL, 0, 0, 0},
    };
    return rows;
}


struct boot {
    int status = -1;
    bool decided = false;  // the "done (...)" line (and preinit in initrd mode)
    unsigned bits = 0;
    std::string summary, output;
    long peak_kb = 0;
};

// Where the host finds a device path: the files of "/var" are those of
// the UBIFS volume the boot mounts there.
std::string host_of(const device &d, const std::string &path)
{
    if (path == "/var" || path.compare(0, 5, "/var/") == 0)
        return d.state_dir() + "/ubi/mtd4/var" + path.substr(4);
    return d.host_path(path);
}

// The same, as a path inside the sandbox before "/var" is mounted.
std::string inside_of(const std::string &path)
{
    if (path == "/var" || path.compare(0, 5, "/var/") == 0)
        return "/.ks-sim/ubi/mtd4/var" + path.substr(4);
    return path;
}

std::string read_host(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class BootSweep : public ::testing::TestWithParam<mode> {
protected:
    static void SetUpTestSuite()
    {
        auto r = signed_sample::prepare(prepared);
        ASSERT_EQ(r.status, 0) << r.output;
        prepared->write_file("/sbin/preinit", PREINIT);
        chmod(prepared->host_path("/sbin/preinit").c_str(), 0755);
    }
    static void TearDownTestSuite() { prepared.reset(); }

    // A fresh copy of the prepared device in the mode.
    std::unique_ptr<device> fresh(mode m) const
    {
        auto d = std::make_unique<device>(prepared->root());
        EXPECT_EQ(d->run({"true"}).status, 0);
        if (m == RD_NOSIGCHECK) {
            d->write_file("/.ks-sim/soc-info", "SoC Info\t: GP");
            d->write_file("/etc/tarvo/nosigcheck", "");
        }
        return d;
    }

    static std::string boot_command(mode m)
    {
        return INIT + (m == INITRD ? " -i" : "");
    }

    // Boots the device, the shell text before run first, under the time
    // bound; the peak memory is that of the largest process of the run.
    static boot run_boot(device &d, mode m, const std::string &before = "",
                         const std::string &wrapper = "")
    {
        int p[2];
        boot b;
        if (pipe(p) != 0)
            return b;
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            close(p[0]);
            std::string script = before + "exec /usr/bin/timeout -s KILL " +
                                 std::to_string(TIME_BOUND_S) + " " + wrapper + boot_command(m);
            auto r = d.shell(script);
            struct rusage u;
            getrusage(RUSAGE_CHILDREN, &u);
            std::string out = std::to_string(r.status) + " " + std::to_string(u.ru_maxrss) + "\n" +
                              r.output;
            size_t done = 0;
            while (done < out.size()) {
                ssize_t n = write(p[1], out.data() + done, out.size() - done);
                if (n <= 0)
                    break;
                done += size_t(n);
            }
            _exit(0);
        }
        close(p[1]);
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) > 0)
            text.append(buf, size_t(n));
        close(p[0]);
        int status;
        waitpid(child, &status, 0);
        size_t eol = text.find('\n');
        std::istringstream(text.substr(0, eol)) >> b.status >> b.peak_kb;
        b.output = eol == std::string::npos ? "" : text.substr(eol + 1);
        std::string console;
        for (const std::string &c : d.run_records("console"))
            console += c;
        std::smatch mm;
        if (std::regex_search(console, mm,
                              std::regex("keepstone-init: done \\((\\d+),0x([0-9a-f]+),[^)]*\\)\n"))) {
            b.summary = mm[0];
            b.bits = unsigned(std::stoul(mm[2], nullptr, 16));
            b.decided = true;
        }
        // In initrd mode a boot that goes on executes "/sbin/preinit" (its
        // summary line is then still in the unflushed log); one that stops
        // prints the summary and does not.
        if (m == INITRD && !b.decided)
            b.decided = !d.read_file("/sweep-preinit.ran").empty();
        return b;
    }

    // The regular files and absent paths the boot touched, from its record.
    std::vector<std::string> recorded_paths(mode m)
    {
        auto d = fresh(m);
        boot b = run_boot(*d, m, "", "/usr/bin/strace -f -qq -o /sweep.strace -e trace=%file ");
        EXPECT_TRUE(b.decided) << b.output;
        std::string trace = d->read_file("/sweep.strace");
        EXPECT_FALSE(trace.empty()) << "no record of the boot (is strace installed?)";
        std::set<std::string> seen;
        std::vector<std::string> out;
        std::regex call("^\\d+ +[a-z0-9_]+\\((?:AT_FDCWD, |\\d+, )?\"(/[^\"]*)\"");
        std::istringstream in(trace);
        std::string line;
        bool entry_taken = false;
        while (std::getline(in, line)) {
            std::smatch mm;
            if (!std::regex_search(line, mm, call))
                continue;
            std::string path = mm[1];
            // Not the device's files: the simulator's state, the build and
            // source trees, the host's programs and libraries (the
            // sandbox's /bin, /lib and /usr are the host's); the kernel's and the
            // boot's own device nodes are kernel paths (checked by their
            // file-system type).
            static const char *skipped[] = {"/.ks-sim", "/bin", "/lib", "/usr/", "/etc/ld.so",
                                            "/proc/", "/sys/", "/dev/", "/sweep", KS_SOURCE_DIR,
                                            KS_BINARY_DIR};
            bool skip = false;
            for (const char *s : skipped)
                skip = skip || path.compare(0, strlen(s), s) == 0;
            while (path.size() > 1 && path.back() == '/')
                path.pop_back();
            if (skip || path.find("//") != std::string::npos)
                path = skip ? "" : std::regex_replace(path, std::regex("/+"), "/");
            if (path.empty() || seen.count(path))
                continue;
            seen.insert(path);
            struct stat st;
            // Directories on the way, and links to them such as "/bin".
            if (stat(host_of(*d, path).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                continue;
            if (path.compare(0, 5, "/opt/") == 0) {
                // The files the hash list names (the sample device's lie
                // below /opt, where nothing else is): one stands for all.
                if (entry_taken)
                    continue;
                entry_taken = true;
                hash_entry_ = path;
                out.push_back(HASH_LIST_ENTRY);
                continue;
            }
            out.push_back(path);
        }
        return out;
    }

    // Puts the odd file of the kind at the path; the shell text that a
    // shrinking file needs before the boot.
    std::string apply(device &d, const std::string &path, kind k)
    {
        const std::string host = host_of(d, path);
        const std::string original = read_host(host);
        struct stat st;
        bool existed = lstat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
        std::string cmd = "rm -rf -- '" + host + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        std::string dir = host.substr(0, host.rfind('/'));
        cmd = "mkdir -p -- '" + dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        switch (k) {
        case FIFO: EXPECT_EQ(mkfifo(host.c_str(), 0644), 0); break;
        case LINK_TO_FIFO:
            EXPECT_EQ(mkfifo(d.host_path("/sweep-fifo").c_str(), 0644), 0);
            EXPECT_EQ(symlink("/sweep-fifo", host.c_str()), 0);
            break;
        case DIRECTORY: EXPECT_EQ(mkdir(host.c_str(), 0755), 0); break;
        case LINK_TO_ZERO: EXPECT_EQ(symlink("/dev/zero", host.c_str()), 0); break;
        case SPARSE_1GIB: {
            int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            EXPECT_GE(fd, 0);
            EXPECT_EQ(write(fd, original.data(), original.size()), ssize_t(original.size()));
            EXPECT_EQ(ftruncate(fd, off_t(1) << 30), 0);
            close(fd);
            break;
        }
        case SHRINKING: {
            std::string content = existed ? original : std::string(4096, 'x');
            std::ofstream(d.host_path("/sweep-original"), std::ios::binary) << content;
            std::ofstream(host, std::ios::binary) << content;
            const std::string inside = inside_of(path);
            return "(while :; do cat /sweep-original >'" + inside + "'; : >'" + inside +
                   "'; done) >/dev/null 2>&1 & ";
        }
        case MISSING: break;
        }
        return "";
    }

    static std::unique_ptr<device> prepared;
    std::string hash_entry_;
};

std::unique_ptr<device> BootSweep::prepared;

TEST_P(BootSweep, EveryPathGivesTheDecisionInBoundedTimeAndMemory)
{
    const mode m = GetParam();
    // The sample boot itself.
    {
        auto d = fresh(m);
        boot b = run_boot(*d, m);
        ASSERT_TRUE(b.decided) << b.output;
        EXPECT_EQ(b.bits, 0u) << b.summary;
        EXPECT_LT(b.peak_kb, MEMORY_BOUND_KB);
        std::printf("%s: the sample boot peaks at %ld KiB\n", mode_name(m), b.peak_kb);
    }
    std::vector<std::string> paths = recorded_paths(m);
    ASSERT_FALSE(paths.empty());
    std::map<std::string, expectation> rows;
    for (const expectation &e : table())
        if (e.modes & (1u << m))
            rows.emplace(e.path, e);
    const bool learn = std::getenv("KS_SWEEP_LEARN") != nullptr;
    long peak = 0;
    int boots = 0;
    for (const std::string &path : paths) {
        auto row = rows.find(path);
        if (row == rows.end() && !learn) {
            ADD_FAILURE() << "the boot opens '" << path << "', which has no row in the table";
            continue;
        }
        const std::string target = path == HASH_LIST_ENTRY ? hash_entry_ : path;
        std::map<kind, unsigned> got;
        for (kind k : ALL_KINDS) {
            auto d = fresh(m);
            bool existed = ::access(host_of(*d, target).c_str(), F_OK) == 0;
            if (k == MISSING && !existed)
                continue;  // the normal boot has that case
            std::string before = apply(*d, target, k);
            boot b = run_boot(*d, m, before);
            boots++;
            peak = std::max(peak, b.peak_kb);
            SCOPED_TRACE(std::string(mode_name(m)) + ": " + kind_name(k) + " at " + target);
            EXPECT_TRUE(b.decided) << "no decision within " << TIME_BOUND_S << " s (status "
                                   << b.status << ")\n"
                                   << b.output.substr(0, 2000);
            EXPECT_LT(b.peak_kb, MEMORY_BOUND_KB) << "peak memory";
            got[k] = b.bits;
            if (learn)
                std::printf("      %s at %s: %s status %d, %ld KiB\n", kind_name(k), target.c_str(),
                            b.summary.c_str(), b.status, b.peak_kb);
            std::fflush(stdout);
            if (learn || !b.decided)
                continue;
            if (k == SHRINKING)
                EXPECT_EQ(b.bits & ~(row->second.odd | row->second.cut), 0u) << b.summary;
            else if (k == MISSING)
                EXPECT_EQ(b.bits, row->second.missing) << b.summary;
            else
                EXPECT_EQ(b.bits, row->second.odd) << b.summary;
        }
        if (learn) {
            std::printf("    {\"%s\",", path.c_str());
            for (kind k : ALL_KINDS)
                std::printf(" %s=0x%x", kind_name(k), got.count(k) ? got[k] : 0xffu);
            std::printf("},\n");
        }
    }
    for (const auto &r : rows) {
        const expectation &e = r.second;
        bool recorded = false;
        for (const std::string &p : paths)
            recorded = recorded || p == e.path;
        EXPECT_TRUE(recorded || learn) << "the row '" << e.path << "' matches no path the boot opens";
    }
    std::printf("%s: %zu paths, %d boots, peak memory %ld KiB\n", mode_name(m), paths.size(), boots,
                peak);
}

INSTANTIATE_TEST_SUITE_P(Modes, BootSweep, ::testing::Values(PRODUCTION, RD_NOSIGCHECK, INITRD),
                         [](const ::testing::TestParamInfo<mode> &i) {
                             return std::string(mode_name(i.param));
                         });

}  // namespace
