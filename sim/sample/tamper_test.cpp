// Tampering with the signed sample device: every signed input of the boot
// is changed in the ways an attacker with the device's files in hand would
// change it, on a fresh copy of the device each time, and the boot must
// either enter the malfunction state with the reason bit of that input or
// refuse the input (the optional developer-mode settings and dpkg journal).
//
// The device is made once the way the demo makes it, with developer-mode
// settings and a dpkg journal in addition, by make_sample_device; a second
// device of its own key supplies validly signed inputs of another device.
#include "sim/models/omap_sec_sw_cert.h"
#include "sim/testing/sandbox.h"
#include "support/test_process.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ks_sim::testing::device;
using ks_sim::testing::run_options;

const std::string INIT = KS_INIT_PATH;
const std::string PREPARE = KS_PREPARE_PATH;
const std::string FORGE = KS_FORGE_PATH;
const std::string IMAGE = KS_SAMPLE_IMAGE;

const std::string VDATA = "/etc/tarvo_vdata";
const std::string POLICY = "/var/lib/tarvo/restok/restok.conf";
const std::string HASHLIST = "/etc/refhashlist";
const std::string INDEX = "/var/lib/tarvo/ps/Gs/files.tcb";
const std::string DEVELOPER = "/etc/tarvo/developer-mode.bin";
const std::string JOURNAL = "/var/lib/tarvo/dpkg-journal";
const std::string JOURNALED = "/opt/new/tool";  // the file the journal vouches for
const std::string ORIGIN = "org.example.sample";

// Where a device path lies in the device root: "/var" is the UBIFS volume.
std::string host_path(const std::string &root, const std::string &path)
{
    if (path.compare(0, 5, "/var/") == 0)
        return root + "/.ks-sim/ubi/mtd4" + path;
    return root + path;
}

std::string read_host(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_host(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good()) << path;
}

std::string sha1_hex(const std::string &data)
{
    unsigned char d[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char *>(data.data()), data.size(), d);
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// The device as the demo prepares it, plus developer settings and a journal.
void prepare(const device &d)
{
    d.write_file(JOURNALED, "installed by the package wrapper\n");
    auto r = d.run({PREPARE, "--list", "/etc/group", "--list", "/etc/passwd", "--sign", HASHLIST,
                    "--sign", POLICY, "--developer", ORIGIN, "--journal", JOURNALED},
                   run_options{false, true});
    ASSERT_EQ(r.status, 0) << r.output;
}

// The two prepared devices, made once for every case.
struct devices {
    device sample{IMAGE};
    device other{IMAGE};
};
devices *prepared = nullptr;

class Tamper : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        prepared = new devices;
        prepare(prepared->sample);
        prepare(prepared->other);
    }
    static void TearDownTestSuite()
    {
        delete prepared;
        prepared = nullptr;
    }
};

// A fresh copy of a prepared device, never booted.
void copy_device(const device &from, const device &to)
{
    std::string command = "cp -a -- '" + from.root() + "/.' '" + to.root() + "/'";
    ASSERT_EQ(system(command.c_str()), 0);
}

struct boot_result {
    std::string trace;
    size_t hash_records = 0;
};

boot_result boot(const device &d)
{
    boot_result b;
    d.run({INIT, "/"});
    b.trace = d.read_file("/etc/tarvo/keepstone-init.log");
    b.hash_records = ks_sim::keepstone_writes(d.kernel_log(), "hashlist").size();
    return b;
}

// What an input's change must lead to.
enum class verdict { malfunction, refused_developer, refused_journal };

struct input {
    std::string path;
    verdict expected;
    unsigned bit;                 // malfunction reason bit
    std::string replacement;      // a validly signed file of the same device
    bool from_other_device;       // the replacement is the other device's copy
};

const input INPUTS[] = {
    {VDATA, verdict::malfunction, 0x01, HASHLIST, false},
    {POLICY, verdict::malfunction, 0x02, HASHLIST, false},
    {HASHLIST, verdict::malfunction, 0x04, POLICY, false},
    // The store lists nothing then: the policy falls back to the vdata
    // file, which does not list it.
    {INDEX, verdict::malfunction, 0x02, INDEX, true},
    {DEVELOPER, verdict::refused_developer, 0, DEVELOPER, true},
    {JOURNAL, verdict::refused_journal, 0, JOURNAL, true},
};

std::string flip(std::string s, size_t at)
{
    s[at] = char(s[at] ^ 0x01);
    return s;
}

