// Defining a loaded policy in the kernel and activating it, against the
// simulated token and object-policy modules (in the sandbox).
#include "restok/policy.h"
#include "restok/policy_testing.h"
#include "restok/restok.h"

#include "sim/model.h"
#include "sim/models/creds.h"
#include "sim/models/restok_tokens.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using policy_testing::w;

const char POLICY[] = "/tmp/policy.conf";

// Forgets the tokens and requests of earlier cases; arms the faults.
void fresh_kernel(const std::string &faults = "")
{
    for (const char *f : {ks_sim::RESTOK_TOKENS_STATE, ks_sim::RESTOK_REQUESTS_STATE,
                          ks_sim::RESTOK_MANAGER_STATE, ks_sim::CREDP_REQUESTS_STATE,
                          "counters"})
        unlink(ks_sim::run_path(f).c_str());
    ks_sim::write_state("faults", faults);
}

std::vector<std::string> records(const char *name)
{
    std::vector<std::string> out;
    ks_sim::read_records(ks_sim::run_path(name), out);
    return out;
}

// A policy loaded from text; the load's messages are dropped.
struct policy {
    RESTOK::configuration *cfg = nullptr;
    explicit policy(const std::string &text)
    {
        std::ofstream(POLICY, std::ios::trunc) << text;
        testing::internal::CaptureStderr();
        cfg = restok_load(POLICY, nullptr, 0);
        testing::internal::GetCapturedStderr();
    }
    ~policy() { restok_destroy(cfg); }
    RESTOK::package *package(const char *name) const
    {
        return RESTOK::find_package(cfg, name, std::strlen(name));
    }
    // Runs fn with standard error captured; its result and the messages.
    template <class F> std::pair<int, std::string> run(F fn)
    {
        testing::internal::CaptureStderr();
        int rc = fn(cfg);
        return {rc, testing::internal::GetCapturedStderr()};
    }
};

// A policy request as the object-policy module recorded it.
struct sent {
    std::string flags;
    std::string name;
    creds_handle set = nullptr;
    ~sent() { creds_release(set); }
};

std::vector<std::unique_ptr<sent>> sent_policies()
{
    std::vector<std::unique_ptr<sent>> out;
    for (auto &r : records(ks_sim::CREDP_REQUESTS_STATE)) {
        // "0x89F0 flags=0x19 name=LEN:NAME count=N words=W1,W2 = 0"
        auto s = std::make_unique<sent>();
        size_t f = r.find("flags=") + 6, n = r.find(" name=");
        s->flags = r.substr(f, n - f);
        size_t colon = r.find(':', n);
        size_t count = r.find(" count=", colon);
        s->name = r.substr(colon + 1, count - colon - 1);
        size_t words = r.find(" words=") + 7;
        std::vector<uint32_t> list;
        std::string rest = r.substr(words, r.rfind(" = ") - words);
        for (size_t pos = 0; rest != "(null)" && pos < rest.size();) {
            size_t comma = rest.find(',', pos);
            list.push_back(uint32_t(std::stoul(rest.substr(pos, comma - pos), nullptr, 16)));
            pos = comma == std::string::npos ? rest.size() : comma + 1;
        }
        s->set = creds_from_list(list.data(), int(list.size()));
        out.push_back(std::move(s));
    }
    return out;
}

// The credentials of a set as (type, value) pairs, in entry order.
std::vector<std::pair<int, int>> entries(const creds_set *set)
{
    std::vector<std::pair<int, int>> out;
    int value;
    for (int i = 0;; i++) {
        int type = creds_entry(set, i, &value);
        if (type == -1)
            break;
        out.emplace_back(type, value);
    }
    return out;
}

long token(const char *name) { return ks_sim::restok_token_id(name); }

TEST(PolicyActivation, DefineAndActivate)
{
    fresh_kernel();
    policy p("Package: net\n"
             "Provide: dialout\n"
             "Object: dial\n"
             "Policy: add\n"
             "Request: UID::root dialout UID::ghost\n"
             "\n"
             "Package: other\n"
             "Object: net::dial\n"
             "Request: GRP::alice\n"
             "Object: net::dialout\n"
             "Request: GRP::staff\n"
             "\n"
             "Package: sockets\n"
             "Provides: _socket_\n"
             "Object: /inet stream tcp\n"
             "Request: net::dialout\n"
             "Object: plain\n");
    ASSERT_NE(p.cfg, nullptr);

    auto defined = p.run(restok_define_resources);
    EXPECT_EQ(defined.first, -1);
    EXPECT_EQ(defined.second, w("Resource 'UID::ghost' cannot be defined -- package not "
                                "configured for GRP (3) but 1"));
    EXPECT_EQ(records(ks_sim::RESTOK_REQUESTS_STATE),
              (std::vector<std::string>{
                  "0x89F1 0 0  = 1",
                  "0x89F1 0 3 net = 2",
                  "0x89F1 2 7 dialout = 3",
                  "0x89F1 2 4 dial = 4",
                  "0x89F1 0 5 other = 5",
                  "0x89F1 0 7 sockets = 6",
                  "0x89F1 6 5 plain = 7",
              }));
    EXPECT_EQ(p.package("net")->id, 2);
    EXPECT_EQ(p.package("net")->type, restok_grp_type);
    EXPECT_EQ(p.package("net")->resources->value, 3);
    EXPECT_EQ(p.cfg->system_package->id, 1);

    auto activated = p.run(restok_activate_policy);
    EXPECT_EQ(activated.first, 0);
    EXPECT_EQ(activated.second,
              w("Didn't find object for 'SRC::SRC'") +
                  w("Policy for 'dial' refers to undefined resource 'UID(1::-1)::ghost(-1)' -- "
                    "ignored"));
    // One policy: net's own object, with the requests of every object on
    // it. The object of other on dialout sends none: net has no object
    // there; the objects of the socket provider are no object policies.
    auto policies = sent_policies();
    ASSERT_EQ(policies.size(), 1u);
    EXPECT_EQ(policies[0]->name, "net::dial");
    EXPECT_EQ(policies[0]->flags, "0x1a");
    EXPECT_EQ(entries(policies[0]->set),
              (std::vector<std::pair<int, int>>{{1, 0}, {3, 2}, {3, 3}, {3, 1500}}));
}

