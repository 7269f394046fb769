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

// Every row of both tables, code and name, in table order.
struct named_code {
    int code;
    const char *name;
};

const named_code rom_rows[] = {
        {0x00, "SEC_ROM_RET_OK"},
        {0x02, "SEC_ROM_RET_NON_SUPPORTED_APPL"},
        {0x03, "SEC_ROM_RET_ENTRY_DISABLED"},
        {0x04, "SEC_ROM_RET_RESOURCE_RESERVED"},
        {0x05, "SEC_ROM_RET_RNG_RESOURCE_BUSY"},
        {0x06, "SEC_ROM_RET_NON_VALID_ADDRESS"},
        {0x07, "SEC_ROM_RET_NOT_ENOUGH_MEMORY"},
        {0x08, "SEC_ROM_RET_HASH_FAILURE"},
        {0x09, "SEC_ROM_RET_INIT_ALREADY_DONE"},
        {0x0A, "SEC_ROM_RET_FAIL"},
        {0x0B, "SEC_ROM_RET_CERTIFICATE_FAILURE"},
        {0x0C, "SEC_ROM_RET_DIVIDED_HASH_AREA_NOT_ALLOWED"},
        {0x0D, "SEC_ROM_RET_PPA_VERSION_WRONG"},
        {0x0E, "SEC_ROM_RET_ENTRY_FAILURE"},
        {0x0F, "SEC_ROM_RET_PPA_LOAD_FAILURE"},
        {0x10, "SEC_ROM_RET_EXT_CODE_PPA_VERSION_FAILURE"},
        {0x11, "SEC_ROM_RET_PPA_HASH_FAILURE"},
        {0x12, "SEC_ROM_RET_EXT_CODE_HASH_FAILURE"},
        {0x13, "SEC_ROM_RET_PPA_CERTIFICATE_FAILURE"},
        {0x14, "SEC_ROM_RET_PPA_NOT_ENOUGH_MEMORY"},
        {0x15, "SEC_ROM_RET_PPA_DIVIDED_HASH_AREA_NOT_ALLOWED"},
        {0x16, "SEC_ROM_RET_PUBKEY_CERTIFICATE_FAILURE"},
        {0x17, "SEC_ROM_RET_RD_CERTIFICATE_FAILURE"},
        {0x18, "SEC_ROM_RET_EXT_CODE_CERTIFICATE_FAILURE"},
        {0x19, "SEC_ROM_RET_PAPUB_CERTIFICATE_FAILURE"},
        {0x1A, "SEC_ROM_RET_EXT_DATA_CERTIFICATE_FAILURE"},
        {0x1B, "SEC_ROM_RET_EXT_DATA_HASH_FAILURE"},
        {0x1C, "SEC_ROM_RET_SIGNATURE_VERIFY_FAILURE"},
        {0x20, "SEC_ROM_RET_SEC_STORAGE_INIT_FAILURE"},
};

