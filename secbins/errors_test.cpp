// Return-code names and the printed report of the last-error triple.
#include "secbins/kz4_secbins.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

namespace {

std::string report(const char *operation, int *result)
{
    testing::internal::CaptureStdout();
    *result = kz4_print_error(operation);
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void set_triple(int lib, int rom, int pa)
{
    kz4_last_error.lib = lib;
    kz4_last_error.rom = rom;
    kz4_last_error.pa = pa;
}

TEST(Kz4ErrorReport, LinesByteForByte)
{
    std::string eio = strerror(EIO);
    std::string unknown_minus_one = strerror(-1);
    struct {
        const char *what;
        const char *operation;
        int lib, rom, pa;
        int result;
        std::string lines;
    } cases[] = {
        {"cleared", "check", -1, -1, -1, 0,
         "KZ4 check return value. LIB: 0xFFFFFFFF (" + unknown_minus_one + ")\n"
         "KZ4 check return value. ROM: 0xFFFFFFFF (UNKNOWN)\n"
         "KZ4 check return value. PA: 0xFFFFFFFF (UNKNOWN)\n"},
        {"certificate failure", "import", -1, 0x0B, -1, -1,
         "KZ4 import return value. LIB: 0xFFFFFFFF (" + unknown_minus_one + ")\n"
         "KZ4 import return value. ROM: 0x0000000B (SEC_ROM_RET_CERTIFICATE_FAILURE)\n"
         "KZ4 import return value. PA: 0xFFFFFFFF (UNKNOWN)\n"},
        {"unnamed PA, no operation name", nullptr, EIO, 0, 0x6A, -1,
         "KZ4 operation return value. LIB: 0x00000005 (" + eio + ")\n"
         "KZ4 operation return value. ROM: 0x00000000 (SEC_ROM_RET_OK)\n"
         "KZ4 operation return value. PA: 0x0000006A (UNKNOWN)\n"},
        {"last rows", "x", 1, 0x20, 0x74, -1,
         "KZ4 x return value. LIB: 0x00000001 (" + std::string(strerror(1)) + ")\n"
         "KZ4 x return value. ROM: 0x00000020 (SEC_ROM_RET_SEC_STORAGE_INIT_FAILURE)\n"
         "KZ4 x return value. PA: 0x00000074 (SERVICE_RET_SD_AUTH_SLOW_CHECK_FAIL)\n"},
        {"PA only", "mac", -1, -1, 0x18, -1,
         "KZ4 mac return value. LIB: 0xFFFFFFFF (" + unknown_minus_one + ")\n"
         "KZ4 mac return value. ROM: 0xFFFFFFFF (UNKNOWN)\n"
         "KZ4 mac return value. PA: 0x00000018 (SERVICE_RET_SIGNATURE_FAIL)\n"},
    };
    for (auto &c : cases) {
        set_triple(c.lib, c.rom, c.pa);
        int result = 99;
        EXPECT_EQ(report(c.operation, &result), c.lines) << c.what;
        EXPECT_EQ(result, c.result) << c.what;
        // The report leaves the triple as it was.
        EXPECT_EQ(kz4_last_error.lib, c.lib) << c.what;
        EXPECT_EQ(kz4_last_error.rom, c.rom) << c.what;
        EXPECT_EQ(kz4_last_error.pa, c.pa) << c.what;
    }
    kz4_clear_error();
}

TEST(Kz4ErrorReport, CodeNames)
{
    struct {
        int code;
        const kz4_code_row *table;
        uint32_t rows;
        const char *name;
    } cases[] = {
        {0x20, sec_rom_ret_names, KZ4_SEC_ROM_RET_ROWS, "SEC_ROM_RET_SEC_STORAGE_INIT_FAILURE"},
        {0x20, service_ret_names, KZ4_SERVICE_RET_ROWS, "SERVICE_RET_CERTIFICATE_VERSION_FAIL"},
        {0x00, sec_rom_ret_names, KZ4_SEC_ROM_RET_ROWS, "SEC_ROM_RET_OK"},
        {0x01, sec_rom_ret_names, KZ4_SEC_ROM_RET_ROWS, "UNKNOWN"},
        {0x1C, sec_rom_ret_names, KZ4_SEC_ROM_RET_ROWS, "SEC_ROM_RET_SIGNATURE_VERIFY_FAILURE"},
        {0x23, service_ret_names, KZ4_SERVICE_RET_ROWS, "UNKNOWN"},
        {0x5B, service_ret_names, KZ4_SERVICE_RET_ROWS, "SERVICE_RET_NFE_MODE_FAIL"},
        {0x74, service_ret_names, KZ4_SERVICE_RET_ROWS, "SERVICE_RET_SD_AUTH_SLOW_CHECK_FAIL"},
        {-1, service_ret_names, KZ4_SERVICE_RET_ROWS, "UNKNOWN"},
        // The row count bounds the search.
        {0x20, sec_rom_ret_names, 28, "UNKNOWN"},
        {0x00, sec_rom_ret_names, 0, "UNKNOWN"},
        {0x00, nullptr, 5, "UNKNOWN"},
    };
    for (auto &c : cases)
        EXPECT_STREQ(kz4_code_name(c.code, c.table, c.rows), c.name) << c.code;
}

TEST(Kz4ErrorReport, TablesAreWellFormed)
{
    // Codes rise through each table, so no code has two names; every
    // name is terminated within its 52 bytes and carries its prefix.
    struct {
        const kz4_code_row *table;
        uint32_t rows;
        const char *prefix;
    } tables[] = {{sec_rom_ret_names, KZ4_SEC_ROM_RET_ROWS, "SEC_ROM_RET_"},
                  {service_ret_names, KZ4_SERVICE_RET_ROWS, "SERVICE_RET_"}};
    for (auto &t : tables) {
        for (uint32_t i = 0; i < t.rows; i++) {
            ASSERT_NE(memchr(t.table[i].name, 0, sizeof t.table[i].name), nullptr) << i;
            EXPECT_EQ(strncmp(t.table[i].name, t.prefix, strlen(t.prefix)), 0) << i;
            if (i) {
                EXPECT_GT(t.table[i].code, t.table[i - 1].code) << t.table[i].name;
            }
        }
    }
}

}  // namespace