TEST(PolicyActivation, SourcePackageAndFilter)
{
    fresh_kernel();
    policy p("Package: x\n"
             "Source: trusted\n"
             "Object: SRC::SRC\n"
             "Request: GRP::alice GRP::root\n"
             "Object: SRC::trusted\n"
             "Request: GRP::alice GRP::staff\n"
             "Object: own\n");
    ASSERT_NE(p.cfg, nullptr);
    ASSERT_EQ(p.run(restok_define_resources).first, 0);
    long value;
    int src_type = creds_from_text("SRC::trusted", &value);
    EXPECT_EQ(p.package("SRC")->type, src_type);
    // The source is the token "trusted" inside "SRC", a credential of the
    // group type: the id the hash list gets for it, never a small index
    // that collides with another token's id ("tcb" holds 2).
    EXPECT_EQ(src_type, 3);
    EXPECT_EQ(value, ks_sim::restok_token_in(token("SRC"), "trusted"));
    EXPECT_NE(value, token("tcb"));

    auto activated = p.run(restok_activate_policy);
    EXPECT_EQ(activated.first, 0);
    EXPECT_EQ(activated.second, "");
    auto policies = sent_policies();
    ASSERT_EQ(policies.size(), 3u);
    // Every resource of "SRC" with flags 0 and only what SRC::SRC grants.
    EXPECT_EQ(policies[0]->name, "SRC::trusted");
    EXPECT_EQ(policies[0]->flags, "0x0");
    EXPECT_EQ(entries(policies[0]->set), (std::vector<std::pair<int, int>>{{3, 1500}}));
    EXPECT_EQ(policies[1]->name, "SRC::SRC");
    EXPECT_EQ(entries(policies[1]->set), (std::vector<std::pair<int, int>>{{3, 1500}, {3, 0}}));
    // x's own object carries its package id and its source.
    EXPECT_EQ(policies[2]->name, "x::own");
    EXPECT_EQ(policies[2]->flags, "0x19");
    EXPECT_EQ(entries(policies[2]->set),
              (std::vector<std::pair<int, int>>{{3, int(token("x"))}, {3, int(value)}}));
}

TEST(PolicyActivation, Failures)
{
    // No token module: nothing can be registered.
    fresh_kernel("restok.open=2\n");
    {
        policy p("Package: net\nProvide: dialout\n");
        auto defined = p.run(restok_define_resources);
        EXPECT_EQ(defined.first, -1);
        EXPECT_EQ(defined.second,
                  w("Could not register package '' for the kernel module -- return id -1") +
                      w("Could not register package 'net' for the kernel module -- return id -1") +
                      w("Resource 'net::dialout' cannot be registered -- package is not "
                        "registerable"));
        EXPECT_EQ(p.package("net")->id, -1);
    }
    // A refused policy is reported and the step goes on.
    fresh_kernel("credp.fail=1\n");
    {
        policy p("Package: a\nObject: o1\nObject: o2\n");
        ASSERT_EQ(p.run(restok_define_resources).first, 0);
        auto activated = p.run(restok_activate_policy);
        EXPECT_EQ(activated.first, 0);
        EXPECT_EQ(activated.second, w("Didn't find object for 'SRC::SRC'") +
                                        w("Failed loading policy for 'a::o1'") +
                                        w("Failed loading policy for 'a::o2'"));
    }
    // A request for a source is the source's token.
    fresh_kernel();
    {
        policy p("Package: a\nSource: s\nObject: o\nRequest: SRC::s\n");
        ASSERT_EQ(p.run(restok_define_resources).first, 0);
        auto activated = p.run(restok_activate_policy);
        EXPECT_EQ(activated.first, 0);
        EXPECT_EQ(activated.second, w("Didn't find object for 'SRC::SRC'"));
    }
    fresh_kernel();
    EXPECT_EQ(restok_define_resources(nullptr), -1);
    EXPECT_EQ(restok_activate_policy(nullptr), -1);
}