const named_code service_rows[] = {
        {0x00, "SERVICE_RET_OK"},
        {0x01, "SERVICE_RET_NOT_EXECUTED"},
        {0x02, "SERVICE_RET_DEFAULT_FAIL"},
        {0x03, "SERVICE_RET_FUNC_INDEX_FAIL"},
        {0x04, "SERVICE_RET_ADDRESS_FAIL"},
        {0x05, "SERVICE_RET_PARAMETERS_LENGTH_FAIL"},
        {0x06, "SERVICE_RET_RESULTS_LENGTH_FAIL"},
        {0x07, "SERVICE_RET_NOT_ENOUGH_MEMORY_FAIL"},
        {0x08, "SERVICE_RET_AUTHENTICATION_FAIL"},
        {0x09, "SERVICE_RET_DECRYPT_FAIL"},
        {0x0A, "SERVICE_RET_ENCRYPT_FAIL"},
        {0x0B, "SERVICE_RET_SEC_STORAGE_LOAD_FAIL"},
        {0x0C, "SERVICE_RET_SEC_STORAGE_SAVE_FAIL"},
        {0x0D, "SERVICE_RET_SEC_STORAGE_SIZE_FAIL"},
        {0x0E, "SERVICE_RET_SEC_STORAGE_EXISTS_FAIL"},
        {0x0F, "SERVICE_RET_SEC_DATA_MISSING_FAIL"},
        {0x10, "SERVICE_RET_DATA_FAIL"},
        {0x11, "SERVICE_RET_DATA_MISSING_FAIL"},
        {0x12, "SERVICE_RET_DATA_ID_FAIL"},
        {0x13, "SERVICE_RET_DATA_TYPE_FAIL"},
        {0x14, "SERVICE_RET_DATA_LENGTH_FAIL"},
        {0x15, "SERVICE_RET_DATA_LENGTH_MISSING_FAIL"},
        {0x16, "SERVICE_RET_SEC_ROM_FAIL"},
        {0x17, "SERVICE_RET_STATE_FAIL"},
        {0x18, "SERVICE_RET_SIGNATURE_FAIL"},
        {0x19, "SERVICE_RET_HASH_FAIL"},
        {0x1A, "SERVICE_RET_HMAC_FAIL"},
        {0x1B, "SERVICE_RET_KEY_USAGE_FAIL"},
        {0x1C, "SERVICE_RET_KEY_GENERATION_FAIL"},
        {0x1D, "SERVICE_RET_PAPUBKEY_FAIL"},
        {0x1E, "SERVICE_RET_CERTIFICATE_FAIL"},
        {0x1F, "SERVICE_RET_CERTIFICATE_TYPE_FAIL"},
        {0x20, "SERVICE_RET_CERTIFICATE_VERSION_FAIL"},
        {0x21, "SERVICE_RET_CERTIFICATE_LENGTH_FAIL"},
        {0x22, "SERVICE_RET_CERTIFICATE_MISSING_FAIL"},
        {0x24, "SERVICE_RET_PUBLIC_ID_FAIL"},
        {0x25, "SERVICE_RET_INTEGRITY_FAIL"},
        {0x26, "SERVICE_RET_VERSION_FAIL"},
        {0x27, "SERVICE_RET_SEC_DATA_HANDLING_FAIL"},
        {0x28, "SERVICE_RET_CERTIFICATE_EXTENSION_FAIL"},
        {0x29, "SERVICE_RET_PAPUBKEY_TYPE_FAIL"},
        {0x2A, "SERVICE_RET_NPC_PAPUBKEY_FAIL"},
        {0x2B, "SERVICE_RET_NPC_PAPUBKEY_TYPE_FAIL"},
        {0x2C, "SERVICE_RET_VARIANT_PAPUBKEY_FAIL"},
        {0x2D, "SERVICE_RET_VARIANT_PAPUBKEY_TYPE_FAIL"},
        {0x2E, "SERVICE_RET_CCC_PAPUBKEY_FAIL"},
        {0x2F, "SERVICE_RET_CCC_PAPUBKEY_TYPE_FAIL"},
        {0x30, "SERVICE_RET_HWC_PAPUBKEY_FAIL"},
        {0x31, "SERVICE_RET_HWC_PAPUBKEY_TYPE_FAIL"},
        {0x32, "SERVICE_RET_FW_PAPUBKEY_FAIL"},
        {0x33, "SERVICE_RET_FW_PAPUBKEY_TYPE_FAIL"},
        {0x34, "SERVICE_RET_CERTIFICATE_DATA_FAIL"},
        {0x35, "SERVICE_RET_CERTIFICATE_READ_FAIL"},
        {0x36, "SERVICE_RET_CERTIFICATE_REIMPORT_FAIL"},
        {0x37, "SERVICE_RET_TIMEOUT_RESET"},
        {0x38, "SERVICE_RET_KEY_SET_VALIDATION_FAIL"},
        {0x39, "SERVICE_RET_KEY_SET_MISSING_FAIL"},
        {0x3A, "SERVICE_RET_PRIVATE_KEY_MISSING_FAIL"},
        {0x3B, "SERVICE_RET_PRIVATE_KEY_SERVICE_FAIL"},
        {0x3C, "SERVICE_RET_SIGN_FAIL"},
        {0x3D, "SERVICE_RET_GENERATE_PRIME_FAIL"},
        {0x3E, "SERVICE_RET_PUBLIC_EXPONENT_FAIL"},
        {0x3F, "SERVICE_RET_PRIVATE_KEY_TYPE_FAIL"},
        {0x40, "SERVICE_RET_SEC_STORAGE_MISSING_FAIL"},
        {0x41, "SERVICE_RET_RAW_OPERATION_FAIL"},
        {0x42, "SERVICE_RET_CURVE_PARAMETERS_FAIL"},
        {0x43, "SERVICE_RET_NO_CCC_EXTENSION_FAIL"},
        {0x44, "SERVICE_RET_NO_CCC_EXTENSION_BLOCK_FAIL"},
        {0x45, "SERVICE_RET_CNPC_CERTIFICATE_VERIFY_FAIL"},
        {0x46, "SERVICE_RET_ANPC_CERTIFICATE_VERIFY_FAIL"},
        {0x47, "SERVICE_RET_CCCC_CERTIFICATE_VERIFY_FAIL"},
        {0x48, "SERVICE_RET_ACCC_CERTIFICATE_VERIFY_FAIL"},
        {0x49, "SERVICE_RET_CHW_CERTIFICATE_VERIFY_FAIL"},
        {0x4A, "SERVICE_RET_AHW_CERTIFICATE_VERIFY_FAIL"},
        {0x4B, "SERVICE_RET_VARIANT_CERTIFICATE_VERIFY_FAIL"},
        {0x4C, "SERVICE_RET_ASIC_VERSION_CHECK_FAIL"},
        {0x4D, "SERVICE_RET_SECRET_KEY_SERVICE_FAIL"},
        {0x4E, "SERVICE_RET_SECRET_KEY_MISSING_FAIL"},
        {0x5B, "SERVICE_RET_NFE_MODE_FAIL"},
        {0x5C, "SERVICE_RET_NFE_SECTOR_ID_OVERFLOW"},
        {0x5D, "SERVICE_RET_NFE_KEY_INDEX_FAIL"},
        {0x5E, "SERVICE_RET_SWD_UPDATING_NOT_ALLOWED"},
        {0x5F, "SERVICE_RET_NPC_NOT_AVAILABLE"},
        {0x61, "SERVICE_RET_ACTIVE_INDEX_FAIL"},
        {0x65, "SERVICE_RET_PRIVATE_KEY_SIZE_FAIL"},
        {0x66, "SERVICE_RET_SEC_STORAGE_DELETE_FAIL"},
        {0x67, "SERVICE_RET_UNSUPPORTED_PA_VERSIONS"},
        {0x68, "SERVICE_RET_GENERAL_MALLOC_FAIL"},
        {0x69, "SERVICE_RET_CCC_HWC_TIMESTAMP_FAIL"},
        {0x70, "SERVICE_RET_CCC_WRONG_MAGIC"},
        {0x71, "SERVICE_RET_CCC_TOO_LARGE_ITEM"},
        {0x72, "SERVICE_RET_CCC_WRONG_SCF_VERSION"},
        {0x73, "SERVICE_RET_NO_CCC_EXTENSION_SCF1_BLOCK"},
        {0x74, "SERVICE_RET_SD_AUTH_SLOW_CHECK_FAIL"},
};

TEST(Kz4ErrorReport, EveryRowNameForName)
{
    struct {
        const kz4_code_row *table;
        uint32_t rows;
        const named_code *want;
        size_t count;
    } tables[] = {
        {sec_rom_ret_names, KZ4_SEC_ROM_RET_ROWS, rom_rows, sizeof rom_rows / sizeof rom_rows[0]},
        {service_ret_names, KZ4_SERVICE_RET_ROWS, service_rows,
         sizeof service_rows / sizeof service_rows[0]},
    };
    EXPECT_EQ(KZ4_SEC_ROM_RET_ROWS + KZ4_SERVICE_RET_ROWS, 123);
    for (auto &t : tables) {
        ASSERT_EQ(t.rows, t.count);
        for (uint32_t i = 0; i < t.rows; i++) {
            EXPECT_EQ(t.table[i].code, t.want[i].code) << t.want[i].name;
            EXPECT_STREQ(t.table[i].name, t.want[i].name) << i;
            EXPECT_STREQ(kz4_code_name(t.want[i].code, t.table, t.rows), t.want[i].name);
        }
    }
}

}  // namespace
