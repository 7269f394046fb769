// The boot's hardware steps on the simulated device (runs in the sandbox):
// the secure side behind "/dev/omap_sec", "/proc/cpuinfo" with its
// "SoC Info" line and the recorded writes to "/dev/urandom".
#include "init/hardware_startup.h"

#include "init/log.h"
#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/mtd.h"
#include "sim/models/omap_sec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

class HardwareStartup : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_to_stderr(0);
        set(ks_sim::OMAP_SEC_CONFIG, "");
        set("faults", "");
        set(ks_sim::OMAP_SEC_TRANSCRIPT, "");
        set(ks_sim::run_path("urandom"), "");
        ASSERT_EQ(kz4_open(nullptr), 0);
    }
    void TearDown() override
    {
        kz4_close();
        set("faults", "");
        set(ks_sim::OMAP_SEC_CONFIG, "");
        ks_sim::write_state("soc-info", "SoC Info\t: OMAP3430 ES3.1 hs");
    }
    static void set(const std::string &file, const std::string &text)
    {
        ASSERT_EQ(ks_sim::write_state(file, text), 0) << file;
    }
    // The "SoC Info" part of cpuinfo: whole lines, the last one without
    // its newline.
    static void soc_info(const std::string &lines) { set("soc-info", lines); }

    // Runs a step with its traces captured.
    template <class F>
    static std::string traced(F step)
    {
        testing::internal::CaptureStderr();
        step();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(HardwareStartup, OpenAndCloseTraces)
{
    kz4_close();
    int r = 1;
    EXPECT_EQ(traced([&] { r = platsec_open(); }), "platsec_open...\n");
    EXPECT_EQ(r, 0);
    EXPECT_EQ(traced([&] { r = platsec_close(); }), "");
    EXPECT_EQ(r, 0);

    set("faults", "omap_sec.open=2");
    EXPECT_EQ(traced([&] { r = platsec_open(); }), "platsec_open...\nKZ4 open failed -1\n");
    EXPECT_EQ(r, -1);
}

TEST_F(HardwareStartup, SeedDeliversTheHardwareBytes)
{
    int r = 1;
    EXPECT_EQ(traced([&] { r = seed_prng(); }), "");
    ASSERT_EQ(r, 0);
    // The bytes the device handed out, from its transcript.
    strings calls;
    ASSERT_EQ(ks_sim::read_records(ks_sim::OMAP_SEC_TRANSCRIPT, calls), 0);
    std::string given;
    for (auto &c : calls)
        if (c.rfind("read 512 ", 0) == 0)
            given = c.substr(9);
    ASSERT_EQ(given.size(), 1024u);
    strings writes;
    ASSERT_EQ(ks_sim::read_records(ks_sim::run_path("urandom"), writes), 0);
    std::string written;
    for (auto &w : writes)
        written += w;
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : written)
        hex += std::string{digits[c >> 4], digits[c & 15]};
    EXPECT_EQ(hex, given);
}

TEST_F(HardwareStartup, SeedFailures)
{
    struct {
        const char *faults;
        int result;
        const char *trace;
    } cases[] = {
        {"omap_sec.rom=3\nomap_sec.service=80", -14, "Cannot get KZ4 random values (-2)\n"},
        {"omap_sec.short_response=1", -14, "Cannot get KZ4 random values (-2)\n"},
        {"urandom.open=13", -2, "Cannot open /dev/urandom\n"},
    };
    for (auto &c : cases) {
        set("faults", c.faults);
        int r = 1;
        EXPECT_EQ(traced([&] { r = seed_prng(); }), c.trace) << c.faults;
        EXPECT_EQ(r, c.result) << c.faults;
        strings writes;
        ASSERT_EQ(ks_sim::read_records(ks_sim::run_path("urandom"), writes), 0);
        EXPECT_TRUE(writes.empty()) << c.faults;
    }
}

TEST_F(HardwareStartup, SocInfoLines)
{
    const std::string pad(600, 'x');
    // A 511-character piece (no newline) is judged by its own third-last
    // and second-last characters.
    const std::string piece_hs = "SoC Info\t: " + std::string(497, 'x') + "hsx";
    struct {
        const char *what;
        std::string lines;
        int before, after;
    } cases[] = {
        {"general purpose", "SoC Info\t: OMAP3430 GP", 0, 1},
        {"ends in hs", "SoC Info\t: OMAP3430 ES3.1 hs", 0, 0},
        {"ends in hx", "SoC Info\t: hx", 0, 0},
        {"ends in xs", "SoC Info\t: xs", 0, 0},
        {"a later line", "SoC Info\t: hs\nSoC Info\t: GP", 0, 1},
        {"case matters", "soc info\t: GP", 0, 0},
        {"only the first 8 characters", "SoC InfoGP", 0, 1},
        {"never set to 0", "SoC Info\t: hs", 1, 1},
        {"600 characters", "SoC Info\t: " + pad, 0, 1},
        {"a piece ending in hsx", piece_hs + "GP", 0, 0},
        {"a later piece counts as a line", std::string(511, 'x') + "SoC Info GP", 0, 1},
    };
    ASSERT_EQ(piece_hs.size(), 511u);
    for (auto &c : cases) {
        soc_info(c.lines);
        int rd = c.before, r = 1;
        EXPECT_EQ(traced([&] { r = check_soc_info(&rd); }), "") << c.what;
        EXPECT_EQ(r, 0) << c.what;
        EXPECT_EQ(rd, c.after) << c.what;
    }
}