TEST(PolicyActivation, TokenTheKernelDidNotDefineIsGrantedNowhere)
{
    // The kernel's answer for dialout (it would be id 3) is a failure: the
    // token stays unresolved, so no policy carries (GRP, answer).
    struct {
        const char *fault;
        const char *answer;
        const char *errno_text;
    } cases[] = {
        {"restok.new_zero=3\n", "0", ""},
        {"restok.new_fails=3\n", "-1", ": Invalid argument"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        fresh_kernel(c.fault);
        policy p("Package: net\nProvide: dialout\nObject: dial\nRequest: dialout UID::root\n");
        ASSERT_NE(p.cfg, nullptr);
        auto defined = p.run(restok_define_resources);
        EXPECT_EQ(defined.first, -1);
        EXPECT_EQ(defined.second, policy_testing::prog() +
                                      "Could not register token 'net::dialout' -- return id " +
                                      c.answer + c.errno_text + "\n");
        EXPECT_EQ(p.package("net")->resources->value, -1);
        auto activated = p.run(restok_activate_policy);
        EXPECT_EQ(activated.first, 0);
        auto policies = sent_policies();
        ASSERT_EQ(policies.size(), 1u);
        EXPECT_EQ(policies[0]->name, "net::dial");
        EXPECT_EQ(entries(policies[0]->set),
                  (std::vector<std::pair<int, int>>{{3, 2}, {1, 0}}));
    }
}

TEST(PolicyActivation, SystemPackageTheKernelDidNotDefine)
{
    struct {
        const char *fault;
        const char *answer;
    } cases[] = {{"restok.root_zero\n", "0"}, {"restok.root_fails\n", "-1"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        fresh_kernel(c.fault);
        policy p("Package: _system_\nProvide: shared\n");
        ASSERT_NE(p.cfg, nullptr);
        auto defined = p.run(restok_define_resources);
        EXPECT_EQ(defined.first, -1);
        EXPECT_EQ(p.cfg->system_package->id, -1);
        EXPECT_EQ(defined.second.substr(0, defined.second.find('\n') + 1),
                  w(std::string("Could not register package '' for the kernel module -- return id ") +
                    c.answer));
        EXPECT_NE(defined.second.find("Resource '::shared' cannot be registered -- package is not "
                                      "registerable"),
                  std::string::npos);
    }
}

TEST(PolicyActivation, ObjectWhosePolicyLineDoesNotParseIsNotLoaded)
{
    fresh_kernel();
    policy p("Package: a\n"
             "Object: o1\nPolicy: add typo\n"
             "Object: o2\nPolicy: add set\n"
             "Object: o3\n");
    ASSERT_NE(p.cfg, nullptr);
    ASSERT_EQ(p.run(restok_define_resources).first, 0);
    auto activated = p.run(restok_activate_policy);
    EXPECT_EQ(activated.first, -1);
    EXPECT_EQ(activated.second,
              w("Didn't find object for 'SRC::SRC'") +
                  w("Policy for 'a::o1' not loaded -- its 'Policy:' line does not parse") +
                  w("Policy for 'a::o2' not loaded -- its 'Policy:' line does not parse"));
    auto policies = sent_policies();
    ASSERT_EQ(policies.size(), 1u);
    EXPECT_EQ(policies[0]->name, "a::o3");
    EXPECT_EQ(policies[0]->flags, "0x19");
}

TEST(PolicyActivation, ResourcesOfAnotherType)
{
    // CAP gives AID its type; AID's names translate to the kernel's own
    // application-id type.
    fresh_kernel();
    policy p("Package: AID\nProvides: CAP\nProvide: app1\n");
    ASSERT_NE(p.cfg, nullptr);
    long value;
    int aid = creds_from_text("AID::app1", &value);
    ASSERT_GT(aid, 3);
    auto defined = p.run(restok_define_resources);
    EXPECT_EQ(defined.first, -1);
    EXPECT_EQ(defined.second,
              w("Resource 'AID::app1' has conflicting resource type " + std::to_string(aid) +
                " != 0 -- all resources of package must be of same type"));
    EXPECT_EQ(p.package("AID")->resources->value, value);
}

TEST(PolicyActivation, NamesThatDoNotFit)
{
    fresh_kernel();
    long value = 0;
    std::string long_name(600, 'n');
    EXPECT_EQ(restok_credential("a", long_name.c_str(), &value), -1);
    EXPECT_EQ(value, -1);
    EXPECT_EQ(restok_credential("UID", "root", &value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(define_object_policy("a", 0x19, long_name.c_str(), nullptr), -1);
    EXPECT_EQ(define_object_policy(nullptr, 0x19, "/inet", nullptr), 0);
    EXPECT_EQ(records(ks_sim::CREDP_REQUESTS_STATE),
              (std::vector<std::string>{"0x89F0 flags=0x19 name=5:/inet count=0 words=(null) = 0"}));
}

}  // namespace
