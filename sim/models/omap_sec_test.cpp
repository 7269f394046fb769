// The secure-side model, driven directly (no sandbox): framing, answers,
// faults and the transcript.
#include "sim/models/omap_sec.h"
#include "sim/models/omap_sec_crypto.h"
#include "sim/testing/state_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using ks_sim::omap_sec_model;
using ks_sim::open_file;

std::string w32(uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); }

class OmapSecModel : public ks_sim::testing::StateDirTest {
protected:
    void SetUp() override
    {
        StateDirTest::SetUp();
        if (HasFatalFailure())
            return;
        // The device node stands in the temporary directory.
        node = dir + "/omap_sec";
        std::ofstream(node).put('x');
    }

    void put(const char *file, const std::string &text)
    {
        std::ofstream(dir + "/" + file) << text;
    }
    void configure(const std::string &text) { put(ks_sim::OMAP_SEC_CONFIG, text); }
    void arm(const std::string &faults) { put("faults", faults); }

    std::vector<std::string> transcript()
    {
        std::vector<std::string> out;
        EXPECT_EQ(ks_sim::read_records(ks_sim::OMAP_SEC_TRANSCRIPT, out), 0);
        return out;
    }

    std::unique_ptr<open_file> open_device()
    {
        auto f = model.open(node, O_RDWR | O_NONBLOCK | O_NOFOLLOW, 0);
        EXPECT_NE(f, nullptr);
        return f;
    }

    // Selects the service and writes the length word and each field.
    void request(open_file &f, uint32_t service, const std::vector<std::string> &fields)
    {
        uint32_t len = 0;
        for (auto &s : fields)
            len += uint32_t(s.size());
        ASSERT_EQ(f.ioctl(ks_sim::OMAP_SEC_SELECT, reinterpret_cast<void *>(uintptr_t(service))), 0);
        ASSERT_EQ(f.write(w32(len).data(), 4), 4);
        for (auto &s : fields)
            ASSERT_EQ(f.write(s.data(), s.size()), ssize_t(s.size()));
    }

    // Everything queued, read in 64-byte pieces until EAGAIN.
    std::string response(open_file &f)
    {
        std::string out;
        char buf[64];
        ssize_t n;
        while ((n = f.read(buf, sizeof buf)) > 0)
            out.append(buf, size_t(n));
        EXPECT_EQ(n, -EAGAIN);
        return out;
    }

    std::string node;
    omap_sec_model model;
};

TEST_F(OmapSecModel, RandomRequestIsFramedAndTranscribed)
{
    configure("random_seed=7\n");
    auto f = open_device();
    request(*f, 80, {w32(5), w32(5), w32(16)});
    std::string first = ks_sim::omap_sec_random_bytes(7, 0, 5);
    EXPECT_EQ(response(*f), w32(0) + w32(ks_sim::OMAP_SEC_FILLER) + first);
    // The stream goes on where the last request stopped, also for a new
    // open of the device.
    f->close();
    f = open_device();
    request(*f, 80, {w32(3), w32(3), w32(16)});
    EXPECT_EQ(response(*f).substr(8), ks_sim::omap_sec_random_bytes(7, 5, 3));

    std::vector<std::string> expected = {
        "open rdwr nonblock nofollow", "select 80", "write 0c000000", "write 05000000",
        "write 05000000", "write 10000000"};
    auto t = transcript();
    ASSERT_GE(t.size(), expected.size() + 2);
    EXPECT_EQ(std::vector<std::string>(t.begin(), t.begin() + 6), expected);
    EXPECT_EQ(t[6], "read 64 00000000f1f1f1f1" + std::string(t[6].substr(24)));
    EXPECT_EQ(t[7], "read 64 EAGAIN");
    EXPECT_EQ(t[8], "close");
}

