#include "init/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
    int result;
    int no_flush, initrd, flush;
    std::string hashlist;
    std::string first;  // "(null)" when none
    std::string out;    // standard output
};

parsed run(std::vector<std::string> args)
{
    no_flush = initrd_mode = flush_cache = 0;
    free_options();
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    parsed p;
    p.result = parse_options(int(args.size()), argv.data());
    p.out = testing::internal::GetCapturedStdout();
    p.no_flush = no_flush;
    p.initrd = initrd_mode;
    p.flush = flush_cache;
    p.hashlist = hashlist_path ? hashlist_path : "(null)";
    p.first = first_argument ? first_argument : "(null)";
    free_options();
    return p;
}

const std::string USAGE =
    "Usage: ki [OPTION]\n"
    "  -h,--help              print help text\n"
    "  -n,--no-flush          do not flush verification cache\n"
    "  -s,--sha1file filename use file as hashlist file\n"
    "  -i,--initrd            initrd mode.\n"
    "The argument / (the root file system) flushes the verification cache (unless -n).\n"
    "-s: the file must exist; it is neither created nor truncated.\n"
    "Exit status: 0 the security hardware was opened (also after the malfunction\n"
    "state), 1 it could not be opened, 255 after -h.\n";

TEST(Options, Table)
{
    const std::string def = "/sys/kernel/security/keepstone/hashlist";
    struct row {
        std::vector<std::string> args;
        int no_flush, initrd, flush;
        std::string hashlist, first;
    } rows[] = {
        {{"ki"}, 0, 0, 0, def, "(null)"},
        {{"ki", "/"}, 0, 0, 1, def, "/"},
        {{"ki", "-n", "/"}, 1, 0, 1, def, "/"},
        {{"ki", "/", "--no-flush"}, 1, 0, 1, def, "/"},
        {{"ki", "//"}, 0, 0, 0, def, "//"},
        {{"ki", "x", "/"}, 0, 0, 0, def, "x"},
        {{"ki", "-s", "/"}, 0, 0, 0, "/", "(null)"},
        {{"ki", "--sha1file=/tmp/h", "-i"}, 0, 1, 0, "/tmp/h", "(null)"},
        {{"ki", "-s", "a", "-s", "b"}, 0, 0, 0, "b", "(null)"},
        {{"ki", "-x", "--bogus", "-i", "/"}, 0, 1, 1, def, "/"},
        {{"ki", "-in"}, 1, 1, 0, def, "(null)"},
        {{"ki", "-s"}, 0, 0, 0, def, "(null)"},
    };
    for (const row &r : rows) {
        parsed p = run(r.args);
        std::string what = testing::PrintToString(r.args);
        EXPECT_EQ(p.result, 0) << what;
        EXPECT_EQ(p.no_flush, r.no_flush) << what;
        EXPECT_EQ(p.initrd, r.initrd) << what;
        EXPECT_EQ(p.flush, r.flush) << what;
        EXPECT_EQ(p.hashlist, r.hashlist) << what;
        EXPECT_EQ(p.first, r.first) << what;
    }
}

TEST(Options, HelpStopsParsingAnywhere)
{
    for (auto args : std::vector<std::vector<std::string>>{
             {"ki", "-h"}, {"ki", "/", "--help"}, {"ki", "-i", "-h", "-n"}}) {
        parsed p = run(args);
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.out, USAGE);
        EXPECT_EQ(p.no_flush, 0);
    }
    parsed p = run({"ki", "-s", "x", "-h", "-s", "y"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.out, "securityfs hashfile in x\n" + USAGE);
}

}  // namespace