// One way of changing an input, applied to the device root.
struct change {
    const char *what;
    void (*apply)(const std::string &root, const input &in);
};

// Where the k-th of the spread flips lands (k = 1, 2): a third and two
// thirds into the file. In a store index the flips go into what its
// signature covers, a member's digest and the signature itself: the
// members' metadata lie outside the signature by design.
size_t spread_offset(const input &in, const std::string &s, int k)
{
    if (in.path == INDEX) {
        size_t at = k == 1 ? s.find("hash=\"") + 8 : s.find("<signature>") + 14;
        if (at < s.size())
            return at;
        ADD_FAILURE() << "no signed field in the index";
    }
    return (s.size() - 1) * size_t(k) / 3;
}

void flip_at(const std::string &root, const input &in, int k)
{
    std::string path = host_path(root, in.path);
    std::string s = read_host(path);
    ASSERT_FALSE(s.empty()) << in.path;
    size_t at = k == 0 ? 0 : k == 3 ? s.size() - 1 : spread_offset(in, s, k);
    write_host(path, flip(s, at));
}

void truncate_to(const std::string &root, const input &in, double keep)
{
    std::string path = host_path(root, in.path);
    std::string s = read_host(path);
    write_host(path, s.substr(0, size_t(double(s.size()) * keep)));
}

const change CHANGES[] = {
    {"first byte flipped", [](const std::string &r, const input &in) { flip_at(r, in, 0); }},
    {"byte at a third flipped", [](const std::string &r, const input &in) { flip_at(r, in, 1); }},
    {"byte at two thirds flipped", [](const std::string &r, const input &in) { flip_at(r, in, 2); }},
    {"last byte flipped", [](const std::string &r, const input &in) { flip_at(r, in, 3); }},
    {"last two bytes cut",
     [](const std::string &r, const input &in) {
         std::string path = host_path(r, in.path);
         std::string s = read_host(path);
         write_host(path, s.substr(0, s.size() - 2));
     }},
    {"cut to half", [](const std::string &r, const input &in) { truncate_to(r, in, 0.5); }},
    {"cut to nothing", [](const std::string &r, const input &in) { truncate_to(r, in, 0); }},
    {"bytes appended",
     [](const std::string &r, const input &in) {
         std::string path = host_path(r, in.path);
         write_host(path, read_host(path) + "\nR 11 opt/planted\n");
     }},
    {"replaced by another validly signed file",
     [](const std::string &r, const input &in) {
         std::string from = host_path(in.from_other_device ? prepared->other.root() : r,
                                      in.replacement);
         write_host(host_path(r, in.path), read_host(from));
     }},
    {"deleted",
     [](const std::string &r, const input &in) {
         ASSERT_EQ(unlink(host_path(r, in.path).c_str()), 0) << in.path;
     }},
    {"a symbolic link to a changed copy",
     [](const std::string &r, const input &in) {
         std::string path = host_path(r, in.path);
         std::string s = read_host(path);
         write_host(path + ".changed", flip(s, spread_offset(in, s, 1)));
         ASSERT_EQ(unlink(path.c_str()), 0);
         ASSERT_EQ(symlink((in.path + ".changed").c_str(), path.c_str()), 0);
     }},
};

const char UNTOUCHED_SUMMARY[] = "done (0,0x0,0x1e7,0x7)\n";

void expect_verdict(const input &in, const boot_result &b)
{
    switch (in.expected) {
    case verdict::malfunction: {
        char summary[64];
        snprintf(summary, sizeof summary, "done (0,0x%x,0x1c7,0x7)\n", in.bit);
        EXPECT_TRUE(has(b.trace, "Going to MALF " + std::to_string(in.bit) + "\n")) << b.trace;
        EXPECT_TRUE(has(b.trace, summary)) << b.trace;
        // Nothing more was trusted once the input failed.
        EXPECT_EQ(b.hash_records, 0u);
        break;
    }
    case verdict::refused_developer:
        EXPECT_TRUE(has(b.trace, "Developer mode disabled (")) << b.trace;
        EXPECT_FALSE(has(b.trace, "- Developer origin:")) << b.trace;
        EXPECT_TRUE(has(b.trace, "done (0,0x0,0x147,0x7)\n")) << b.trace;
        break;
    case verdict::refused_journal:
        EXPECT_FALSE(has(b.trace, "Journal processed\n")) << b.trace;
        EXPECT_TRUE(has(b.trace, UNTOUCHED_SUMMARY)) << b.trace;
        break;
    }
}

