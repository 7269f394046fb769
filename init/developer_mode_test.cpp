// Developer-mode settings on the simulated device (runs in the sandbox):
// the file at its fixed path, its MAC made and checked by the simulated
// secure side under "tcb".
#include "init/developer_mode.h"

#include "init/log.h"
#include "secbins/kz4_secbins.h"
#include "sim/model.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

std::string le32(uint32_t v)
{
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

std::string header(uint32_t count, uint32_t version = DEVELOPER_MODE_VERSION)
{
    return std::string(reinterpret_cast<const char *>(DEVELOPER_MODE_MAGIC), 24) +
           le32(version) + le32(count) + std::string(20, '\0');
}

std::string entry(uint32_t type, const std::string &name, const std::string &value)
{
    return le32(type) + le32(uint32_t(name.size())) + le32(uint32_t(value.size())) + name + value;
}

// An entry whose length fields say what the test wants, whatever follows.
std::string raw_entry(uint32_t type, uint32_t name_length, uint32_t value_length,
                      const std::string &bytes)
{
    return le32(type) + le32(name_length) + le32(value_length) + bytes;
}

const std::string ORIGIN = "developer_origin";
const std::string RELAXED = "relaxed_exec_validation";
// The origin that fills a file with both settings up to 4096 bytes.
const std::string LONGEST(4096 - 52 - (12 + 23 + 4) - (12 + 16), 'x');

class DeveloperMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_to_stderr(0);
        mkdir("/etc", 0755);
        mkdir("/etc/tarvo", 0755);
        unlink(DEVELOPER_MODE_PATH);
        ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
        ASSERT_EQ(kz4_open(nullptr), 0);
    }
    void TearDown() override
    {
        free_developer_settings(settings);
        kz4_close();
        ks_sim::write_state("faults", "");
        unlink(DEVELOPER_MODE_PATH);
    }

    // The file's MAC as the secure side makes it under "tcb".
    static std::string with_mac(std::string bytes)
    {
        if (bytes.size() < DEVELOPER_MODE_HEADER_SIZE)
            return bytes;
        bytes.replace(DEVELOPER_MODE_MAC_OFFSET, DEVELOPER_MODE_MAC_SIZE,
                      std::string(DEVELOPER_MODE_MAC_SIZE, '\0'));
        EXPECT_EQ(kz4_set_programid("tcb"), 0);
        uint8_t *mac = nullptr;
        EXPECT_EQ(kz4_fprot_mac(reinterpret_cast<const uint8_t *>(bytes.data()),
                                uint32_t(bytes.size()), &mac),
                  20);
        if (mac)
            bytes.replace(DEVELOPER_MODE_MAC_OFFSET, DEVELOPER_MODE_MAC_SIZE,
                          reinterpret_cast<const char *>(mac), DEVELOPER_MODE_MAC_SIZE);
        kz4_free(mac);
        return bytes;
    }
    static void write_file(const std::string &bytes)
    {
        std::ofstream(DEVELOPER_MODE_PATH, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string read_file()
    {
        std::ifstream in(DEVELOPER_MODE_PATH, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Loads with the traces captured; the traces without the first line.
    int load(std::string *traces = nullptr)
    {
        testing::internal::CaptureStderr();
        int r = developer_mode_load_settings(&settings);
        std::string t = testing::internal::GetCapturedStderr();
        const std::string first = "Developer mode settings:\n";
        EXPECT_EQ(t.compare(0, first.size(), first), 0) << t;
        if (traces)
            *traces = t.substr(std::min(first.size(), t.size()));
        return r;
    }

    developer_settings *settings = nullptr;
};

TEST_F(DeveloperMode, AcceptedFilesLoad)
{
    struct {
        const char *what;
        std::string bytes;
        uint32_t relaxed;
        const char *origin;
    } cases[] = {
        {"header alone", header(0), 0, nullptr},
        {"relaxed", header(1) + entry(1, RELAXED, le32(1)), 1, nullptr},
        {"origin", header(1) + entry(0, ORIGIN, "com.example.dev"), 0, "com.example.dev"},
        {"both", header(2) + entry(1, RELAXED, le32(2)) + entry(0, ORIGIN, "o"), 2, "o"},
        {"a later entry wins",
         header(4) + entry(0, ORIGIN, "first") + entry(1, RELAXED, le32(7)) +
             entry(0, ORIGIN, "second") + entry(1, RELAXED, le32(0x01020304)),
         0x01020304, "second"},
        {"origin ends at its first NUL", header(1) + entry(0, ORIGIN, std::string("ab\0cd", 5)),
         0, "ab"},
        {"largest file", header(2) + entry(1, RELAXED, le32(3)) + entry(0, ORIGIN, LONGEST), 3,
         LONGEST.c_str()},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string &bytes = c.bytes;
        write_file(with_mac(bytes));
        std::string traces;
        ASSERT_EQ(load(&traces), 1);
        EXPECT_EQ(traces, "");
        ASSERT_NE(settings, nullptr);
        EXPECT_EQ(settings->relaxed_exec_validation, c.relaxed);
        if (c.origin) {
            ASSERT_NE(settings->developer_origin, nullptr);
            EXPECT_STREQ(settings->developer_origin, c.origin);
        } else {
            EXPECT_EQ(settings->developer_origin, nullptr);
        }
    }
}

TEST_F(DeveloperMode, MalformedFilesAreRefused)
{
    const std::string relaxed = entry(1, RELAXED, le32(1));
    struct {
        const char *what;
        std::string bytes;
        const char *trace;
    } cases[] = {
        {"51 bytes", header(0).substr(0, 51), "invalid header\n"},
        {"4097 bytes", header(0) + std::string(4045, '\0'), "file size larger than max size\n"},
        {"bad magic", "X" + header(0).substr(1), "bad magic\n"},
        {"bad version", header(0, 1), "bad version\n"},
        {"count 0 with a byte more", header(0) + "x", "failed to set value\n"},
        {"no room for an entry header", header(1) + std::string(11, '\0'), "invalid entry 0\n"},
        {"a byte after the last entry", header(1) + relaxed + "x", "failed to set value\n"},
        {"fewer entries than counted", header(2) + relaxed + "abc", "invalid entry 1\n"},
        {"entry beyond the end", header(1) + raw_entry(0, 16, 40, ORIGIN + "short"),
         "pre-sanity check failed\n"},
        {"lengths that would wrap", header(1) + raw_entry(0, 0xFFFFFFF0u, 0x20, ORIGIN + "xx"),
         "pre-sanity check failed\n"},
        {"name length 0", header(1) + raw_entry(0, 0, 1, "x"), "name missing\n"},
        {"name length 65", header(1) + entry(0, std::string(65, 'n'), "v"), "name missing\n"},
        {"u32 of 2 bytes", header(1) + entry(1, RELAXED, "\x01\x00"), ""},
        {"type 2", header(1) + entry(2, ORIGIN, "v"), "unknown type\n"},
        {"origin as u32", header(1) + entry(1, ORIGIN, le32(1)), "process settings has failed 0\n"},
        {"relaxed as string", header(1) + entry(0, RELAXED, "1"),
         "process settings has failed 0\n"},
        {"empty origin", header(1) + entry(0, ORIGIN, ""), "process settings has failed 0\n"},
        {"origin of one NUL", header(1) + entry(0, ORIGIN, std::string(1, '\0')),
         "process settings has failed 0\n"},
        {"unknown name", header(1) + entry(0, "developer", "x"), "process settings has failed 0\n"},
        {"name with a tail after NUL", header(1) + entry(0, ORIGIN + std::string(1, '\0') + "x", "o"),
         "process settings has failed 0\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(with_mac(c.bytes));
        settings = static_cast<developer_settings *>(calloc(1, sizeof(developer_settings)));
        std::string traces;
        EXPECT_EQ(load(&traces), -22);
        EXPECT_EQ(traces, c.trace);
        // A failed load leaves nothing behind, not even the old record.
        EXPECT_EQ(settings, nullptr);
    }
}

TEST_F(DeveloperMode, MacMustBeValid)
{
    std::string good = with_mac(header(1) + entry(1, RELAXED, le32(1)));
    std::string bad_mac = good;
    bad_mac[DEVELOPER_MODE_MAC_OFFSET + 3] ^= 0x10;
    std::string changed = good;
    changed.back() = 2;  // relaxed 2 under the MAC of relaxed 1
    for (const std::string &bytes : {bad_mac, changed}) {
        write_file(bytes);
        std::string traces;
        EXPECT_EQ(load(&traces), 0);
        // A mismatch never loads settings.
        EXPECT_EQ(traces, "kz4_fprot_check_mac error 3\n");
        EXPECT_EQ(settings, nullptr);
    }

    // The hardware fails the check.
    write_file(good);
    ASSERT_EQ(ks_sim::write_state("faults", "omap_sec.pa=2\nomap_sec.service=900\n"), 0);
    std::string traces;
    EXPECT_EQ(load(&traces), 0);
    EXPECT_EQ(traces, "kz4_fprot_check_mac error -4\n");
    EXPECT_EQ(settings, nullptr);

    // The same file under a MAC of another program id.
    ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
    std::string other = header(1) + entry(1, RELAXED, le32(1));
    ASSERT_EQ(kz4_set_programid("other"), 0);
    uint8_t *mac = nullptr;
    ASSERT_EQ(kz4_fprot_mac(reinterpret_cast<const uint8_t *>(other.data()),
                            uint32_t(other.size()), &mac),
              20);
    other.replace(DEVELOPER_MODE_MAC_OFFSET, 20, reinterpret_cast<char *>(mac), 20);
    kz4_free(mac);
    write_file(other);
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(settings, nullptr);

    // Loading asks for the check under "tcb" whatever id was kept before.
    write_file(good);
    EXPECT_EQ(load(), 1);
}

TEST_F(DeveloperMode, FileAccessFailures)
{
    std::string traces;
    EXPECT_EQ(load(&traces), -2);
    EXPECT_EQ(traces, "Developer mode configuration data not found.\n");

    write_file("");
    EXPECT_EQ(load(&traces), 0);
    EXPECT_EQ(traces, "zero size\n");

    // A symbolic link in the file's place is not followed.
    unlink(DEVELOPER_MODE_PATH);
    std::ofstream("/etc/tarvo/elsewhere.bin", std::ios::binary) << with_mac(header(0));
    ASSERT_EQ(symlink("/etc/tarvo/elsewhere.bin", DEVELOPER_MODE_PATH), 0);
    EXPECT_EQ(load(&traces), -ELOOP);
    EXPECT_EQ(traces, "Developer mode configuration data not found.\n");
    unlink(DEVELOPER_MODE_PATH);
    unlink("/etc/tarvo/elsewhere.bin");

    // A directory is no settings file.
    ASSERT_EQ(mkdir(DEVELOPER_MODE_PATH, 0755), 0);
    EXPECT_EQ(load(&traces), -EISDIR);
    EXPECT_EQ(traces, "Developer mode configuration data not found.\n");
    rmdir(DEVELOPER_MODE_PATH);

    testing::internal::CaptureStderr();
    EXPECT_EQ(developer_mode_load_settings(nullptr), -22);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Developer mode settings:\nInvalid calling arguments\n");
}

TEST_F(DeveloperMode, SaveWritesWhatLoads)
{
    char origin[] = "org.example.tools";
    struct {
        developer_settings in;
        std::string bytes;  // the file without its MAC
    } cases[] = {
        {{0, nullptr}, header(0)},
        {{1, nullptr}, header(1) + entry(1, RELAXED, le32(1))},
        {{0, origin}, header(1) + entry(0, ORIGIN, origin)},
        {{0x80000001u, origin},
         header(2) + entry(1, RELAXED, le32(0x80000001u)) + entry(0, ORIGIN, origin)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.bytes.size());
        ASSERT_EQ(developer_mode_save_settings(&c.in), 1);
        EXPECT_EQ(read_file(), with_mac(c.bytes));
        struct stat st;
        ASSERT_EQ(stat(DEVELOPER_MODE_PATH, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(load(), 1);
        EXPECT_EQ(settings->relaxed_exec_validation, c.in.relaxed_exec_validation);
        if (c.in.developer_origin)
            EXPECT_STREQ(settings->developer_origin, c.in.developer_origin);
        else
            EXPECT_EQ(settings->developer_origin, nullptr);
    }
}

TEST_F(DeveloperMode, SaveFailures)
{
    developer_settings good = {1, nullptr};
    ASSERT_EQ(developer_mode_save_settings(&good), 1);
    const std::string before = read_file();

    // Settings no loader would take are refused before the file is touched.
    char empty[] = "";
    std::string long_origin(4096, 'x');
    developer_settings refused[] = {{0, empty}, {1, &long_origin[0]}};
    for (auto &s : refused) {
        EXPECT_EQ(developer_mode_save_settings(&s), -22);
        EXPECT_EQ(read_file(), before);
    }
    EXPECT_EQ(developer_mode_save_settings(nullptr), -22);

    // The MAC request fails after the file was opened: it is left empty,
    // which loads as no settings.
    struct {
        const char *faults;
        int result;
    } mac_failures[] = {
        {"omap_sec.pa=2\nomap_sec.service=899\n", -22},
        {"omap_sec.short_write=1\nomap_sec.service=899\n", -13},
    };
    for (auto &f : mac_failures) {
        SCOPED_TRACE(f.faults);
        ASSERT_EQ(developer_mode_save_settings(&good), 1);
        ASSERT_EQ(ks_sim::write_state("faults", f.faults), 0);
        EXPECT_EQ(developer_mode_save_settings(&good), f.result);
        ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
        EXPECT_EQ(read_file(), "");
        EXPECT_EQ(load(), 0);
    }

    // A symbolic link in the file's place is not followed.
    unlink(DEVELOPER_MODE_PATH);
    ASSERT_EQ(symlink("/etc/tarvo/target.bin", DEVELOPER_MODE_PATH), 0);
    EXPECT_EQ(developer_mode_save_settings(&good), -ELOOP);
    EXPECT_NE(access("/etc/tarvo/target.bin", F_OK), 0);
    unlink(DEVELOPER_MODE_PATH);
}

TEST(DeveloperSettingNames, TypesAndLengths)
{
    log_to_stderr(0);
    struct {
        const char *name;
        const char *value;
        int type, length;
        const char *trace;
    } cases[] = {
        {"developer_origin", "abc", 0, 3, ""},
        {"developer_origin", "", 0, 0, ""},
        {"relaxed_exec_validation", "", 1, 4, ""},
        {"developer_origin ", "abc", -1, -1, "Unknown developer mode setting 'developer_origin '\n"},
        {"", "abc", -1, -1, "Unknown developer mode setting ''\n"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(developer_setting_type(c.name), c.type);
        testing::internal::CaptureStderr();
        EXPECT_EQ(developer_setting_length(c.name, c.value), c.length);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.trace);
    }
    EXPECT_EQ(developer_setting_type(nullptr), -1);
    free_developer_settings(nullptr);
}

}  // namespace
