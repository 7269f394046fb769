// What the tags of a policy text do to the configuration: packages and
// their redefinition, providers, sources, requests, objects, policy words,
// data and the account-file lines.
#include "restok/policy.h"
#include "restok/policy_testing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using policy_testing::parsed;
using policy_testing::requests;
using policy_testing::w;

std::string names_of_objects(const RESTOK::package *p)
{
    std::string out;
    for (RESTOK::object *o = p->objects; o; o = o->next)
        out += (out.empty() ? "" : " ") + std::string(o->owner->name) + "::" + o->res->name;
    return out;
}

TEST(PolicyTags, Errors)
{
    struct {
        const char *name;
        const char *text;
        uint8_t flags;
        int rc;
        std::string messages;
    } cases[] = {
        {"package not first in record", "Package: a\nObject: o\nPackage: b\n", 0, -2,
         w("The package tag ' b' was not the first in record")},
        {"package in account mode", "Package: a\n", RESTOK::CONFIG_ACCOUNT_MODE, -2,
         w("The package tag ' a' not allowed here")},
        {"provides in account mode", "Provides: a\n", RESTOK::CONFIG_ACCOUNT_MODE, -2,
         w("The Provides tag ' a' not allowed here")},
        {"duplicate package", "Package: a\n\nPackage: a\n", 0, -2,
         w("Duplicate package 'a'")},
        {"provides self", "Package: a\nProvides: a\n", 0, -2,
         w("Package 'a' provides self -- this is not acceptable")},
        {"provides self with extra configuration", "Package: a\nProvides: a\n",
         RESTOK::CONFIG_EXTRA, -2, w("Package 'a' provides self -- this is not acceptable")},
        {"provides without package", "Provides: a\n", 0, -2, w("No current package")},
        {"source without package", "Source: s\n", 0, -2, w("No current package")},
        {"request without package", "Request: x\n", 0, -2, w("No current package")},
        {"provide without package", "Provide: x\n", 0, -2, w("No current package")},
        {"object without package", "Object: x\n", 0, -2, w("No current package")},
        {"data without package", "Key: x\n", 0, -2, w("No current package")},
        {"two sources", "Package: a\nSource: s1\nSource: s2\n", 0, -2,
         w("Package 'a' has multiple source definitions: 's1' and 's2'")},
        {"source of another package", "Package: a\nSource: b::s\n", 0, -2,
         w("Bad source b::s in package 'a'")},
        {"duplicate object", "Package: a\nObject: o\nObject: a::o\n", 0, -2,
         w("Duplicate definition of object 'a::o'")},
        {"policy without object", "Package: a\nPolicy: set\n", 0, -2,
         w("'Policy:  set' without preceding Object in package 'a'\n")},
        {"policy without package", "Policy: set\n", 0, -2,
         w("'Policy:  set' without preceding Object in package '[no-package]'\n")},
    };
    for (auto &c : cases) {
        parsed p(c.text, c.flags);
        EXPECT_EQ(p.rc, c.rc) << c.name;
        EXPECT_EQ(p.messages, c.messages) << c.name;
    }
}

