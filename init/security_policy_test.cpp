// The policy start-up's token definitions against the simulated token
// module (sandboxed).
#include "init/security_policy.h"

#include "init/log.h"
#include "restok/restok.h"
#include "sim/model.h"
#include "sim/models/restok_tokens.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

TEST(InitSecurityPolicy, ResultsByFailingStep)
{
    struct { const char *faults; int rc; } cases[] = {
        {"", 0},
        {"restok.root_fails\n", -1},
        {"restok.root_zero\n", -1},
        {"restok.tcb_fails\n", -2},
        {"restok.open=2\n", -1},
    };
    log_to_stderr(0);
    for (auto &c : cases) {
        unlink(ks_sim::run_path(ks_sim::RESTOK_TOKENS_STATE).c_str());
        ks_sim::write_state("faults", c.faults);
        testing::internal::CaptureStderr();
        EXPECT_EQ(init_security_policy(), c.rc) << c.faults;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "initialize security policy\n");
        if (c.rc == 0) {
            auto tree = ks_sim::restok_tokens();
            ASSERT_EQ(tree.size(), 2u);
            EXPECT_EQ(tree[0].name, "");
            EXPECT_EQ(tree[0].owner, 0);
            EXPECT_EQ(tree[1].name, "tcb");
            EXPECT_EQ(tree[1].owner, tree[0].id);
        }
    }
    ks_sim::write_state("faults", "");
}

// Bytes that do not verify under "tcb" are refused when a trusted policy
// is required: nothing of them reaches the kernel.
TEST(LoadSecurityPolicy, UntrustedBytesAreRefusedWhenTrustIsRequired)
{
    const std::string path = "/var/lib/tarvo/restok/restok.conf";
    for (const char *dir : {"/var", "/var/lib", "/var/lib/tarvo", "/var/lib/tarvo/restok"})
        mkdir(dir, 0755);
    log_to_stderr(0);
    for (const char *f : {ks_sim::RESTOK_TOKENS_STATE, ks_sim::RESTOK_REQUESTS_STATE,
                          ks_sim::RESTOK_MANAGER_STATE})
        unlink(ks_sim::run_path(f).c_str());
    ks_sim::write_state("faults", "");
    std::ofstream(path) << "Package: net\nProvide: dialout\nObject: dial\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_security_policy(true), -5);
    testing::internal::GetCapturedStderr();
    std::vector<std::string> requests;
    ks_sim::read_records(ks_sim::run_path(ks_sim::RESTOK_REQUESTS_STATE), requests);
    EXPECT_TRUE(requests.empty());
    unlink(path.c_str());
}

// The policy start-up: load, manager, "SRC", definition and activation,
// each step's trace and the result by the steps that failed.
TEST(LoadSecurityPolicy, ResultsByFailingStep)
{
    struct {
        const char *name;
        const char *policy;  // null: no policy file
        int rc;
        const char *traces;
    } cases[] = {
        {"no policy file", nullptr, -4, ""},
        {"defined and activated", "Package: net\nProvide: dialout\nObject: dial\n", 0,
         "Untrusted configuration\nBecome a manager\nDefine SRC 3\nPolicy defined\n"
         "Policy activated\n"},
        {"resources not defined", "Package: net\nObject: dial\nRequest: UID::nobody-here\n", -2,
         "Untrusted configuration\nBecome a manager\nDefine SRC 3\nPolicy activated\n"},
        {"a source is a token inside SRC",
         "Package: net\nSource: s\nObject: dial\nRequest: UID::nobody-here SRC::s\n", -2,
         "Untrusted configuration\nBecome a manager\nDefine SRC 3\nPolicy activated\n"},
    };
    const std::string path = "/var/lib/tarvo/restok/restok.conf";
    for (const char *dir : {"/var", "/var/lib", "/var/lib/tarvo", "/var/lib/tarvo/restok"})
        mkdir(dir, 0755);
    log_to_stderr(0);
    for (auto &c : cases) {
        for (const char *f : {ks_sim::RESTOK_TOKENS_STATE, ks_sim::RESTOK_REQUESTS_STATE,
                              ks_sim::RESTOK_MANAGER_STATE})
            unlink(ks_sim::run_path(f).c_str());
        ks_sim::write_state("faults", "");
        unlink(path.c_str());
        if (c.policy)
            std::ofstream(path) << c.policy;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_security_policy(), c.rc) << c.name;
        std::string err = testing::internal::GetCapturedStderr();
        // Only the boot's traces: the library's own messages carry the
        // program's name.
        std::string traces;
        size_t pos = 0;
        std::string prefix = std::string(program_invocation_short_name) + ": ";
        while (pos < err.size()) {
            size_t nl = err.find('\n', pos);
            std::string line = err.substr(pos, nl - pos + 1);
            if (line.compare(0, prefix.size(), prefix) != 0)
                traces += line;
            pos = nl + 1;
        }
        EXPECT_EQ(traces, c.traces) << c.name << "\n" << err;
        std::vector<std::string> requests;
        ks_sim::read_records(ks_sim::run_path(ks_sim::RESTOK_REQUESTS_STATE), requests);
        if (!c.policy)
            EXPECT_TRUE(requests.empty()) << c.name;
        else
            EXPECT_EQ(ks_sim::restok_manager_value(getpid()), ks_sim::restok_token_id("tcb"))
                << c.name;
    }
    unlink(path.c_str());
}

}  // namespace