TEST_F(OmapSecModel, ServicesAnswerTheirConfiguration)
{
    configure("mode=2\nrdc0=0x20000000\nrdc1=7\nrdc2=0xffffffff\nid=0102030405060708\n"
              "info20=" + std::string(40, 'a') +
              "\nobject.9=c0ffee\nobject.4.length=-5\nobject.5=00\nobject.5.size=0x80000000\n");
    const uint32_t filler = ks_sim::OMAP_SEC_FILLER;
    std::string info52;
    for (int i = 0; i < 52; i++)
        info52 += char(0x77 + i);
    struct {
        uint32_t service;
        std::vector<std::string> fields;
        std::string answer;
    } cases[] = {
        {81, {}, w32(0) + w32(filler) + std::string(20, char(0xaa))},
        {84, {}, w32(0) + w32(filler) + w32(0x20000000) + w32(7) + w32(0xffffffff)},
        {85, {}, w32(2) + w32(filler)},
        {86, {}, w32(0) + w32(filler) + "\x01\x02\x03\x04\x05\x06\x07\x08"},
        {577, {}, w32(0) + w32(0) + info52},
        {579, {w32(9)}, w32(0) + w32(0) + w32(3)},
        {578, {w32(9), w32(3)}, w32(0) + w32(0) + w32(3) + "\xc0\xff\xee"},
        {579, {w32(4)}, w32(0) + w32(0) + w32(uint32_t(-5))},
        {579, {w32(1)}, w32(0) + w32(0) + w32(uint32_t(-ENOENT))},
        {578, {w32(1), w32(0)}, w32(0) + w32(ks_sim::OMAP_SEC_PA_DEFAULT_FAIL)},
        {578, {w32(5), w32(1)}, w32(0) + w32(0) + w32(0x80000000) + std::string(1, '\0')},
        {2, {std::string("me\0", 3)}, w32(0) + w32(filler)},
        {123, {}, w32(ks_sim::OMAP_SEC_ROM_NON_SUPPORTED) + w32(filler)},
        {777, {}, w32(0) + w32(ks_sim::OMAP_SEC_PA_FUNC_INDEX_FAIL)},
    };
    auto f = open_device();
    for (auto &c : cases) {
        request(*f, c.service, c.fields);
        EXPECT_EQ(response(*f), c.answer) << "service " << c.service;
    }
}

TEST_F(OmapSecModel, FramingViolationsAreAnsweredAndRecorded)
{
    const std::string rom_fail = w32(ks_sim::OMAP_SEC_ROM_FAIL) +
                                 w32(ks_sim::OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL);
    struct {
        const char *what;
        uint32_t service;
        std::vector<std::string> fields;
        std::string answer;
    } cases[] = {
        {"random fields in one write", 80, {w32(4) + w32(4) + w32(16)}, rom_fail},
        {"random third word not 16", 80, {w32(4), w32(4), w32(15)}, rom_fail},
        {"random counts differ", 80, {w32(4), w32(3), w32(16)}, rom_fail},
        {"debug control with an argument", 84, {w32(0)}, rom_fail},
        {"name without its zero", 2, {"me"}, rom_fail},
        {"object data fields in one write", 578, {w32(1) + w32(1)},
         w32(0) + w32(ks_sim::OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL)},
    };
    auto f = open_device();
    for (auto &c : cases) {
        request(*f, c.service, c.fields);
        EXPECT_EQ(response(*f), c.answer) << c.what;
        auto t = transcript();
        EXPECT_EQ(t[t.size() - 3].rfind("framing " + std::to_string(c.service) + ": ", 0), 0u)
            << c.what;
    }

    // Writing beyond the announced length, or without a selection, is
    // refused by the driver.
    ASSERT_EQ(f->ioctl(ks_sim::OMAP_SEC_SELECT, reinterpret_cast<void *>(uintptr_t(80))), 0);
    EXPECT_EQ(f->write(w32(4).data(), 4), 4);
    EXPECT_EQ(f->write((w32(1) + w32(1)).data(), 8), -EINVAL);
    EXPECT_EQ(f->ioctl(0x1234, nullptr), -ENOTTY);
    auto g = open_device();
    EXPECT_EQ(g->write(w32(0).data(), 4), -EINVAL);
}

TEST_F(OmapSecModel, LeftoverBytesSurviveANewSelection)
{
    arm("omap_sec.leftover=3\n");
    auto f = open_device();
    request(*f, 85, {});
    char buf[8];
    ASSERT_EQ(f->read(buf, 8), 8);  // ROM and filler; the leftover stays
    arm("");
    request(*f, 85, {});
    EXPECT_EQ(response(*f), "\xee\xee\xee" + w32(1) + w32(ks_sim::OMAP_SEC_FILLER));
}

