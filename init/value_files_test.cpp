#include "init/value_files.h"
#include "init/fork_probe_test.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class ValueFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        // In the sandbox's securityfs: the values are written as kernel
        // files, which are refused anywhere else.
        char pattern[] = "/sys/kernel/security/ks-value-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string put(const std::string &name, const std::string &content)
    {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string get(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir;
};

// One rule for both architectures: beyond 32 bits, hexadecimal saturates to
// 0xffffffff and decimal to INT_MIN/INT_MAX.
TEST(ParseValueText, HexAndDecimalTable)
{
    struct row {
        const char *text;
        int base;
        int result;
        int value;
    } rows[] = {
        {"0x147", 16, 0, 0x147},
        {"  1c7\n", 16, 0, 0x1c7},
        {"1C7 trailing words", 16, 0, 0x1c7},
        {"ffffffff", 16, 0, -1},
        {"-1", 16, 0, -1},
        {"100000000", 16, 0, -1},
        {"-100000000", 16, 0, -1},
        {"fffffffffffffffffffff", 16, 0, -1},
        {"0", 16, 0, 0},
        {"zz", 16, -1, 77},
        {"", 16, -1, 77},
        {"- 1", 16, -1, 77},
        {"42\n", 10, 0, 42},
        {"\t-17", 10, 0, -17},
        {"+3", 10, 0, 3},
        {"2147483647", 10, 0, INT_MAX},
        {"2147483648", 10, 0, INT_MAX},
        {"4294967296", 10, 0, INT_MAX},
        {"-2147483648", 10, 0, INT_MIN},
        {"-2147483649", 10, 0, INT_MIN},
        {"99999999999999999999999", 10, 0, INT_MAX},
        {"0x10", 10, 0, 0},
        {"abc", 10, -1, 77},
    };
    for (const row &r : rows) {
        int value = 77;
        EXPECT_EQ(parse_value_text(r.text, r.base, &value), r.result) << r.text;
        EXPECT_EQ(value, r.value) << r.text;
    }
}

TEST_F(ValueFiles, WritesLowercaseHexAndDecimalWithNewline)
{
    struct row {
        int value;
        bool hex;
        const char *text;
    } rows[] = {
        {0x1c7, true, "1c7\n"}, {-1, true, "ffffffff\n"}, {0, true, "0\n"},
        {7, true, "7\n"},       {-5, false, "-5\n"},      {12, false, "12\n"},
    };
    for (const row &r : rows) {
        std::string path = put("v", "previous longer content\n");
        int result = r.hex ? write_hex_value(path.c_str(), r.value)
                           : write_int_value(path.c_str(), r.value);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(get(path), r.text);
    }
    EXPECT_EQ(write_hex_value((dir + "/missing/enforce").c_str(), 7), -2);
    // A kernel file is never created: where it is missing (its file system
    // not mounted), nothing takes its place.
    EXPECT_EQ(write_hex_value((dir + "/enabled").c_str(), 7), -2);
    struct stat st;
    EXPECT_NE(stat((dir + "/enabled").c_str(), &st), 0);
}

// A file that refuses the text only when the stream is flushed (as a kernel
// file refusing a value does) is a failed write.
TEST_F(ValueFiles, RefusalAtFlushIsAFailedWrite)
{
    SKIP_UNLESS_FORKED_CHILDREN_WORK();
    std::string path = put("enforce", "");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {2, 2};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(write_hex_value(path.c_str(), 0x1c7) == -5 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ValueFiles, ReadsOnlyRegularFiles)
{
    int value = 5;
    EXPECT_EQ(read_hex_value(put("a", "0x147").c_str(), &value), 0);
    EXPECT_EQ(value, 0x147);
    EXPECT_EQ(read_int_value(put("b", "").c_str(), &value), -1);
    EXPECT_EQ(value, 0x147);
    EXPECT_EQ(read_int_value((dir + "/none").c_str(), &value), -1);
    EXPECT_EQ(read_int_value(dir.c_str(), &value), -1);
    // A FIFO must neither hang the boot nor be read.
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(read_int_value(fifo.c_str(), &value), -1);
    EXPECT_EQ(value, 0x147);
}

TEST_F(ValueFiles, RdConfigKeepsPresetOfMissingFile)
{
    put("enforce", "3\n");
    int enable = -1, enforce = -1;
    EXPECT_EQ(load_keepstone_rd_config((dir + "/").c_str(), &enable, &enforce), 0);
    EXPECT_EQ(enable, -1);
    EXPECT_EQ(enforce, 3);
    put("enable", "zz");
    EXPECT_EQ(load_keepstone_rd_config(dir.c_str(), &enable, &enforce), 0);
    EXPECT_EQ(enable, -1);
    put("enable", "ffffffff");
    EXPECT_EQ(load_keepstone_rd_config(dir.c_str(), &enable, &enforce), 0);
    EXPECT_EQ(enable, -1);
    put("enable", "0");
    EXPECT_EQ(load_keepstone_rd_config(dir.c_str(), &enable, &enforce), 0);
    EXPECT_EQ(enable, 0);
}

}  // namespace