TEST(PolicyTags, RecordsContinueTheCurrentPackage)
{
    parsed p("Package: a\nProvide: x\n\nObject: x\nRequest: y\n\nObject: z\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    EXPECT_EQ(names_of_objects(p.package("a")), "a::x a::z");
    EXPECT_EQ(p.resources("a"), "x y z");
    EXPECT_EQ(p.record_count(), 3);
}

TEST(PolicyTags, ForwardReferencesAreCheckedWhenDefined)
{
    parsed p("Package: a\nObject: o\nRequest: b::x b::y\n\n"
             "Package: b\nProvide: x\n\n"
             "Package: c\n");
    ASSERT_GE(p.rc, 0);
    EXPECT_EQ(p.messages,
              w("Undefined resource 'b::y' referenced, but not provided by the package"));
    EXPECT_EQ(p.cfg->unresolved, 1);
    // The provided resource is the very one the request refers to.
    RESTOK::request *r = p.package("a")->objects->requests;
    EXPECT_EQ(r->res, p.package("b")->resources);
    EXPECT_EQ(r->res->references, 1);
    EXPECT_EQ(r->res->value, -1);
}

TEST(PolicyTags, RequestsOfADefinedPackage)
{
    const char *text = "Package: b\nProvide: x\n\n"
                       "Package: a\nObject: o\nRequest: b::x b::nope :skipped\n";
    parsed p(text);
    ASSERT_GE(p.rc, 0);
    EXPECT_EQ(p.messages, w("The package 'b' does not provide for resource 'nope'"));
    EXPECT_EQ(requests(p.package("a")->objects->requests), "b::x b::nope");
    // Not reported with an extra configuration; still made unresolved.
    parsed extra(text, RESTOK::CONFIG_EXTRA);
    EXPECT_EQ(extra.messages, "");
    EXPECT_EQ(extra.resources("b"), "x nope");
}

TEST(PolicyTags, UnqualifiedRequestsFallBackToTheSystemPackage)
{
    parsed p("Package: base\nProvides: _system_\nProvide: audio\n\n"
             "Package: a\nProvide: own\nObject: o\nRequest: own audio fresh\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    RESTOK::request *r = p.package("a")->objects->requests;
    EXPECT_EQ(requests(r), "a::own ::audio a::fresh");
    EXPECT_EQ(r->next->pkg, p.cfg->system_package);
    EXPECT_EQ(r->next->res->references, 1);
    EXPECT_EQ(r->res->references, 0);
    EXPECT_EQ(p.cfg->system_package->provider, p.package("base"));
}

TEST(PolicyTags, RequestLines)
{
    // A second line replaces the first; loose requests go to every object
    // defined after them.
    parsed p("Package: a\nRequest: x\nObject: o1\nObject: o2\nRequest: y\nRequest: z w\n"
             "Object: o3\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    RESTOK::object *o1 = p.package("a")->objects;
    EXPECT_EQ(requests(o1->requests), "a::x");
    EXPECT_EQ(requests(o1->next->requests), "a::z a::w");
    EXPECT_EQ(requests(o1->next->next->requests), "a::x");
}

TEST(PolicyTags, ObjectsAndPolicyWords)
{
    parsed p("Package: net\nProvide: dialout\nObject: dial\nPolicy: set\n"
             "Object: other::thing\nObject: bad\nPolicy: bogus\nObject: twice\n"
             "Policy: set add\n");
    ASSERT_GE(p.rc, 0);
    EXPECT_EQ(p.messages,
              w("'Policy:  bogus' has unknown keyword(s) in package 'net'\n\n") +
                  w("'Polixy:  set add' has conflicting keyword(s) in package 'net'\n"));
    RESTOK::object *dial = p.package("net")->objects;
    int mask;
    EXPECT_EQ(dial->flags, creds_flags_from_text("set", &mask));
    EXPECT_EQ(dial->mask, mask);
    RESTOK::object *thing = dial->next;
    EXPECT_EQ(thing->owner, p.package("other"));
    EXPECT_EQ(thing->flags, 0);
    EXPECT_EQ(thing->mask, 0);
    EXPECT_EQ(thing->res->references, 1);
    EXPECT_EQ(p.resources("other"), "thing");
    EXPECT_EQ(thing->next->flags, -1);
    EXPECT_EQ(thing->next->mask, 0);
    EXPECT_EQ(thing->next->next->flags, -1);
    EXPECT_NE(thing->next->next->mask, 0);
    // An object without a policy line has the default.
    parsed d("Package: a\nObject: o\n");
    EXPECT_EQ(d.package("a")->objects->flags, CREDS_FLAGS_DEFAULT);
    EXPECT_EQ(d.package("a")->objects->mask, CREDS_FLAGS_DEFAULT_MASK);
}

TEST(PolicyTags, DataRecords)
{
    parsed p("Package: a\nKey: dropped\nObject: o\nKey: k\nRank: 1\n\t2\nGrant: g\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    std::string data;
    for (RESTOK::data_record *d = p.package("a")->objects->data; d; d = d->next)
        data += std::string(d->fld->t->name) + "=" + std::string(d->text, size_t(d->length)) + "|";
    EXPECT_EQ(data, "Key= k|Rank= 1\n\t2|Grant= g|");
    // The first Key had no object: its field holds nothing.
    EXPECT_EQ(p.cfg->header.records->fields->next->value, nullptr);
}

TEST(PolicyTags, SourcesAndProviders)
{
    parsed p("Package: a\nSource: SRC::origin\nProvides: GRPX\n\n"
             "Package: b\nSource: origin\nProvide: a::stolen\n");
    ASSERT_GE(p.rc, 0);
    EXPECT_EQ(p.messages,
              w("Package 'b' tries to provide a credential 'a::stolen' -- ignored"));
    EXPECT_EQ(p.package("a")->source, p.package("b")->source);
    EXPECT_EQ(p.resources("SRC"), "origin");
    EXPECT_EQ(p.package("GRPX")->provider, p.package("a"));
    EXPECT_EQ(p.resources("b"), "");
}

TEST(PolicyTags, ProvidedPackageTakesTheProvidersType)
{
    parsed p("Package: groups\nProvides: GRP\nProvide: g1\n\n"
             "Package: x\nObject: o\nRequest: GRP::g1\n");
    ASSERT_GE(p.rc, 0) << p.messages;
    long value;
    EXPECT_EQ(p.package("groups")->type, creds_from_text("GRP::", &value));
    // The request names GRP but finds the resource in its provider.
    RESTOK::request *r = p.package("x")->objects->requests;
    EXPECT_EQ(r->pkg, p.package("GRP"));
    EXPECT_EQ(r->res, p.package("groups")->resources);
}

TEST(PolicyTags, RedefinitionWithExtraConfiguration)
{
    const char *text = "Package: a\nProvide: kept lost\nObject: own\nProvides: sub\n\n"
                       "Package: b\nObject: o\nRequest: a::kept\n\n"
                       "Package: a\nObject: fresh\n\n"
                       "Package: c\n";
    parsed p(text, RESTOK::CONFIG_EXTRA);
    ASSERT_GE(p.rc, 0);
    // Only the referenced resource survives, pending, and is reported when
    // the new definition does not provide it again.
    EXPECT_EQ(p.messages,
              w("Undefined resource 'a::kept' referenced, but not provided by the package"));
    EXPECT_EQ(p.resources("a"), "fresh");
    EXPECT_EQ(names_of_objects(p.package("a")), "a::fresh");
    EXPECT_EQ(p.package("sub")->provider, nullptr);

    parsed again("Package: a\nProvide: kept lost\n\nPackage: b\nObject: o\nRequest: a::kept\n\n"
                 "Package: a\nProvide: kept\n",
                 RESTOK::CONFIG_EXTRA);
    ASSERT_GE(again.rc, 0);
    EXPECT_EQ(again.messages, "");
    EXPECT_EQ(again.resources("a"), "kept");
    EXPECT_EQ(again.package("b")->objects->requests->res, again.package("a")->resources);
    EXPECT_EQ(again.package("a")->resources->references, 1);
}

TEST(PolicyTags, AccountFiles)
{
    const std::string passwd = "-Package: UID\n-:\n"
                               "root:x:0:0:root:/root:/bin/sh\n"
                               "daemon:x:1:1::/:/bin/false\n"
                               "odd:x:abc:0::/:\n"
                               "short\n"
                               "big:x:99999999999:0::/:\n"
                               "neg:x:-5:0\n";
    parsed p(passwd, 0, true, RESTOK::restok_account_tags);
    ASSERT_GE(p.rc, 0) << p.messages;
    std::string values;
    for (RESTOK::resource *r = p.package("UID")->resources; r; r = r->next)
        values += std::string(r->name) + "=" + std::to_string(r->value) + " ";
    EXPECT_EQ(values, "root=0 daemon=1 odd=0 short=-1 big=2147483647 neg=-5 ");
    EXPECT_TRUE(p.cfg->flags & RESTOK::CONFIG_ACCOUNT_MODE);

    // Lines of a package of another type are passed over.
    parsed other("-Package: OTHER\n-:\nroot:x:0:0\n", 0, true, RESTOK::restok_account_tags);
    EXPECT_GE(other.rc, 0);
    EXPECT_EQ(other.messages, w("Ignoring unknown tag 'root' while processing 'OTHER'"));
    EXPECT_EQ(other.resources("OTHER"), "");

    // No package, and a package line once account mode is on.
    parsed none("root:x:0:0\n", 0, true, RESTOK::restok_account_tags);
    EXPECT_EQ(none.rc, -2);
    parsed late("-Package: UID\n-:\n-Package: GID\n", 0, true, RESTOK::restok_account_tags);
    EXPECT_EQ(late.rc, -2);
    EXPECT_EQ(late.messages, w("The package tag ' GID' not allowed here"));
}

TEST(PolicyTags, GroupFileProvidesGrp)
{
    parsed p("-Package: GID\n-Provides: GRP\n-:\nwheel:x:10:root\n", 0, true,
             RESTOK::restok_account_tags);
    ASSERT_GE(p.rc, 0) << p.messages;
    EXPECT_EQ(p.package("GRP")->provider, p.package("GID"));
    RESTOK::resource *wheel = RESTOK::find_resource(p.package("GRP"), "wheel", 5);
    ASSERT_NE(wheel, nullptr);
    EXPECT_EQ(wheel->value, 10);
    EXPECT_EQ(p.package("GID")->type, RESTOK::restok_types[1].type);
}

}  // namespace