TEST_F(OmapSecModel, FaultsShapeTheResponse)
{
    const uint32_t filler = ks_sim::OMAP_SEC_FILLER;
    const std::string id("\x35\x21\x43\x65\x87\x09\x21\x43", 8);
    struct {
        const char *faults;
        uint32_t service;
        std::string answer;
    } cases[] = {
        {"omap_sec.rom=5", 84, w32(5) + w32(filler)},
        {"omap_sec.rom=3", 85, w32(3) + w32(filler)},
        {"omap_sec.pa=0x18", 577, w32(0) + w32(0x18)},
        {"omap_sec.pa=0x18", 86, w32(0) + w32(filler) + id},
        {"omap_sec.no_second_word", 86, w32(0)},
        {"omap_sec.rom=5\nomap_sec.no_second_word", 84, w32(5)},
        {"omap_sec.short_response=1", 86, w32(0) + w32(filler) + id.substr(0, 7)},
        {"omap_sec.leftover=2", 86, w32(0) + w32(filler) + id + "\xee\xee"},
        {"omap_sec.rom=5\nomap_sec.service=84", 86, w32(0) + w32(filler) + id},
        {"omap_sec.rom=5\nomap_sec.service=86", 86, w32(5) + w32(filler)},
    };
    auto f = open_device();
    for (auto &c : cases) {
        arm(c.faults);
        request(*f, c.service, {});
        EXPECT_EQ(response(*f), c.answer) << c.faults << " on " << c.service;
    }
    arm("omap_sec.empty_read_zero");
    char buf[4];
    EXPECT_EQ(f->read(buf, 4), 0);
}

TEST_F(OmapSecModel, SelectionAndWriteFaults)
{
    auto f = open_device();
    void *svc = reinterpret_cast<void *>(uintptr_t(80));
    arm("omap_sec.select=5");
    EXPECT_EQ(f->ioctl(ks_sim::OMAP_SEC_SELECT, svc), -5);
    arm("omap_sec.select_result=7");
    EXPECT_EQ(f->ioctl(ks_sim::OMAP_SEC_SELECT, svc), 7);
    arm("omap_sec.short_write=2");
    EXPECT_EQ(f->ioctl(ks_sim::OMAP_SEC_SELECT, svc), 0);
    EXPECT_EQ(f->write(w32(12).data(), 4), 4);
    EXPECT_EQ(f->write(w32(1).data(), 4), 3);
    auto t = transcript();
    std::vector<std::string> tail(t.end() - 5, t.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"select 80 = -5", "select 80 = 7", "select 80",
                                              "write 0c000000", "write 01000000 = 3"}));
}

TEST_F(OmapSecModel, OpenRefusesLinksAndInjectedFailures)
{
    std::string target = node, link = dir + "/link", dangling = dir + "/dangling";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink((dir + "/none").c_str(), dangling.c_str()), 0);
    const int nofollow = O_RDWR | O_NONBLOCK | O_NOFOLLOW, follow = O_RDWR | O_NONBLOCK;
    struct {
        std::string path;
        int flags;
        const char *faults;
        int err;  // 0: opens
    } cases[] = {
        {link, nofollow, "", ELOOP},
        {link, follow, "", 0},
        {dangling, follow, "", ENOENT},
        {target, nofollow, "", 0},
        {dir + "/none", nofollow, "", ENOENT},
        {target, nofollow, "omap_sec.open=2", ENOENT},
        {target, follow, "omap_sec.open=13", EACCES},
        {target, nofollow, "omap_sec.open_nofollow=16", EBUSY},
        {target, follow, "omap_sec.open_nofollow=16", 0},
    };
    for (auto &c : cases) {
        arm(c.faults);
        errno = 0;
        auto f = model.open(c.path, c.flags, 0);
        EXPECT_EQ(f == nullptr, c.err != 0) << c.path << " " << c.faults;
        if (c.err) {
            EXPECT_EQ(errno, c.err) << c.path << " " << c.faults;
        }
    }
    EXPECT_EQ(transcript(), (std::vector<std::string>{
                                "open rdwr nonblock nofollow = -40", "open rdwr nonblock",
                                "open rdwr nonblock = -2", "open rdwr nonblock nofollow",
                                "open rdwr nonblock nofollow = -2",
                                "open rdwr nonblock nofollow = -2", "open rdwr nonblock = -13",
                                "open rdwr nonblock nofollow = -16", "open rdwr nonblock"}));
    EXPECT_TRUE(model.serves("/dev/omap_sec"));
    EXPECT_FALSE(model.serves("/dev/omap_sec2"));
}

}  // namespace