TEST_F(HardwareStartup, RdMode)
{
    struct {
        const char *what;
        std::string config, faults, soc;
        int result, rd;
        std::string trace;
    } cases[] = {
        {"enabled by the hardware", "rdc0=0x20000000\nrdc1=0xabcdef01\nrdc2=7", "",
         "SoC Info\t: hs", 0, 1,
         "KZ4 R&D certificate - RD_SW_ENABLED\nRDC[0] (0x20000000):\nRDC[1] (0xABCDEF01):\n"
         "RDC[2] (0x00000007):\n"},
        {"disabled, cpuinfo says GP", "rdc0=0xdfffffff", "", "SoC Info\t: GP", 0, 1,
         "KZ4 R&D certificate - RD_SW_DISABLED\nRDC[0] (0xDFFFFFFF):\nRDC[1] (0x00000000):\n"
         "RDC[2] (0x00000000):\n"},
        {"disabled, cpuinfo says hs", "", "", "SoC Info\t: hs", 0, 0,
         "KZ4 R&D certificate - RD_SW_DISABLED\nRDC[0] (0x00000000):\nRDC[1] (0x00000000):\n"
         "RDC[2] (0x00000000):\n"},
        {"no debug control, cpuinfo says GP", "", "omap_sec.rom=1", "SoC Info\t: GP", 0, 1,
         "KZ4 no debug control -2\n"},
        {"no debug control, cpuinfo says hs", "", "omap_sec.select=5", "SoC Info\t: hs", 0, 0,
         "KZ4 no debug control -1\n"},
    };
    for (auto &c : cases) {
        set(ks_sim::OMAP_SEC_CONFIG, c.config);
        set("faults", c.faults);
        soc_info(c.soc);
        int rd = 1 - c.rd, r = 1;
        EXPECT_EQ(traced([&] { r = check_rd_mode(&rd); }), c.trace) << c.what;
        EXPECT_EQ(r, c.result) << c.what;
        EXPECT_EQ(rd, c.rd) << c.what;
    }
}

TEST_F(HardwareStartup, RdCertificatesFromTheFlash)
{
    const std::string ccc = "CCC of the device", npc = "NPC of the device";
    const char *head = "load KZ4 R&D certificate...\n";
    struct {
        const char *what;
        bool with_ccc;    // "cert-ccc" on the flash
        const char *faults;
        int result;
        std::string traces;
        strings imported;  // kinds the secure side imported
        bool npc_asked;    // the NPC import was requested
    } cases[] = {
        {"both", true, "", 0,
         std::string(head) + "KZ4 CCC initialized\nKZ4 ESN initialized\n", {"CCC", "NPC"}, true},
        {"no CCC block", false, "", -3, std::string(head) + "KZ4 CCC init failed\n", {}, false},
        {"CCC refused", true, "omap_sec.pa=0x47\nomap_sec.service=576", -4,
         std::string(head) + "KZ4 CCC init failed\n", {}, false},
        {"NPC refused", true, "omap_sec.pa=0x45\nomap_sec.service=496", -4,
         std::string(head) + "KZ4 CCC initialized\nKZ4 ESN init failed\n", {"CCC"}, true},
    };
    for (auto &c : cases) {
        ASSERT_EQ(ks_sim::mtd_erase_all(1), 0);
        if (c.with_ccc) {
            ASSERT_EQ(kz4_write_ccc_block(reinterpret_cast<const uint8_t *>(ccc.data()),
                                          uint32_t(ccc.size())), 0);
        }
        ASSERT_EQ(kz4_write_npc_block(reinterpret_cast<const uint8_t *>(npc.data()),
                                      uint32_t(npc.size())), 0);
        set(ks_sim::run_path(ks_sim::OMAP_SEC_IMPORTS), "");
        set(ks_sim::OMAP_SEC_TRANSCRIPT, "");
        set("faults", c.faults);
        int r = 1;
        EXPECT_EQ(traced([&] { r = load_rd_certificate(); }), c.traces) << c.what;
        EXPECT_EQ(r, c.result) << c.what;
        strings imports, kinds, calls;
        ASSERT_EQ(ks_sim::read_records(ks_sim::run_path(ks_sim::OMAP_SEC_IMPORTS), imports), 0);
        for (auto &i : imports)
            kinds.push_back(i.substr(0, 3));
        EXPECT_EQ(kinds, c.imported) << c.what;
        ASSERT_EQ(ks_sim::read_records(ks_sim::OMAP_SEC_TRANSCRIPT, calls), 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "select 496"), c.npc_asked ? 1 : 0)
            << c.what;
    }
}

}  // namespace
