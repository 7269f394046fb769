// Token requests and the manager start against the simulated token module.
// Runs in the sandbox; the manager start changes the caller's groups and
// credentials, so each case runs in a forked child.
#include "restok/restok.h"

#include "creds/creds.h"
#include "sim/model.h"
#include "sim/models/restok_tokens.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> requests()
{
    std::vector<std::string> out;
    ks_sim::read_records(ks_sim::run_path(ks_sim::RESTOK_REQUESTS_STATE), out);
    return out;
}

// Forgets the token tree, the requests and the faults of earlier cases.
void fresh_module(const std::string &faults = "")
{
    for (const char *f : {ks_sim::RESTOK_TOKENS_STATE, ks_sim::RESTOK_REQUESTS_STATE,
                          ks_sim::RESTOK_MANAGER_STATE})
        unlink(ks_sim::run_path(f).c_str());
    ks_sim::write_state("faults", faults);
}

std::string prog() { return std::string(program_invocation_short_name) + ": "; }

TEST(RestokRequests, RecordWords)
{
    fresh_module();
    EXPECT_EQ(restok_define("", 0), 1);
    EXPECT_EQ(restok_define("tcb", 1), 2);
    EXPECT_EQ(restok_define("tcb", 7), -1);      // no token 7
    EXPECT_EQ(restok_lookup("tcb"), 2);
    EXPECT_EQ(restok_lookup(""), 1);
    EXPECT_EQ(restok_request_89f2(1, 2, 3), 0);
    EXPECT_EQ(restok_register_manager(5), -1);   // 5 is not "tcb"
    // Null names never reach the kernel.
    EXPECT_EQ(restok_define(nullptr, 0), -1);
    EXPECT_EQ(restok_lookup(nullptr), -1);
    EXPECT_EQ(requests(), (std::vector<std::string>{
                              "0x89F1 0 0  = 1",
                              "0x89F1 1 3 tcb = 2",
                              "0x89F1 7 3 tcb = -2 (No such file or directory)",
                              "0x89F0 0 3 tcb = 2",
                              "0x89F0 0 0  = 1",
                              "0x89F2 1 3 2 = 0",
                              "0x89F3 5 0 0 = -1 (Operation not permitted)",
                          }));
}

TEST(RestokRequests, NoModule)
{
    fresh_module("restok.open=2\n");
    EXPECT_EQ(restok_define("", 0), -1);
    EXPECT_EQ(restok_lookup("tcb"), -1);
    EXPECT_EQ(restok_request_89f2(1, 2, 3), -1);
    EXPECT_EQ(restok_register_manager(2), -1);
    EXPECT_TRUE(requests().empty());
    fresh_module();
}

// What one manager start did, seen from the forked child that ran it.
struct outcome {
    int result;
    std::string messages;
    std::vector<gid_t> groups;
    long manager_value;  // the value the module registered, -1 for none
    int holds_tcb;       // the process's credentials hold (GRP, 2)
};

// Takes a capability out of the effective set of the calling process.
int drop_capability(int cap)
{
    __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &head, data) != 0)
        return -1;
    data[cap / 32].effective &= ~(1u << (cap % 32));
    return int(syscall(SYS_capset, &head, data));
}

// A child process. The C library's fork crashes the child under the
// user-mode emulator that runs the armhf tests (qemu-arm 7.2), a plain
// clone system call with the fork flags does not; the test process is
// single-threaded, so nothing of fork's handlers is missed.
pid_t fork_child()
{
#if defined(__arm__)
    return pid_t(syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0));
#else
    return fork();
#endif
}