namespace {

TEST_F(OmapSecModel, ToolCommandConfiguresAndShows)
{
    ks_sim::command_fn cmd = nullptr;
    for (auto &c : ks_sim::commands())
        if (std::string(c.name) == "omap_sec")
            cmd = c.fn;
    ASSERT_NE(cmd, nullptr);
    configure("mode=1\nrdc0=5\n");
    FILE *out = tmpfile();
    EXPECT_EQ(cmd({"mode=2", "rdc0=", "id=0011223344556677"}, out), 0);
    EXPECT_EQ(cmd({"nonsense"}, out), 2);
    std::string text;
    ASSERT_EQ(ks_sim::read_state(ks_sim::OMAP_SEC_CONFIG, text), 0);
    EXPECT_EQ(text, "id=0011223344556677\nmode=2\n");

    auto f = open_device();
    request(*f, 85, {});
    rewind(out);
    ASSERT_EQ(ftruncate(fileno(out), 0), 0);
    EXPECT_EQ(cmd({}, out), 0);
    fflush(out);
    rewind(out);
    char buf[512] = {0};
    size_t n = fread(buf, 1, sizeof buf - 1, out);
    fclose(out);
    EXPECT_EQ(std::string(buf, n),
              "id=0011223344556677\nmode=2\n  open rdwr nonblock nofollow\n  select 85\n"
              "  write 00000000\n");
}

TEST(OmapSecCrypto, Sha1AndHmacAgreeWithTheCryptographyLibrary)
{
    for (size_t n : {0, 1, 55, 56, 63, 64, 65, 1000}) {
        std::string data;
        for (size_t i = 0; i < n; i++)
            data += char(i * 7 + 3);
        unsigned char md[20];
        unsigned int len = 0;
        ASSERT_EQ(EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr), 1);
        EXPECT_EQ(ks_sim::omap_sec_sha1(data), std::string(reinterpret_cast<char *>(md), 20)) << n;
        for (size_t k : {0, 16, 64, 100}) {
            std::string key(k, char(0x5a + k));
            ASSERT_NE(HMAC(EVP_sha1(), key.data(), int(key.size()),
                           reinterpret_cast<const unsigned char *>(data.data()), data.size(), md,
                           &len),
                      nullptr);
            EXPECT_EQ(ks_sim::omap_sec_hmac_sha1(key, data),
                      std::string(reinterpret_cast<char *>(md), 20))
                << n << " " << k;
        }
    }
}

TEST(OmapSecCrypto, SealedFormsOpenOnlyUnderTheirKeyAndId)
{
    std::string key(16, 'k'), nonce(16, 'n'), data = "seventeen bytes!!";
    std::string sealed = ks_sim::omap_sec_seal(key, "tcb", nonce, data);
    ASSERT_EQ(sealed.size(), 16u + 32u + 16u);
    std::string plain;
    uint32_t length = 0;
    ASSERT_TRUE(ks_sim::omap_sec_open_sealed(key, "tcb", sealed, plain, &length));
    EXPECT_EQ(length, 17u);
    EXPECT_EQ(plain, data + std::string(15, '\0'));
    EXPECT_FALSE(ks_sim::omap_sec_open_sealed(key, "tcb2", sealed, plain, &length));
    EXPECT_FALSE(ks_sim::omap_sec_open_sealed(std::string(16, 'j'), "tcb", sealed, plain, &length));
    for (size_t i : {size_t(0), size_t(20), sealed.size() - 5, sealed.size() - 1}) {
        std::string changed = sealed;
        changed[i] = char(changed[i] ^ 0x40);
        EXPECT_FALSE(ks_sim::omap_sec_open_sealed(key, "tcb", changed, plain, &length)) << i;
    }
    EXPECT_FALSE(ks_sim::omap_sec_open_sealed(key, "tcb", sealed.substr(0, 48), plain, &length));
}

// The fields of a file-protection request: id, optional name, the lengths,
// the inputs.
std::vector<std::string> fprot_fields(const std::string &id, const char *name,
                                      const std::string &in1, const std::string &in2,
                                      uint32_t out_len)
{
    std::vector<std::string> f = {w32(uint32_t(id.size() + 1)), id + '\0'};
    if (name) {
        f.push_back(w32(uint32_t(strlen(name) + 1)));
        f.push_back(std::string(name) + '\0');
    }
    f.push_back(w32(uint32_t(in1.size() + in2.size())));
    if (!in2.empty())
        f.push_back(w32(uint32_t(in2.size())));
    f.push_back(w32(out_len));
    if (!in1.empty())
        f.push_back(in1);
    if (!in2.empty())
        f.push_back(in2);
    return f;
}

