// The secure-side model, driven directly (no sandbox): framing, answers,
// faults and the transcript.
#include "sim/models/omap_sec.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
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

class OmapSecModel : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/omap_sec_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("KS_SIM_STATE", dir.c_str(), 1);
        // The device node stands in the temporary directory.
        node = dir + "/omap_sec";
        std::ofstream(node).put('x');
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
        unsetenv("KS_SIM_STATE");
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

    std::string dir, node;
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

}  // namespace
