#include "support/c_xmlnode.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/test_syslog.h"

namespace {

using strings = std::vector<std::string>;

std::string attribute_names(const c_xmlnode &n)
{
    std::string s;
    for (int i = 0; i < n.attribute_count(); i++)
        s += std::string(n.attribute_name(unsigned(i))) + "=" + n.attribute_value(unsigned(i)) + ";";
    return s;
}

struct serialize_case {
    const char *what;
    std::function<void(c_xmlnode &)> build;
    const char *compact;
    const char *pretty;  // indent 4, level 0
};

TEST(XmlNodeSerialize, Table)
{
    const serialize_case cases[] = {
        {"empty leaf", [](c_xmlnode &) {}, "<r/>", "<r/>\n"},
        {"attributes sorted, value replaced",
         [](c_xmlnode &r) {
             r.set_attribute("b", "1");
             r.set_attribute("a", "2");
             r.set_attribute("b", "3");
         },
         "<r a=\"2\" b=\"3\"/>", "<r a=\"2\" b=\"3\"/>\n"},
        {"value escaped, name not",
         [](c_xmlnode &r) { r.set_attribute("x", "a\"b&c'<>"); },
         "<r x=\"a&quot;b&amp;c&apos;&lt;&gt;\"/>", "<r x=\"a&quot;b&amp;c&apos;&lt;&gt;\"/>\n"},
        {"TAB LF CR kept in a value as references",
         [](c_xmlnode &r) { r.set_attribute("x", "a\tb\nc\rd"); },
         "<r x=\"a&#9;b&#10;c&#13;d\"/>", "<r x=\"a&#9;b&#10;c&#13;d\"/>\n"},
        {"content escaped, CR as reference, TAB and LF raw",
         [](c_xmlnode &r) { r.append_text("1<2 & \t\n\r"); },
         "<r>1&lt;2 &amp; \t\n&#13;</r>", "<r>1&lt;2 &amp; \t\n&#13;</r>\n"},
        {"text and a child: only the child",
         [](c_xmlnode &r) {
             r.append_text("lost");
             r.add_child("c")->append_text("v");
         },
         "<r><c>v</c></r>", "<r>\n    <c>v</c>\n</r>\n"},
        {"CDATA unescaped",
         [](c_xmlnode &r) {
             r.set_cdata(true);
             r.append_text("x<y");
             r.set_cdata(false);
         },
         "<r><![CDATA[x<y]]></r>", "<r><![CDATA[x<y]]>\n</r>\n"},
        {"nested",
         [](c_xmlnode &r) {
             c_xmlnode *a = r.add_child("a");
             a->add_child("b")->set_attribute("k", "v");
             a->add_child("c");
             r.add_child("d")->append_text("t");
         },
         "<r><a><b k=\"v\"/><c/></a><d>t</d></r>",
         "<r>\n    <a>\n        <b k=\"v\"/>\n        <c/>\n    </a>\n    <d>t</d>\n</r>\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c_xmlnode r(nullptr, "r");
        c.build(r);
        EXPECT_EQ(r.serialize(false, 0, 0), c.compact);
        EXPECT_EQ(r.serialize(true, 4, 0), c.pretty);
    }
}

TEST(XmlNodeSerialize, PrettyLevelIndents)
{
    c_xmlnode n(nullptr, "n");
    EXPECT_EQ(n.serialize(true, 4, 1), "    <n/>\n");
    n.set_cdata(true);
    n.append_text("x");
    EXPECT_EQ(n.serialize(true, 2, 1), "  <n><![CDATA[x]]>\n  </n>\n");
}

TEST(XmlNodeSerialize, EscapeFunction)
{
    EXPECT_EQ(xml_escape(nullptr), "");
    EXPECT_EQ(xml_escape("plain \xC3\xA9 text"), "plain \xC3\xA9 text");
    EXPECT_EQ(xml_escape("a\tb\nc\rd"), "a\tb\nc&#13;d");
    EXPECT_EQ(xml_escape("a\tb\nc\rd", true), "a&#9;b&#10;c&#13;d");
}

TEST(XmlNodeAttributes, ByteOrderAndPrefixes)
{
    c_xmlnode n(nullptr, "n");
    for (const char *name : {"\xC3\xA9", "b", "ab", "a", "Z"})
        n.set_attribute(name, "v");
    EXPECT_EQ(attribute_names(n), "Z=v;a=v;ab=v;b=v;\xC3\xA9=v;");
}

TEST(XmlNodeAttributes, GetRemoveAndReports)
{
    c_xmlnode n(nullptr, "n");
    n.set_attribute("x", "1");
    n.set_attribute_long("big", -2147483647L - 1);
    syslog_capture log;
    EXPECT_STREQ(n.get_attribute("x", true, "d"), "1");
    EXPECT_STREQ(n.get_attribute("big", false), "-2147483648");
    EXPECT_STREQ(n.get_attribute("y", false, "d"), "d");
    EXPECT_EQ(n.get_attribute("y", false), nullptr);
    EXPECT_STREQ(n.get_attribute("y", true, "d"), "");
    n.remove_attribute("nope");
    n.remove_attribute("x");
    EXPECT_EQ(n.attribute_count(), 1);
    EXPECT_EQ(log.reports(), (strings{"required attribute 'y' not found", "no such element 'nope'"}));
}

TEST(XmlNodeAttributes, RefusedInputChangesNothing)
{
    // Null names and values, and values XML cannot carry: C0 controls,
    // invalid or overlong UTF-8, surrogates, U+FFFE.
    const char *bad_values[] = {"a\x01", "\x1f", "\x80", "\xC3", "\xC0\xAF", "\xED\xA0\x80",
                                "\xEF\xBF\xBE", "\xF4\x90\x80\x80"};
    c_xmlnode n(nullptr, "n");
    n.set_attribute("k", "keep");
    syslog_capture log;
    n.set_attribute(nullptr, "v");
    n.set_attribute("k", nullptr);
    for (const char *v : bad_values)
        n.set_attribute("k", v);
    n.remove_attribute(nullptr);
    EXPECT_EQ(n.get_attribute(nullptr, false, "d"), std::string("d"));
    EXPECT_EQ(n.find_child(nullptr, true), nullptr);
    EXPECT_EQ(attribute_names(n), "k=keep;");
    EXPECT_EQ(log.lines().size(), 5 + std::size(bad_values));
    // Characters XML does carry are kept as they are.
    n.set_attribute("k", "\xF0\x9F\x98\x80 \xEF\xBF\xBD \x7f");
    EXPECT_STREQ(n.get_attribute("k", true), "\xF0\x9F\x98\x80 \xEF\xBF\xBD \x7f");
}

TEST(XmlNodeChildren, IndexBoundsAndRemoval)
{
    c_xmlnode r(nullptr, "r");
    for (const char *name : {"x", "y", "z"})
        r.add_child(name);
    r.set_attribute("a", "1");
    syslog_capture log;
    EXPECT_EQ(r.child(3), nullptr);
    EXPECT_EQ(r.attribute_value(1), nullptr);
    EXPECT_EQ(r.attribute_name(1), nullptr);
    r.remove_child(3);
    EXPECT_EQ(r.child_count(), 3);
    r.remove_child(0);
    ASSERT_EQ(r.child_count(), 2);
    EXPECT_STREQ(r.child(0)->name(), "y");
    EXPECT_STREQ(r.child(1)->name(), "z");
    EXPECT_EQ(r.child(0)->parent(), &r);
    EXPECT_EQ(r.find_child("x", false), nullptr);
    EXPECT_EQ(r.find_child("x", true), nullptr);
    EXPECT_EQ(log.reports(),
              (strings{"index 3 out of range", "index 1 out of range", "index 1 out of range",
                       "index 3 out of range", "required child 'x' of '/r' not found"}));
}

TEST(XmlNodeChildren, PathAndEmptyName)
{
    c_xmlnode r(nullptr, "r");
    EXPECT_EQ(r.add_child("a")->add_child("b")->path(), "/r/a/b");
    syslog_capture log;
    c_xmlnode unnamed(nullptr, nullptr);
    c_xmlnode *empty = r.add_child("");
    EXPECT_STREQ(unnamed.name(), "");
    EXPECT_STREQ(empty->name(), "");
    EXPECT_EQ(log.reports(), (strings{"XML tag must have a name", "XML tag must have a name"}));
}

TEST(XmlNodeText, AppendRules)
{
    c_xmlnode n(nullptr, "n");
    // Length 0 must not read the text at all: point just past a buffer.
    std::unique_ptr<char[]> one(new char[1]);
    n.append_content(one.get() + 1, 0);
    n.append_content(nullptr, 5);
    n.append_content("\0abc", 4);
    n.append_text(nullptr);
    n.append_content("abcdef", 3);
    n.append_text("d");
    EXPECT_STREQ(n.content(), "abcd");

    // A CDATA section starts empty; text after it has ended is dropped.
    n.set_cdata(true);
    n.append_text("one");
    n.set_cdata(false);
    n.append_text("after");
    EXPECT_STREQ(n.content(), "one");
    n.set_cdata(true);
    EXPECT_STREQ(n.content(), "");

    // Text XML cannot carry is refused whole, with a report.
    c_xmlnode m(nullptr, "m");
    syslog_capture log;
    m.append_content("a\0b", 3);
    m.append_text("x\x02y");
    m.append_text("\xFF");
    EXPECT_STREQ(m.content(), "");
    EXPECT_EQ(log.lines().size(), 3u);
}

struct walk_case {
    const char *path;
    const char *expect;  // path() of the result, or null
    strings reports;
};

TEST(XmlNodeWalk, Table)
{
    // /r/a/b with a sibling /r/c; the walks start at /r/a.
    c_xmlnode r(nullptr, "r");
    c_xmlnode *a = r.add_child("a");
    a->add_child("b");
    r.add_child("c");
    const walk_case cases[] = {
        {"", "/r/a", {}},
        {nullptr, "/r/a", {}},
        {"/", "/r", {}},
        {"/a/b/", "/r/a/b", {}},
        {"b", "/r/a", {}},  // text after the last '/' is not looked at
        {"b/", "/r/a/b", {}},
        {"./", "/r/a", {}},
        {"../c/", "/r/c", {}},
        {"../../", nullptr, {}},
        {"b//", "/r/a/b", {"empty path element in 'b//'"}},
        {"//c/", "/r/c", {"empty path element in '//c/'"}},
        {"x/b/", nullptr, {"xpath element 'x' not found"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path ? c.path : "(null)");
        syslog_capture log;
        c_xmlnode *got = a->walk_xpath_find(c.path, false);
        if (c.expect == nullptr) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(got->path(), c.expect);
        }
        EXPECT_EQ(log.reports(), c.reports);
    }
    syslog_capture log;
    EXPECT_EQ(r.walk_xpath("../", true, nullptr), nullptr);
    EXPECT_EQ(r.walk_xpath("a/x/", true, "t"), nullptr);  // required: nothing is made
    EXPECT_EQ(log.reports(), (strings{"xpath '../' not found", "xpath element 'x' not found",
                                      "xpath 'a/x/' not found"}));
    EXPECT_EQ(a->child_count(), 1);
}

TEST(XmlNodeWalk, CreateGivesEveryNewElementTheText)
{
    c_xmlnode n(nullptr, "n");
    c_xmlnode *b = n.walk_xpath_create("a/b/", "t");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->path(), "/n/a/b");
    EXPECT_STREQ(b->content(), "t");
    EXPECT_STREQ(n.child(0)->content(), "t");
    // Existing elements are reused, not duplicated.
    EXPECT_EQ(n.walk_xpath_create("a/b/", "u"), b);
    EXPECT_EQ(n.child_count(), 1);
    // Without a text nothing is made.
    syslog_capture log;
    EXPECT_EQ(n.walk_xpath_create("q/", nullptr), nullptr);
    EXPECT_EQ(n.child_count(), 1);
}

TEST(XmlNodeDepth, DeepTreeSerialisesAndDestroysWithoutRecursion)
{
    constexpr int DEPTH = 200000;
    auto root = std::make_unique<c_xmlnode>(nullptr, "a");
    c_xmlnode *n = root.get();
    for (int i = 1; i < DEPTH; i++)
        n = n->add_child("a");
    n->append_text("x");
    std::string text = root->serialize(false, 0, 0);
    EXPECT_EQ(text.size(), size_t(DEPTH) * 7 + 1);
    EXPECT_EQ(text.compare(size_t(DEPTH - 1) * 3, 8, "<a>x</a>"), 0);
    root.reset();  // must not overflow the stack
}

// Index access keeps its place for the next call in order; a change to the
// attributes between two calls is seen, whatever the order of the calls.
TEST(XmlNodeAttributes, IndexAccessFollowsChanges)
{
    c_xmlnode n(nullptr, "e");
    for (const char *name : {"b", "d", "f"})
        n.set_attribute(name, name);
    EXPECT_STREQ(n.attribute_name(1), "d");
    n.set_attribute("a", "new");  // before the kept place
    EXPECT_STREQ(n.attribute_name(1), "b");
    EXPECT_STREQ(n.attribute_value(2), "d");
    n.remove_attribute("d");  // the kept place itself
    n.set_attribute("e", "e");
    EXPECT_STREQ(n.attribute_name(2), "e");
    EXPECT_STREQ(n.attribute_name(3), "f");
    EXPECT_STREQ(n.attribute_name(0), "a");  // backwards
    EXPECT_EQ(n.attribute_name(4), nullptr);
    std::string names;
    for (int i = 0; i < n.attribute_count(); i++)
        names += n.attribute_name(unsigned(i));
    EXPECT_EQ(names, "abef");
}

}  // namespace