outcome run_be_manager(const std::vector<gid_t> &groups_before, bool drop_setgid)
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork_child();
    if (pid == 0) {
        close(out[0]);
        close(err[0]);
        dup2(err[1], 2);
        if (!groups_before.empty() && setgroups(groups_before.size(), groups_before.data()) != 0)
            _exit(90);
        if (drop_setgid && drop_capability(CAP_SETGID) != 0)
            _exit(91);
        int r = restok_be_manager();
        gid_t g[128];
        int n = getgroups(128, g);
        long value = ks_sim::restok_manager_value(getpid());
        creds_handle own = creds_for_task(0);
        int holds_tcb = creds_has(own, CREDS_TYPE_GRP, 2);
        creds_release(own);
        FILE *f = fdopen(out[1], "w");
        std::fprintf(f, "%d %ld %d %d", r, value, holds_tcb, n);
        for (int i = 0; i < n; i++)
            std::fprintf(f, " %u", unsigned(g[i]));
        std::fclose(f);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    std::string text, messages;
    char buf[512];
    ssize_t k;
    while ((k = read(err[0], buf, sizeof buf)) > 0)
        messages.append(buf, size_t(k));
    while ((k = read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, size_t(k));
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    outcome o{-999, messages, {}, -1, -1};
    int n = 0;
    std::istringstream s(text);
    s >> o.result >> o.manager_value >> o.holds_tcb >> n;
    for (int i = 0; i < n; i++) {
        unsigned g;
        s >> g;
        o.groups.push_back(g);
    }
    return o;
}

TEST(RestokBeManager, Paths)
{
    long value = -1;
    // The kernel names the credential of a token by the token's name; the
    // simulated credentials module knows the tokens once they exist.
    fresh_module();
    restok_define("tcb", restok_define("", 0));
    bool tcb_translates = creds_from_text("tcb", &value) != -1;
    EXPECT_TRUE(tcb_translates);
    EXPECT_EQ(value, 2);

    std::vector<gid_t> many;
    for (gid_t g = 100; g < 140; g++)
        many.push_back(g);
    many.push_back(2);
    const std::string old_way = prog() + "No tcb -- trying old way\n";
    const std::string no_tcb = prog() + "Could not get 'tcb'\n";
    struct {
        const char *name;
        std::string faults;
        std::vector<gid_t> groups_before;
        bool drop_setgid;
        int result;
        std::string messages;
        std::vector<gid_t> groups_after;  // empty: not checked
        long manager_value;
    } cases[] = {
        {"manager registered", "", {}, false, tcb_translates ? 0 : -22,
         tcb_translates ? "" : prog() + "Failed translation of 'tcb'\n", {},
         tcb_translates ? 2 : -1},
        {"manager refused, groups replaced", "restok.manager_refuses\n", {5, 6}, false,
         tcb_translates ? 0 : -22,
         tcb_translates ? old_way : prog() + "Failed translation of 'tcb'\n",
         tcb_translates ? std::vector<gid_t>{2} : std::vector<gid_t>{5, 6}, -1},
        {"root refused: old way, tcb among the groups", "restok.root_fails\n", {5, 2}, false,
         0, old_way, {5, 2}, -1},
        {"root zero: old way, more than 32 groups", "restok.root_zero\n", many, false, 0,
         old_way, {2}, -1},
        {"tcb refused", "restok.tcb_fails\n", {}, false, -1,
         prog() + "Failed defining the 'tcb': Operation not permitted\n", {}, -1},
        {"setgroups refused", "restok.root_fails\n", {5}, true, -1,
         old_way + prog() + "Failed setgroups for resource manager: Operation not permitted\n" +
             no_tcb,
         {5}, -1},
    };
    for (auto &c : cases) {
        // A tree with root 1 and "tcb" 2, as the boot makes it first.
        fresh_module();
        restok_define("tcb", restok_define("", 0));
        ks_sim::write_state("faults", c.faults);
        outcome o = run_be_manager(c.groups_before, c.drop_setgid);
        EXPECT_EQ(o.result, c.result) << c.name;
        EXPECT_EQ(o.messages, c.messages) << c.name;
        if (!c.groups_after.empty()) {
            EXPECT_EQ(std::multiset<gid_t>(o.groups.begin(), o.groups.end()),
                      std::multiset<gid_t>(c.groups_after.begin(), c.groups_after.end()))
                << c.name;
        }
        EXPECT_EQ(o.manager_value, c.manager_value) << c.name;
        // The manager holds the credential of "tcb", and so does a process
        // that got the token as its group the old way.
        bool tcb_group = std::find(o.groups.begin(), o.groups.end(), gid_t(2)) != o.groups.end();
        EXPECT_EQ(o.holds_tcb, (c.manager_value > 0 || tcb_group) ? 1 : 0) << c.name;
    }
    ks_sim::write_state("faults", "");
}

std::vector<std::string> policy_requests()
{
    std::vector<std::string> out;
    ks_sim::read_records(ks_sim::run_path("credp.requests"), out);
    return out;
}

// When the caller's own credentials cannot be read, no set is applied: a
// set holding only the token would strip the caller of everything else.
TEST(RestokBeManager, UnreadableCredentialsAreNotReplaced)
{
    fresh_module();
    unlink(ks_sim::run_path("credp.requests").c_str());
    restok_define("tcb", restok_define("", 0));
    ks_sim::write_state("faults", "creds.unfit\n");
    outcome o = run_be_manager({}, false);
    ks_sim::write_state("faults", "");
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, prog() + "Cannot read own credentials; 'tcb' not applied: " +
                              std::strerror(EAGAIN) + "\n");
    EXPECT_EQ(o.manager_value, 2);
    EXPECT_TRUE(policy_requests().empty());

    // With readable credentials the set is applied once.
    fresh_module();
    restok_define("tcb", restok_define("", 0));
    o = run_be_manager({}, false);
    EXPECT_EQ(o.result, 0);
    auto applied = policy_requests();
    ASSERT_EQ(applied.size(), 1u);
    EXPECT_EQ(applied[0].substr(0, 17), "0x89F3 flags=0x9 ");
}

// Without a root token the old way defines nothing under an invalid owner.
TEST(RestokBeManager, OldWayWithoutARoot)
{
    fresh_module("restok.root_fails\n");
    outcome o = run_be_manager({}, false);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.messages, prog() + "No tcb -- trying old way\n" + prog() +
                              "Could not get 'tcb'\n");
    for (auto &r : requests())
        EXPECT_NE(r.substr(0, 9), "0x89F1 -1") << r;
    EXPECT_EQ(requests().size(), 3u);  // the root definition and two lookups
    fresh_module();
}

TEST(RestokBeManager, NoModuleAtAll)
{
    fresh_module("restok.open=2\n");
    outcome o = run_be_manager({}, false);
    EXPECT_EQ(o.result, -1);
    EXPECT_EQ(o.messages, prog() + "No tcb -- trying old way\n" + prog() +
                              "Could not get 'tcb'\n");
    fresh_module();
}

TEST(RestokGrpType, SetBeforeMain)
{
    // Without the kernel's own translation "GRP::" is type 3.
    EXPECT_EQ(restok_grp_type, creds_from_text("GRP::", nullptr));
    EXPECT_NE(restok_grp_type, -1);
}

}  // namespace
