// Socket policies: names to numbers, the growth of the list, and the
// socket step over the objects of the provider of "_socket_".
#include "restok/socket_policy.h"

#include "restok/policy.h"
#include "restok/policy_testing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using policy_testing::parsed;
using policy_testing::w;

struct item {
    int family, type, protocol;
};

TEST(SocketPolicy, Names)
{
    struct {
        const char *name;
        int rc;
        item expected;
    } cases[] = {
        {"inet stream tcp", 0, {2, 1, 6}},
        {"unix dgram", 0, {1, 2, 0}},
        {"netlink", 0, {16, 0, 0}},
        {"inet6 raw icmpv6", 0, {10, 3, 58}},
        {"inet dgram udp trailing words", 0, {2, 2, 17}},
        {"atmsvc seqpacket", 0, {20, 5, 0}},
        {"max packet", 0, {37, 10, 0}},
        {"inet stream  tcp", -22, {}},   // empty protocol word
        {"inet  stream", -22, {}},       // empty type word
        {"unix stream tcp", -22, {}},    // no protocol table
        {"INET", -22, {}},               // case-sensitive
        {"inet stream tcpx", -22, {}},
        {"inet bogus", -22, {}},
        {"", -22, {}},
        {"inet ", -22, {}},
    };
    for (auto &c : cases) {
        socket_policy *list = socket_policy_new();
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(socket_policy_add(list, c.name, 3, 42), c.rc) << c.name;
        if (c.rc == 0) {
            ASSERT_EQ(list->count, 1) << c.name;
            const socket_policy_item &i = list->items[0];
            EXPECT_EQ(i.family, c.expected.family) << c.name;
            EXPECT_EQ(i.type, c.expected.type) << c.name;
            EXPECT_EQ(i.protocol, c.expected.protocol) << c.name;
            EXPECT_EQ(i.cred_type, 3);
            EXPECT_EQ(i.cred_value, 42);
        } else {
            EXPECT_EQ(list->count, 0) << c.name;
        }
        socket_policy_free(list);
    }
}

TEST(SocketPolicy, GrowsOneItemAtATime)
{
    socket_policy *list = socket_policy_new();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->room, SOCKET_POLICY_ROOM);
    for (int i = 0; i < 22; i++) {
        ASSERT_EQ(socket_policy_add(list, "inet stream", 3, i), 0);
        EXPECT_EQ(list->room, i < SOCKET_POLICY_ROOM ? SOCKET_POLICY_ROOM : i + 1);
    }
    for (int i = 0; i < 22; i++)
        EXPECT_EQ(list->items[i].cred_value, i);
    EXPECT_EQ(socket_policy_load(list), 0);  // releases the list
}

TEST(SocketPolicy, NameLookups)
{
    EXPECT_STREQ(socket_family_name(1), "local");
    EXPECT_STREQ(socket_family_name(0), "unspec");
    EXPECT_STREQ(socket_family_name(16), "netlink");
    EXPECT_EQ(socket_family_name(21), nullptr);
    EXPECT_STREQ(socket_type_name(10), "packet");
    EXPECT_EQ(socket_type_name(6), nullptr);
    EXPECT_STREQ(socket_protocol_name(0, socket_ip_protocols, 27), "hopopts");
    EXPECT_STREQ(socket_protocol_name(256, socket_ip_protocols, 27), "max");
    EXPECT_EQ(socket_protocol_name(6, nullptr, 0), nullptr);
}

TEST(SocketPolicy, StepOverTheProvidersObjects)
{
    struct {
        const char *name;
        const char *objects;
        std::string messages;
    } cases[] = {
        {"valid", "Object: /inet stream tcp\nRequest: GRP::net\n", ""},
        {"without and with extra credentials",
         "Object: /unix\nObject: /netlink\nRequest: a b\n",
         w("No credentials for the object unix") +
             w("Ignoring extra crentials for the object netlink")},
        {"unreadable name", "Object: /inet bogus\nRequest: a\nObject: /unix\nRequest: a\n",
         w("Failed adding socket policy for 'inet bogus'") +
             w("Not loading new socket policy due to errors")},
        {"objects not named with '/'", "Object: plain\nRequest: a\n", ""},
    };
    for (auto &c : cases) {
        parsed p(std::string("Package: sockets\nProvides: _socket_\n") + c.objects);
        ASSERT_GE(p.rc, 0) << c.name << p.messages;
        ASSERT_EQ(p.cfg->socket_package->provider, p.package("sockets")) << c.name;
        testing::internal::CaptureStderr();
        load_socket_policy(p.cfg, p.package("sockets"));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.messages) << c.name;
    }
}

}  // namespace