TEST_F(Tamper, TheUntouchedDeviceTakesEveryInput)
{
    device d;
    copy_device(prepared->sample, d);
    boot_result b = boot(d);
    EXPECT_TRUE(has(b.trace, "- Developer origin: " + ORIGIN + "\n")) << b.trace;
    EXPECT_TRUE(has(b.trace, "Recovery journal hashes loaded.\n")) << b.trace;
    EXPECT_TRUE(has(b.trace, UNTOUCHED_SUMMARY)) << b.trace;
    EXPECT_GT(b.hash_records, 0u);
}

// A boot of one changed copy, run in a child process that hands its result
// back through a pipe. The boots run side by side as processes that the
// main thread alone starts: under qemu-arm a fork made while other threads
// of the process run can deadlock the emulator's child.
struct boot_job {
    pid_t pid = -1;
    int fd = -1;
};

boot_job start_boot(const input &in, const change &how)
{
    boot_job job;
    int p[2];
    if (pipe(p) != 0)
        return job;
    fflush(nullptr);
    job.pid = test_fork();
    if (job.pid == 0) {
        close(p[0]);
        boot_result b;
        {
            device d;
            copy_device(prepared->sample, d);
            how.apply(d.root(), in);
            b = boot(d);
        }
        uint64_t records = b.hash_records;
        std::string out(reinterpret_cast<const char *>(&records), sizeof records);
        out += b.trace;
        for (size_t done = 0; done < out.size();) {
            ssize_t n = write(p[1], out.data() + done, out.size() - done);
            if (n <= 0)
                _exit(1);
            done += size_t(n);
        }
        _exit(0);
    }
    close(p[1]);
    job.fd = p[0];
    if (job.pid < 0) {
        close(job.fd);
        job.fd = -1;
    }
    return job;
}

boot_result finish_boot(const boot_job &job)
{
    boot_result b;
    if (job.pid < 0)
        return b;
    std::string all;
    char buf[4096];
    for (;;) {
        ssize_t n = read(job.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        all.append(buf, size_t(n));
    }
    close(job.fd);
    int status = 0;
    while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
    }
    uint64_t records = 0;
    if (all.size() >= sizeof records) {
        memcpy(&records, all.data(), sizeof records);
        b.hash_records = size_t(records);
        b.trace = all.substr(sizeof records);
    }
    return b;
}

// Every input with every change: a few boots at a time, each on its own copy.
TEST_F(Tamper, EveryChangeOfASignedInputIsCaught)
{
    struct job {
        const input *in;
        const change *how;
        boot_job running;
    };
    std::vector<job> jobs;
    for (const input &in : INPUTS)
        for (const change &how : CHANGES)
            jobs.push_back({&in, &how, {}});
    const size_t parallel = 6;
    for (size_t first = 0; first < jobs.size(); first += parallel) {
        size_t last = std::min(jobs.size(), first + parallel);
        for (size_t i = first; i < last; i++)
            jobs[i].running = start_boot(*jobs[i].in, *jobs[i].how);
        for (size_t i = first; i < last; i++) {
            SCOPED_TRACE(jobs[i].in->path + ": " + jobs[i].how->what);
            if (jobs[i].running.pid < 0)
                ADD_FAILURE() << "the boot's child could not be started";
            else
                expect_verdict(*jobs[i].in, finish_boot(jobs[i].running));
        }
    }
}

// Offsets of the data of every copy of a configuration-area block.
std::vector<size_t> block_data_offsets(const std::string &flash, const std::string &name)
{
    std::vector<size_t> at;
    std::string field = name + std::string(16 - name.size(), '\0');
    for (size_t p = flash.find(field); p != std::string::npos; p = flash.find(field, p + 1))
        if (p >= 8 && flash.compare(p - 8, 4, "ConF") == 0)
            at.push_back(p - 8 + 36);
    return at;
}

