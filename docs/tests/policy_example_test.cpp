// The policies of docs/policy.md, loaded on the sample device in the
// sandbox as the boot loads its policy: the page shows
// docs/examples/restok.conf as it is, the tokens and object policies that
// reach the kernel are the ones the page shows as `ks-sim restok` and
// `ks-sim credp` print them, and the faulty examples give the messages
// the page lists.
#include "docs/tests/page_blocks.h"

#include "init/log.h"
#include "init/security_policy.h"
#include "sim/model.h"
#include "sim/models/creds.h"
#include "sim/models/restok_tokens.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

const char PAGE[] = "policy.md";
const char POLICY_PATH[] = "/var/lib/tarvo/restok/restok.conf";

// What a view of ks-sim prints, with the process id of a manager
// registration written as PID.
std::string view(const std::string &name)
{
    for (const auto &c : ks_sim::commands()) {
        if (name != c.name)
            continue;
        char *text = nullptr;
        size_t size = 0;
        FILE *out = open_memstream(&text, &size);
        if (!out)
            return "";
        c.fn({}, out);
        std::fclose(out);
        std::string s(text, size);
        std::free(text);
        std::string shown;
        for (auto &line : ks_docs::lines_of(s)) {
            auto w = ks_docs::words_of(line);
            if (w.size() == 3 && w[0] == "manager")
                line = "manager PID " + w[2];
            shown += line + "\n";
        }
        return shown;
    }
    ADD_FAILURE() << "no ks-sim view " << name;
    return "";
}

// The library's own messages among a run's standard error (the lines with
// the program's name), without that name.
std::string library_messages(const std::string &err)
{
    std::string prefix = std::string(program_invocation_short_name) + ": ";
    std::string out;
    for (auto &line : ks_docs::lines_of(err))
        if (line.compare(0, prefix.size(), prefix) == 0)
            out += line.substr(prefix.size()) + "\n";
    return out;
}

class PolicyExample : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *dir : {"/var", "/var/lib", "/var/lib/tarvo", "/var/lib/tarvo/restok"})
            mkdir(dir, 0755);
        for (const char *f : {ks_sim::RESTOK_TOKENS_STATE, ks_sim::RESTOK_REQUESTS_STATE,
                              ks_sim::RESTOK_MANAGER_STATE, ks_sim::CREDP_REQUESTS_STATE})
            unlink(ks_sim::run_path(f).c_str());
        log_to_stderr(0);
    }
    void TearDown() override { unlink(POLICY_PATH); }

    // Loads the policy text as the boot does (root and "tcb" tokens, load,
    // manager, "SRC", definition, activation): the start-up's result and
    // the library's messages.
    int boot_policy(const std::string &text, std::string &messages)
    {
        std::ofstream(POLICY_PATH, std::ios::trunc) << text;
        EXPECT_EQ(init_security_policy(), 0);
        testing::internal::CaptureStderr();
        int result = load_security_policy();
        messages = library_messages(testing::internal::GetCapturedStderr());
        return result;
    }
};

TEST_F(PolicyExample, PageShowsTheExampleFile)
{
    std::string file = ks_docs::docs_file("examples/restok.conf");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(ks_docs::page_block(PAGE, "example: examples/restok.conf"), file);
}

TEST_F(PolicyExample, LoadsIntoTheTokensAndPoliciesThePageShows)
{
    std::string messages;
    EXPECT_EQ(boot_policy(ks_docs::docs_file("examples/restok.conf"), messages), 0) << messages;
    EXPECT_EQ(view("restok"), ks_docs::page_block(PAGE, "expect: ks-sim restok"));
    EXPECT_EQ(view("credp"), ks_docs::page_block(PAGE, "expect: ks-sim credp"));
    // The example is not signed here: the only message is the signature's.
    EXPECT_EQ(messages, "File '/var/lib/tarvo/restok/restok.conf' fails 'tcb' signature\n");
}

// Each faulty example of the page's error section, with the messages the
// page gives for it and the start-up's result.
TEST_F(PolicyExample, FaultyExamplesGiveThePagesMessages)
{
    struct {
        const char *name;
        int result;
    } cases[] = {
        {"duplicate-package", -4},
        {"undefined-resource", 0},
        {"package-inside-record", -4},
    };
    for (auto &c : cases) {
        SetUp();
        std::string text = ks_docs::page_block(PAGE, std::string("example: ") + c.name);
        ASSERT_FALSE(text.empty()) << c.name;
        std::string messages;
        EXPECT_EQ(boot_policy(text, messages), c.result) << c.name;
        std::string want = "File '/var/lib/tarvo/restok/restok.conf' fails 'tcb' signature\n" +
                           ks_docs::page_block(PAGE, std::string("expect: ") + c.name);
        EXPECT_EQ(messages, want) << c.name;
    }
}

}  // namespace
