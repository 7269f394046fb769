// Base fixture of the models' own tests, run on the host without the
// sandbox: the models keep their state in a fresh temporary directory,
// named through KS_SIM_STATE and removed after the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace ks_sim::testing {

class StateDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ks-sim-state.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("KS_SIM_STATE", dir.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KS_SIM_STATE");
        ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
    }
    std::string dir;  // the state directory
};

}  // namespace ks_sim::testing