// What both attacks plant offline: the store index removed, a package
// added to the policy, a planted file with its record added to the hash
// list, and a vdata file listing the changed policy and hash list. The
// vdata file's text.
std::string plant_forged_files(const std::string &root)
{
    EXPECT_EQ(unlink(host_path(root, INDEX).c_str()), 0);
    std::string policy = read_host(host_path(root, POLICY)) +
                         "\nPackage: intruder\nProvide: everything\n";
    write_host(host_path(root, POLICY), policy);
    const std::string planted = "planted by the attacker\n";
    write_host(host_path(root, "/opt/planted"), planted);
    std::string hashlist = read_host(host_path(root, HASHLIST)) + "R 11 opt/planted\n" +
                           "X 0 A 0 0 0 H 40 " + sha1_hex(planted) + "\n";
    write_host(host_path(root, HASHLIST), hashlist);
    std::string list = sha1_hex(policy) + "  " + POLICY + "\n" + sha1_hex(hashlist) + "  " +
                       HASHLIST + "\n";
    write_host(host_path(root, VDATA), list);
    return list;
}

// The attack on a vdata file that would vouch for itself: no store index,
// a vdata file that lists a changed policy and a changed hash list, and a
// software certificate that cannot be read.
TEST_F(Tamper, AForgedVdataFileDoesNotVouchForItself)
{
    device d;
    copy_device(prepared->sample, d);
    const std::string &root = d.root();
    plant_forged_files(root);
    std::string flash_path = root + "/.ks-sim/mtd/mtd1.img";
    std::string flash = read_host(flash_path);
    std::vector<size_t> copies = block_data_offsets(flash, "cert-sw");
    ASSERT_FALSE(copies.empty());
    for (size_t at : copies)
        flash = flip(flash, at + 980);
    write_host(flash_path, flash);

    boot_result b = boot(d);
    EXPECT_TRUE(has(b.trace, VDATA + " verification failed (no sw cert)\n")) << b.trace;
    EXPECT_TRUE(has(b.trace, "done (0,0x1,0x1c7,0x7)\n")) << b.trace;
    // The decision came at once: neither the changed policy nor the
    // planted file's record reached the kernel.
    EXPECT_FALSE(has(b.trace, "load_security_policy start.\n")) << b.trace;
    EXPECT_EQ(b.hash_records, 0u);
}

// The same attack by an attacker who writes a software certificate of his
// own: no store index, a changed policy and hash list, a vdata file listing
// them, and a "cert-sw" block with a valid CRC written with the
// configuration-area library alone (no manufacturer key, no import). A
// certificate the secure side does not accept vouches for nothing.
TEST_F(Tamper, AForgedSoftwareCertificateIsNotBelieved)
{
    enum class forged { forged_list_digest, no_entries, signed_entry_changed };
    const struct {
        const char *what;
        forged kind;
    } cases[] = {
        {"an entry naming the forged list's digest", forged::forged_list_digest},
        {"no entries at all", forged::no_entries},
        {"the signed certificate with one entry byte changed", forged::signed_entry_changed},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        device d;
        copy_device(prepared->sample, d);
        const std::string &root = d.root();
        const std::string list = plant_forged_files(root);

        std::string cert;
        if (c.kind == forged::signed_entry_changed) {
            // The device's own certificate, as the factory signed it.
            std::string flash = read_host(root + "/.ks-sim/mtd/mtd1.img");
            std::vector<size_t> copies = block_data_offsets(flash, "cert-sw");
            ASSERT_FALSE(copies.empty());
            cert = flash.substr(copies.back(), 1116 + 32);
            ASSERT_EQ(cert.compare(1116, 5, "vdata"), 0);
            cert = flip(cert, 1116 + 12);
        } else {
            // Built as the factory builds one, but never signed: the
            // attacker has no manufacturer key.
            std::vector<ks_sim::sw_cert_entry> entries;
            if (c.kind == forged::forged_list_digest) {
                ks_sim::sw_cert_entry vdata{"vdata", {}};
                SHA1(reinterpret_cast<const unsigned char *>(list.data()), list.size(), vdata.sha1);
                entries.push_back(vdata);
            }
            cert = ks_sim::sw_cert_build(entries);
        }
        d.write_file("/forged-cert", cert);
        auto w = d.run({FORGE, "cert-sw", "/forged-cert"}, run_options{false, true});
        ASSERT_EQ(w.status, 0) << w.output;

        boot_result b = boot(d);
        EXPECT_TRUE(has(b.trace, "SW certificate refused (")) << b.trace;
        EXPECT_TRUE(has(b.trace, VDATA + " verification failed (no sw cert)\n")) << b.trace;
        EXPECT_TRUE(has(b.trace, "done (0,0x1,0x1c7,0x7)\n")) << b.trace;
        EXPECT_FALSE(has(b.trace, "load_security_policy start.\n")) << b.trace;
        EXPECT_EQ(b.hash_records, 0u);
    }
}

}  // namespace