TEST_F(OmapSecModel, DeviceKeyOutlivesTheBoot)
{
    // No key configured: one is made at the first MAC and kept with the
    // device.
    auto f = open_device();
    request(*f, 899, fprot_fields("tcb", nullptr, "settings", "", 20));
    std::string answer = response(*f);
    ASSERT_EQ(answer.size(), 8u + 20u + 4u);
    EXPECT_EQ(answer.substr(0, 8), w32(0) + w32(0));
    EXPECT_EQ(answer.substr(28), w32(20));
    std::string mac = answer.substr(8, 20);
    std::string key_text;
    ASSERT_EQ(ks_sim::read_state(ks_sim::OMAP_SEC_KEY, key_text), 0);
    EXPECT_EQ(key_text.size(), 65u);
    struct stat st;
    ASSERT_EQ(stat((dir + "/" + ks_sim::OMAP_SEC_KEY).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The next boot (the run directory emptied) checks it under the name.
    f->close();
    std::string cmd = "rm -rf '" + dir + "/run'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    f = open_device();
    request(*f, 900, fprot_fields("someone", "tcb", "settings", mac, 4));
    EXPECT_EQ(response(*f), w32(0) + w32(0) + w32(1) + w32(0));

    // Another device's key does not.
    put(ks_sim::OMAP_SEC_KEY, std::string(64, '7') + "\n");
    request(*f, 900, fprot_fields("someone", "tcb", "settings", mac, 4));
    EXPECT_EQ(response(*f), w32(0) + w32(0) + w32(3) + w32(0));
    // A key file left open to others is closed to them at its next use.
    ASSERT_EQ(stat((dir + "/" + ks_sim::OMAP_SEC_KEY).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The node's owner and mode decide who may open the device: a process of
// another user opens it only where the mode lets others in, for the
// access it asks for.
TEST_F(OmapSecModel, OpenHonoursTheNodesOwnerAndMode)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a process of another user";
    // Others may reach the node; only its own mode then decides.
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const struct {
        mode_t mode;
        int flags;
        bool as_other;
        int expected;  // errno, 0 for an open that succeeds
    } cases[] = {
        {0600, O_RDWR, false, 0},
        {0600, O_RDWR, true, EACCES},
        {0600, O_RDONLY, true, EACCES},
        {0644, O_RDONLY, true, 0},
        {0644, O_RDWR, true, EACCES},
        {0666, O_RDWR, true, 0},
        {0000, O_RDWR, false, 0},  // root's own rights pass any mode
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + (c.as_other ? " other" : " root"));
        ASSERT_EQ(chmod(node.c_str(), c.mode), 0);
        fflush(nullptr);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (c.as_other && (setresgid(65534, 65534, 65534) != 0 ||
                               setresuid(65534, 65534, 65534) != 0))
                _exit(100);
            errno = 0;
            auto f = model.open(node, c.flags | O_NONBLOCK | O_NOFOLLOW, 0);
            _exit(f ? 0 : errno);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.expected);
    }
}

TEST_F(OmapSecModel, FileProtectionLayoutIsChecked)
{
    configure("device_key=00112233445566778899aabbccddeeff\n");
    auto f = open_device();
    const uint32_t params = ks_sim::OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL;
    const uint32_t results = ks_sim::OMAP_SEC_PA_RESULTS_LENGTH_FAIL;
    auto good = fprot_fields("id", nullptr, std::string(16, 'd'), "", 48);
    auto glued = good;  // the total and output lengths in one write
    glued[2] += glued[3];
    glued.erase(glued.begin() + 3);
    auto unterminated = good;
    unterminated[1] = "id!";
    struct {
        const char *what;
        uint32_t service;
        std::vector<std::string> fields;
        uint32_t pa;
    } cases[] = {
        {"encrypt", 896, good, 0},
        {"fields glued together", 896, glued, params},
        {"id without its zero", 896, unterminated, params},
        {"encrypt expecting too little", 896, fprot_fields("id", nullptr, "abc", "", 32), results},
        {"MAC expecting 16", 899, fprot_fields("id", nullptr, "abc", "", 16), results},
        {"check expecting 20", 900, fprot_fields("id", "n", "abc", std::string(20, 'm'), 20),
         results},
        {"decrypt of the wrong size", 898, fprot_fields("id", nullptr, std::string(40, 'x'), "", 8),
         results},
        {"decrypt of garbage", 898, fprot_fields("id", nullptr, std::string(48, 'x'), "", 16),
         ks_sim::OMAP_SEC_PA_DECRYPT_FAIL},
    };
    for (auto &c : cases) {
        request(*f, c.service, c.fields);
        std::string answer = response(*f);
        ASSERT_GE(answer.size(), 8u) << c.what;
        EXPECT_EQ(answer.substr(0, 8), w32(0) + w32(c.pa)) << c.what;
        if (c.pa) {
            EXPECT_EQ(answer.size(), 8u) << c.what;
        }
    }
}

TEST_F(OmapSecModel, ObjectStoreAndImports)
{
    auto f = open_device();
    auto name = [](const char *n) {
        std::string field(16, '\0');
        field.replace(0, strlen(n), n);
        return field;
    };
    const uint32_t filler = ks_sim::OMAP_SEC_FILLER;
    std::string cert = "certificate bytes";
    request(*f, 3, {w32(uint32_t(cert.size())), name("CCC"), cert});
    EXPECT_EQ(response(*f), w32(0) + w32(filler) + w32(1));
    request(*f, 3, {w32(4), name("NPC")});  // room without data
    EXPECT_EQ(response(*f), w32(0) + w32(filler) + w32(2));

    // Software certificates: one signed with the manufacturer's key, the
    // same changed in one entry byte, and one signed with another key.
    std::string sw = std::string(1116, 's') + std::string(32, 'e');
    ASSERT_EQ(ks_sim_sign_sw_cert(reinterpret_cast<uint8_t *>(&sw[0]), uint32_t(sw.size())), 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/" + ks_sim::OMAP_SEC_MANUFACTURER_KEY).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string sw_changed = sw;
    sw_changed[1116 + 12] = 'f';
    std::string sw_other = sw;
    std::string other_mac = ks_sim::omap_sec_sw_cert_mac(std::string(32, 'k'), sw);
    sw_other.replace(ks_sim::OMAP_SEC_SW_CERT_MAC_AT, 20, other_mac);
    struct {
        const char *what;
        uint32_t service;
        std::vector<std::string> fields;
        std::string answer;
    } cases[] = {
        {"read by handle and name", 4, {w32(1), name("CCC")},
         w32(0) + w32(filler) + w32(uint32_t(cert.size())) + cert},
        {"read by handle alone", 4, {w32(2), name("")}, w32(0) + w32(filler) + w32(4) + w32(0)},
        {"read under another name", 4, {w32(1), name("NPC")}, w32(0x0A) + w32(filler)},
        {"import CCC", 576, {w32(1)}, w32(0) + w32(0)},
        {"import CCC as NPC", 496, {w32(1)}, w32(0) + w32(ks_sim::OMAP_SEC_PA_CERTIFICATE_TYPE_FAIL)},
        {"import of no object", 580, {w32(9)},
         w32(0) + w32(ks_sim::OMAP_SEC_PA_CERTIFICATE_MISSING_FAIL)},
        {"release", 5, {w32(1), name("CCC")}, w32(0) + w32(filler)},
        {"read after release", 4, {w32(1), name("")}, w32(0x0A) + w32(filler)},
        {"software certificate without a signature", 83, {w32(3), "abc", w32(0)},
         w32(0x0A) + w32(filler)},
        {"signed software certificate", 83, {w32(uint32_t(sw.size())), sw, w32(0)},
         w32(0) + w32(filler)},
        {"signed software certificate, one entry byte changed", 83,
         {w32(uint32_t(sw.size())), sw_changed, w32(0)}, w32(0x0A) + w32(filler)},
        {"signed by another manufacturer", 83, {w32(uint32_t(sw.size())), sw_other, w32(0)},
         w32(0x0A) + w32(filler)},
        {"software certificate without its 0", 83, {w32(3), "abc", w32(1)},
         w32(0x0A) + w32(ks_sim::OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL)},
    };
    for (auto &c : cases) {
        request(*f, c.service, c.fields);
        EXPECT_EQ(response(*f), c.answer) << c.what;
    }
    std::vector<std::string> imports;
    ASSERT_EQ(ks_sim::read_records(ks_sim::run_path(ks_sim::OMAP_SEC_IMPORTS), imports), 0);
    std::string sha_cert = ks_sim::omap_sec_sha1(cert), sha_sw = ks_sim::omap_sec_sha1(sw);
    auto hexs = [](const std::string &b) {
        char buf[3];
        std::string s;
        for (unsigned char c : b) {
            snprintf(buf, sizeof buf, "%02x", c);
            s += buf;
        }
        return s;
    };
    EXPECT_EQ(imports, (std::vector<std::string>{"CCC 1 17 " + hexs(sha_cert),
                                                 "SW 1148 " + hexs(sha_sw)}));
}

}  // namespace
