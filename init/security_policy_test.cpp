// The policy start-up's token definitions against the simulated token
// module (sandboxed).
#include "init/security_policy.h"

#include "init/log.h"
#include "restok/restok.h"
#include "sim/model.h"
#include "sim/models/restok_tokens.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

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

}  // namespace
