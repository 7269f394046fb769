// Loading the policy with the user and group databases of the device image,
// the load buffer, and printing a loaded policy (in the sandbox: the
// databases are read at their fixed paths).
#include "restok/policy.h"
#include "restok/policy_testing.h"
#include "restok/restok.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using policy_testing::prog;
using policy_testing::w;

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// One load: the configuration and what it wrote on standard error.
struct loaded {
    RESTOK::configuration *cfg;
    std::string messages;
    loaded(const char *path, const char *extra = nullptr, int extra_length = 0)
    {
        testing::internal::CaptureStderr();
        cfg = restok_load(path, extra, extra_length);
        messages = testing::internal::GetCapturedStderr();
    }
    ~loaded() { restok_destroy(cfg); }
    RESTOK::package *package(const char *name) const
    {
        return RESTOK::find_package(cfg, name, std::strlen(name));
    }
};

std::string printed(const RESTOK::configuration *cfg)
{
    testing::internal::CaptureStdout();
    restok_print_policy(cfg);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const char POLICY[] = "/tmp/policy.conf";

std::string fails_signature(const char *path)
{
    return w(std::string("File '") + path + "' fails 'tcb' signature");
}

TEST(PolicyLoad, MissingFiles)
{
    unlink(POLICY);
    loaded missing(POLICY);
    EXPECT_EQ(missing.cfg, nullptr);
    EXPECT_EQ(missing.messages, prog() + "Failed opening '/tmp/policy.conf': " +
                                    std::strerror(ENOENT) + "\n" +
                                    w("Could not get all requested files"));

    write_file(POLICY, "Package: a\n");
    loaded extra(POLICY, "/tmp/no-extra.conf", 0);
    EXPECT_EQ(extra.cfg, nullptr);
    EXPECT_EQ(extra.messages, prog() + "Failed opening '/tmp/no-extra.conf': " +
                                  std::strerror(ENOENT) + "\n" + fails_signature(POLICY) +
                                  w("Could not get all requested files"));
    EXPECT_EQ(restok_load(nullptr, "x", -1), nullptr);
}

TEST(PolicyLoad, AccountsAndUntrustedPolicy)
{
    write_file(POLICY, "Package: app\nObject: o\nRequest: UID::alice GRP::staff GID::root\n");
    loaded l(POLICY);
    ASSERT_NE(l.cfg, nullptr) << l.messages;
    EXPECT_EQ(l.messages, fails_signature(POLICY));
    EXPECT_EQ(restok_is_untrusted(l.cfg), 1);
    EXPECT_EQ(l.cfg->flags & RESTOK::CONFIG_EXTRA, 0);

    // Built-in packages first, then the databases, then the policy.
    std::string order;
    for (RESTOK::package *p = l.cfg->packages; p; p = p->next)
        order += std::string("[") + p->name + "]";
    EXPECT_EQ(order, "[SRC][_socket_][][UID][GID][GRP][app]");
    EXPECT_EQ(l.cfg->source_package, l.package("SRC"));
    EXPECT_EQ(l.cfg->source_package->provider, l.cfg->source_package);
    EXPECT_EQ(l.cfg->socket_package->provider, nullptr);
    EXPECT_EQ(l.cfg->system_package->provider, nullptr);
    EXPECT_EQ(l.package("GRP")->provider, l.package("GID"));

    std::string values;
    for (RESTOK::request *r = l.package("app")->objects->requests; r; r = r->next)
        values += std::string(r->pkg->name) + ":" + r->res->name + "=" +
                  std::to_string(r->res->value) + " ";
    EXPECT_EQ(values, "UID:alice=1500 GRP:staff=50 GID:root=0 ");
    EXPECT_EQ(l.cfg->flags & RESTOK::CONFIG_ACCOUNT_MODE, 0);
}

TEST(PolicyLoad, ParseErrorsAndUnresolvedResources)
{
    write_file(POLICY, "Package: a\nPackage: b\n");
    loaded bad(POLICY);
    EXPECT_EQ(bad.cfg, nullptr);
    EXPECT_EQ(bad.messages, fails_signature(POLICY) +
                                w("The package tag ' b' was not the first in record") +
                                w("Error in processing the policy"));

    // The policy text does not continue the group database's package.
    write_file(POLICY, "Object: o\n");
    loaded orphan(POLICY);
    EXPECT_EQ(orphan.cfg, nullptr);
    EXPECT_EQ(orphan.messages, fails_signature(POLICY) + w("No current package") +
                                   w("Error in processing the policy"));

    write_file(POLICY, "Package: a\nObject: o\nRequest: b::x\n\nPackage: b\n");
    loaded pending(POLICY);
    ASSERT_NE(pending.cfg, nullptr);
    EXPECT_EQ(pending.messages,
              fails_signature(POLICY) +
                  w("Undefined resource 'b::x' referenced, but not provided by the package") +
                  w("Warning: configuration has 1 unresolved resources"));
    EXPECT_EQ(pending.cfg->unresolved, 1);
}

TEST(PolicyLoad, ExtraBytesReplaceADefinition)
{
    write_file(POLICY, "Package: a\nObject: first\n");
    const char extra[] = "Package: a\nObject:x\n";
    ASSERT_EQ(std::strlen(extra), 20u);
    loaded l(POLICY, extra, 20);
    ASSERT_NE(l.cfg, nullptr) << l.messages;
    EXPECT_EQ(l.messages, fails_signature(POLICY));
    EXPECT_NE(l.cfg->flags & RESTOK::CONFIG_EXTRA, 0);
    RESTOK::package *a = l.package("a");
    ASSERT_NE(a->objects, nullptr);
    EXPECT_STREQ(a->objects->res->name, "x");
    EXPECT_EQ(a->objects->next, nullptr);

    // Without a final newline the extra bytes cannot be parsed.
    loaded cut(POLICY, "Package: b\nObject: y", 20);
    EXPECT_EQ(cut.cfg, nullptr);

    // An extra file is read after the policy and a newline.
    write_file("/tmp/extra.conf", "Package: a\nObject: z\n");
    loaded file(POLICY, "/tmp/extra.conf", 0);
    ASSERT_NE(file.cfg, nullptr) << file.messages;
    EXPECT_STREQ(file.package("a")->objects->res->name, "z");
}

TEST(PolicyLoad, AccountFileProblems)
{
    std::string passwd = read_file("/etc/passwd");
    std::string group = read_file("/etc/group");
    write_file(POLICY, "Package: app\n");

    // No group database: GID has no resources, GRP is still its.
    unlink("/etc/group");
    {
        loaded l(POLICY);
        ASSERT_NE(l.cfg, nullptr);
        EXPECT_EQ(l.package("GID")->resources, nullptr);
        EXPECT_EQ(l.package("GRP")->provider, l.package("GID"));
        EXPECT_EQ(l.messages, fails_signature(POLICY) + prog() +
                                  "Failed opening '/etc/group': " + std::strerror(ENOENT) + "\n");
    }
    write_file("/etc/group", group);

    // A database that fails to parse keeps what it made before the error.
    write_file("/etc/passwd", passwd + "-Package: X\nlate:x:7:7\n");
    {
        loaded l(POLICY);
        ASSERT_NE(l.cfg, nullptr);
        EXPECT_EQ(l.messages, fails_signature(POLICY) + w("The package tag ' X' not allowed here") +
                                  w("Failed parsing '/etc/passwd'"));
        RESTOK::resource *root = RESTOK::find_resource(l.package("UID"), "root", 4);
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(root->value, 0);
        EXPECT_EQ(RESTOK::find_resource(l.package("UID"), "late", 4), nullptr);
    }
    write_file("/etc/passwd", passwd);
}

TEST(PolicyLoad, LoadFiles)
{
    std::string args[11];
    for (int i = 0; i < 11; i++) {
        args[i] = "/tmp/part" + std::to_string(i);
        write_file(args[i], std::to_string(i));
    }
    int flags = -1, size = -1;
    char *buf = restok_load_files(
        2, 3, &flags, &size, "<", args[0].c_str(), "", args[1].c_str(), "", args[2].c_str(), "",
        args[3].c_str(), "", args[4].c_str(), "", args[5].c_str(), "", args[6].c_str(), "",
        args[7].c_str(), "", args[8].c_str(), "", args[9].c_str(), ">", args[10].c_str(),
        nullptr);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(flags, 0);
    // Only the first ten files are read; head and tail are zeroed.
    EXPECT_EQ(std::string(buf, size_t(size)),
              std::string(2, '\0') + "<0123456789" + std::string(3, '\0'));
    std::free(buf);

    struct {
        const char *name;
        const char *file;
        int flags;
        std::string content;
    } cases[] = {
        {"missing", "/tmp/none", RESTOK_LOAD_OPEN, "a:b:"},
        {"directory", "/tmp", RESTOK_LOAD_OPEN, "a:b:"},
        {"FIFO", "/tmp/load-fifo", RESTOK_LOAD_OPEN, "a:b:"},
        {"1 GiB", "/tmp/load-huge", RESTOK_LOAD_READ, "a:b:"},
        {"empty", "/tmp/empty", 0, "a:b:"},
        {"read", "/tmp/part1", 0, "a:1b:"},
    };
    write_file("/tmp/empty", "");
    unlink("/tmp/load-fifo");
    ASSERT_EQ(mkfifo("/tmp/load-fifo", 0600), 0);
    write_file("/tmp/load-huge", "");
    ASSERT_EQ(truncate("/tmp/load-huge", off_t(1) << 30), 0);
    // A file that cannot be loaded is reported at once: a FIFO never
    // stalls the load (the alarm ends a test that waits).
    alarm(20);
    testing::internal::CaptureStderr();
    for (auto &c : cases) {
        buf = restok_load_files(0, 0, &flags, &size, "a:", c.file, "b:", nullptr, nullptr);
        ASSERT_NE(buf, nullptr) << c.name;
        EXPECT_EQ(flags, c.flags) << c.name;
        EXPECT_EQ(std::string(buf, size_t(size)), c.content) << c.name;
        std::free(buf);
    }
    // A named token verifies the next file: nothing verifies here.
    buf = restok_load_files(0, 0, &flags, &size, RESTOK_VERIFY, "tcb", "", "/tmp/part2",
                            nullptr);
    EXPECT_EQ(flags, RESTOK_LOAD_VERIFY);
    std::free(buf);
    // The token is recognised by its address, not by its characters.
    buf = restok_load_files(0, 0, &flags, &size, "VERIFY", "/tmp/part2", nullptr);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(std::string(buf, size_t(size)), "VERIFY2");
    std::free(buf);
    testing::internal::GetCapturedStderr();
    alarm(0);
    unlink("/tmp/load-fifo");
    unlink("/tmp/load-huge");

    testing::internal::CaptureStderr();
    EXPECT_EQ(restok_load_files(0x7fffffff, 1, &flags, &size, nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              w("Combined head_room(2147483647) and tail_room(1) exceeds SSIZE_MAX(2147483647)"));
}

TEST(PolicyLoad, PrintAndReload)
{
    const std::string policy = "Package: net\n"
                               "Source: origin\n"
                               "Provides: extras\n"
                               "Provide: dialout modem\n"
                               "Object: dial\n"
                               "Policy: add\n"
                               "Request: UID::alice GRP::staff dialout\n"
                               "Key: some key\n"
                               "Object: plain\n"
                               "Policy: set inheritable realxid\n"
                               "Object: other::thing\n"
                               "\n"
                               "Package: base\n"
                               "Provides: _system_\n"
                               "Provide: audio\n"
                               "\n"
                               "Package: app\n"
                               "Object: play\n"
                               "Request: audio net::modem\n";
    write_file(POLICY, policy);
    loaded first(POLICY);
    ASSERT_NE(first.cfg, nullptr) << first.messages;
    std::string text = printed(first.cfg);
    EXPECT_EQ(text, "Package: net\n"
                    "Source: origin\n"
                    "Provides:\n\textras\n"
                    "Provide:\n\tdialout\n\tmodem\n\tdial\n\tplain\n"
                    "Object: dial\n"
                    "Policy: add\n"
                    "Request:\n\tUID::alice\n\tGRP::staff\n\tnet::dialout\n"
                    "Key: some key\n"
                    "Object: plain\n"
                    "Object: other::thing\n"
                    "\n"
                    "Package: base\n"
                    "Provides:\n\t_system_\n"
                    "Provide:\n\taudio\n"
                    "\n"
                    "Package: app\n"
                    "Provide:\n\tplay\n"
                    "Object: play\n"
                    "Request:\n\taudio\n\tnet::modem\n"
                    "\n");

    // The printed policy loads into the same model.
    write_file(POLICY, text);
    loaded second(POLICY);
    ASSERT_NE(second.cfg, nullptr) << second.messages;
    EXPECT_EQ(printed(second.cfg), text);
    restok_print(nullptr);
}

}  // namespace
