// A whole boot in R&D mode with signature checking off on a device with a
// resource-token policy: the policy's packages and tokens reach the
// simulated token module and its objects the object-policy module.
#include "creds/creds.h"
#include "sim/testing/sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using ks_sim::testing::device;

bool has_prefix(const std::vector<std::string> &records, const std::string &prefix)
{
    return std::any_of(records.begin(), records.end(), [&](const std::string &r) {
        return r.compare(0, prefix.size(), prefix) == 0;
    });
}

TEST(SecurityPolicyBoot, PolicyReachesTheKernel)
{
    device d;
    d.write_file("/etc/tarvo/.keep", "");
    d.write_file("/var/lib/tarvo/.keep", "");
    d.write_file("/sbin/preinit", "#!/bin/sh\n");
    d.write_file("/.ks-sim/soc-info", "SoC Info\t: GP");  // R&D mode
    d.write_file("/etc/tarvo/nosigcheck", "");
    d.write_file("/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    d.write_file("/etc/group", "root:x:0:\nstaff:x:50:\n");
    d.write_file("/var/lib/tarvo/restok/restok.conf",
                 "Package: net\nProvide: dialout\nObject: dial\nPolicy: add\n"
                 "Request: UID::root GRP::staff dialout\n");

    auto run = d.run({KS_INIT_PATH});
    auto tokens = d.run_records("restok.requests");
    auto policies = d.run_records("credp.requests");

    EXPECT_TRUE(has_prefix(tokens, "0x89F3 ")) << run.output;
    EXPECT_TRUE(has_prefix(tokens, "0x89F1 0 3 SRC = ")) << run.output;
    EXPECT_TRUE(has_prefix(tokens, "0x89F1 0 3 net = ")) << run.output;
    std::vector<std::string> dial;
    for (auto &p : policies)
        if (p.find(" name=9:net::dial ") != std::string::npos)
            dial.push_back(p);
    ASSERT_EQ(dial.size(), 1u) << run.output;
    EXPECT_EQ(dial[0].compare(0, 17, "0x89F0 flags=0x1a"), 0) << dial[0];
    EXPECT_EQ(dial[0].substr(dial[0].size() - 4), " = 0") << dial[0];
    // The user root and the group staff are among the granted credentials.
    size_t from = dial[0].find(" words=") + 7;
    std::string words = dial[0].substr(from, dial[0].size() - 4 - from);
    std::vector<uint32_t> list;
    for (size_t pos = 0; pos < words.size();) {
        size_t comma = words.find(',', pos);
        list.push_back(uint32_t(std::stoul(words.substr(pos, comma - pos), nullptr, 16)));
        pos = comma == std::string::npos ? words.size() : comma + 1;
    }
    creds_handle set = creds_from_list(list.data(), int(list.size()));
    ASSERT_NE(set, nullptr) << dial[0];
    EXPECT_EQ(creds_has(set, CREDS_TYPE_UID, 0), 1) << dial[0];
    EXPECT_EQ(creds_has(set, CREDS_TYPE_GRP, 50), 1) << dial[0];
    creds_release(set);
}

}  // namespace
