#include "support/c_xmldoc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_process.h"
#include "support/test_syslog.h"

namespace {

using strings = std::vector<std::string>;

class temp_dir {
public:
    temp_dir()
    {
        char tmpl[] = "/tmp/ks-xmldoc-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~temp_dir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary);
    f << data;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Structure of a tree: names, attributes, leaf text and CDATA, so that
// trees read from the compact and the pretty form compare equal.
void describe(const c_xmlnode *n, std::string &out)
{
    out += '<';
    out += n->name();
    for (int i = 0; i < n->attribute_count(); i++)
        out += std::string(" ") + n->attribute_name(unsigned(i)) + "=[" +
               n->attribute_value(unsigned(i)) + "]";
    out += '>';
    if (n->child_count() == 0)
        out += std::string("{") + n->content() + "}";
    for (int i = 0; i < n->child_count(); i++)
        describe(n->child(unsigned(i)), out);
    out += "</>";
}

std::string describe(const c_xmldoc &d)
{
    std::string out;
    if (d.root() != nullptr)
        describe(d.root(), out);
    return out;
}

// Runs body in a child process and gives its exit status (or 128+signal).
int in_child(const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t pid = test_fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// What is not a regular file, or is larger than any index, is refused at
// once with one report: nothing blocks and nothing large is read.
TEST(XmlDocParse, OddFilesAreRefusedAtOnce)
{
    temp_dir dir;
    const std::string fifo = dir / "fifo.xml", huge = dir / "huge.xml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    write_file(huge, "<a>");
    ASSERT_EQ(truncate(huge.c_str(), off_t(1) << 30), 0);
    for (const std::string &path : {fifo, huge, std::string(dir.path())}) {
        SCOPED_TRACE(path);
        c_xmldoc d;
        syslog_capture log;
        alarm(10);
        EXPECT_FALSE(d.parse_file(path.c_str()));
        alarm(0);
        EXPECT_EQ(d.root(), nullptr);
        EXPECT_EQ(log.reports().size(), 1u);
    }
}

TEST(XmlDocParse, FileFixtures)
{
    temp_dir dir;
    const std::string f = dir / "f.xml";
    {
        c_xmldoc d;
        syslog_capture log;
        EXPECT_FALSE(d.parse_file((dir / "missing.xml").c_str()));
        EXPECT_EQ(d.root(), nullptr);
        EXPECT_TRUE(log.lines().empty());
    }
    {
        write_file(f, "<a x=\"1\"><b>t</b></a>");
        c_xmldoc d;
        EXPECT_TRUE(d.parse_file(f.c_str()));
        EXPECT_EQ(describe(d), "<a x=[1]><b>{t}</></>");
        // A second parse starts from an empty tree.
        EXPECT_TRUE(d.parse_file(f.c_str()));
        EXPECT_EQ(describe(d), "<a x=[1]><b>{t}</></>");
    }
    {
        write_file(f, "");
        c_xmldoc d;
        syslog_capture log;
        EXPECT_FALSE(d.parse_file(f.c_str()));
        EXPECT_EQ(d.root(), nullptr);
        ASSERT_EQ(log.reports().size(), 1u);
        EXPECT_EQ(log.reports()[0].rfind(f + "(1): ", 0), 0u) << log.reports()[0];
    }
    {
        write_file(f, "<a>\n<b>");
        c_xmldoc d;
        syslog_capture log;
        EXPECT_FALSE(d.parse_file(f.c_str()));
        EXPECT_EQ(describe(d), "<a><b>{}</></>");  // the tree so far stays
        ASSERT_EQ(log.reports().size(), 1u);
        EXPECT_EQ(log.reports()[0].rfind(f + "(2): ", 0), 0u) << log.reports()[0];
        // A buffer parse reports under the last file's name.
        EXPECT_FALSE(d.parse_buffer("<x>", 0));
        EXPECT_EQ(log.reports().back().rfind(f + "(1): ", 0), 0u);
    }
}

TEST(XmlDocParse, BufferCases)
{
    c_xmldoc d;
    syslog_capture log;
    EXPECT_FALSE(d.parse_buffer("", 0));
    EXPECT_EQ(d.root(), nullptr);
    EXPECT_FALSE(d.parse_buffer(nullptr, 3));
    EXPECT_EQ(log.lines().size(), 1u);
    // Comments, processing instructions and the doctype leave no trace;
    // references are resolved; text after the first child is dropped.
    const char doc[] =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!DOCTYPE r [<!ENTITY e \"E\">]>"
        "<!-- c --><r a='&lt;&#9;&e;'><?pi x?><l>&amp;&e;\xE9</l>tail<c><![CDATA[<x>]]>drop</c>"
        "<m>1<![CDATA[2]]></m></r>ignored";
    EXPECT_FALSE(d.parse_buffer(doc, sizeof doc - 1 - strlen("ignored")) &&
                 d.parse_buffer(doc, 0));
    EXPECT_TRUE(d.parse_buffer(doc, sizeof doc - 1 - strlen("ignored")));
    EXPECT_EQ(describe(d), "<r a=[<\tE]><l>{&E\xC3\xA9}</><c>{<x>}</><m>{2}</></>");
    EXPECT_STREQ(d.root()->content(), "");
}

TEST(XmlDocParse, ChunkBoundaryKeepsTextWhole)
{
    temp_dir dir;
    // A text node and a two-byte character straddle the 4096-byte chunk
    // boundary, and the file spans three chunks.
    std::string head = "<r><pad>" + std::string(4000, 'p') + "</pad><t>";
    std::string text = std::string(4096 - head.size() - 1, 'x') + "\xC3\xA9" + std::string(5000, 'y');
    std::string file = head + text + "</t></r>";
    ASSERT_GT(file.size(), 8192u);
    write_file(dir / "big.xml", file);
    c_xmldoc d;
    EXPECT_TRUE(d.parse_file((dir / "big.xml").c_str()));
    ASSERT_NE(d.root(), nullptr);
    EXPECT_EQ(d.root()->walk_xpath_find("t/", true)->content(), text);
}

TEST(XmlDocText, ExactForms)
{
    c_xmldoc d;
    EXPECT_EQ(d.to_string(true), "<?xml version=\"1.0\"?>\n");
    c_xmlnode *r = d.create_root("r");
    r->add_child("c")->append_text("v");
    EXPECT_EQ(d.to_string(true), "<?xml version=\"1.0\"?>\n<r>\n    <c>v</c>\n</r>\n");
    EXPECT_EQ(d.to_string(false), "<?xml version=\"1.0\"?>\n<r><c>v</c></r>");
    // A second root replaces the first.
    d.create_root("s");
    EXPECT_EQ(d.to_string(false), "<?xml version=\"1.0\"?>\n<s/>");
    d.clear();
    EXPECT_EQ(d.root(), nullptr);
}

// Random trees over every character class a value may hold.
class tree_maker {
public:
    explicit tree_maker(unsigned seed) : rng_(seed) {}

    void fill(c_xmlnode *n, int depth)
    {
        int attrs = pick(4);
        for (int i = 0; i < attrs; i++)
            n->set_attribute(name().c_str(), text().c_str());
        int kids = depth > 0 ? pick(4) : 0;
        for (int i = 0; i < kids; i++)
            fill(n->add_child(name().c_str()), depth - 1);
        if (kids == 0) {
            if (pick(4) == 0) {
                n->set_cdata(true);
                std::string t = text();
                for (char &c : t)
                    if (c == '\r' || c == ']')
                        c = '_';  // a parser never gives these in CDATA
                n->append_text(t.c_str());
                n->set_cdata(false);
            } else {
                n->append_text(text().c_str());
            }
        }
    }

private:
    int pick(int n) { return int(rng_() % unsigned(n)); }
    std::string name()
    {
        static const char *parts[] = {"a", "b", "x-y", "_z", "n.1", "\xC3\xA9", "ab", "A"};
        return std::string(parts[pick(8)]) + (pick(2) ? parts[pick(8)] : "");
    }
    std::string text()
    {
        static const char *parts[] = {"a",   " ",  "\t", "\n", "\r", "\r\n", "<",  ">", "&",
                                      "\"",  "'",  "]]>", "&amp;", "\xC3\xA9", "\xE2\x82\xAC",
                                      "\xF0\x9F\x98\x80", "  ", "z"};
        std::string s;
        for (int i = pick(6); i > 0; i--)
            s += parts[pick(18)];
        return s;
    }
    std::mt19937 rng_;
};

TEST(XmlDocRoundTrip, RandomTreesParseBackUnchanged)
{
    for (unsigned seed = 1; seed <= 300; seed++) {
        SCOPED_TRACE(seed);
        c_xmldoc d;
        tree_maker(seed).fill(d.create_root("root"), 4);
        std::string want = describe(d);
        for (bool pretty : {false, true}) {
            std::string text = d.to_string(pretty);
            c_xmldoc back;
            ASSERT_TRUE(back.parse_buffer(text.data(), text.size())) << text;
            EXPECT_EQ(describe(back), want) << text;
            EXPECT_EQ(back.to_string(pretty), text);
        }
    }
}

TEST(XmlDocRoundTrip, OverlongUtf8IsRefusedAndShortestFormsParseBack)
{
    // Each overlong form of a character is refused in a value and in text
    // (a parser refuses it, so a saved document would not load again); the
    // shortest form of the smallest character of each length is kept.
    const char *overlong[] = {"\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF",
                              "\xF0\x80\x80\xAF", "\xF0\x8F\xBF\xBF"};
    const char *shortest[] = {"\xC2\x80", "\xE0\xA0\x80", "\xF0\x90\x80\x80"};
    c_xmldoc d;
    c_xmlnode *r = d.create_root("r");
    r->set_attribute("v", "keep");
    c_xmlnode *t = r->add_child("t");
    t->append_text("keep");
    syslog_capture log;
    for (const char *bad : overlong) {
        SCOPED_TRACE(testing::PrintToString(std::string(bad)));
        r->set_attribute("v", bad);
        t->append_text(bad);
        EXPECT_STREQ(r->get_attribute("v", true), "keep");
        EXPECT_STREQ(t->content(), "keep");
    }
    EXPECT_EQ(log.lines().size(), 2 * std::size(overlong));
    for (const char *good : shortest) {
        c_xmlnode *c = r->add_child("c");
        c->set_attribute("v", good);
        c->append_text(good);
    }
    std::string text = d.to_string(false);
    c_xmldoc back;
    ASSERT_TRUE(back.parse_buffer(text.data(), text.size())) << text;
    EXPECT_EQ(back.to_string(false), text);
    ASSERT_EQ(back.root()->child_count(), 4);
    for (int i = 0; i < 3; i++) {
        EXPECT_STREQ(back.root()->child(unsigned(i + 1))->get_attribute("v", true), shortest[i]);
        EXPECT_STREQ(back.root()->child(unsigned(i + 1))->content(), shortest[i]);
    }
}

TEST(XmlDocDepth, HundredThousandLevels)
{
    constexpr int DEPTH = 100000;
    std::string text;
    for (int i = 0; i < DEPTH; i++)
        text += "<a>";
    text += "x";
    for (int i = 0; i < DEPTH; i++)
        text += "</a>";
    c_xmldoc d;
    EXPECT_TRUE(d.parse_buffer(text.data(), text.size()));
    EXPECT_EQ(d.to_string(false), "<?xml version=\"1.0\"?>\n" + text);
    // Cut off deep inside: the partial tree is kept and then destroyed.
    EXPECT_FALSE(d.parse_buffer(text.data(), size_t(DEPTH) * 3));
    ASSERT_NE(d.root(), nullptr);
    d.clear();
}

TEST(XmlDocSave, WritesAtomicallyWithMode)
{
    temp_dir dir;
    const std::string f = dir / "f.xml";
    write_file(f, "old");
    c_xmldoc d;
    d.create_root("r")->set_attribute("k", "v\tw");
    mode_t old_mask = umask(027);
    bool saved = d.save(f.c_str());
    umask(old_mask);
    ASSERT_TRUE(saved);
    EXPECT_EQ(read_file(f), d.to_string(true));
    EXPECT_FALSE(exists(dir / ".f.xml~"));
    struct stat st;
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    c_xmldoc back;
    EXPECT_TRUE(back.parse_file(f.c_str()));
    EXPECT_STREQ(back.root()->get_attribute("k", true), "v\tw");

    // A relative path: the temporary name is "f.xml~" in the same directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    write_file("g.xml~", "stale");
    EXPECT_TRUE(d.save("g.xml"));
    EXPECT_FALSE(exists("g.xml~"));
    EXPECT_EQ(read_file("g.xml"), d.to_string(true));
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(XmlDocSave, SaveTextWritesTheGivenBytesOrNothing)
{
    temp_dir dir;
    const std::string f = dir / "f.xml";
    // Written as it stands, however the tree would serialise now.
    const std::string text = "<?xml version=\"1.0\"?>\n<r  b='2' a=\"1\"/>\n";
    ASSERT_TRUE(c_xmldoc::save_text(f.c_str(), text));
    EXPECT_EQ(read_file(f), text);
    EXPECT_FALSE(exists(dir / ".f.xml~"));

    // A text with a NUL byte is no document: the file stays as it was.
    syslog_capture log;
    EXPECT_FALSE(c_xmldoc::save_text(f.c_str(), std::string("<r>a\0b</r>", 10)));
    EXPECT_EQ(log.reports(),
              (strings{"save: document for '" + f + "' holds a NUL byte"}));
    EXPECT_EQ(read_file(f), text);
    EXPECT_FALSE(exists(dir / ".f.xml~"));
}

struct save_failure {
    const char *what;
    // Prepares the failure (in the child when in_child), gives the path.
    std::function<void(const temp_dir &)> arrange;
    bool in_child;
    const char *report_start;
};

TEST(XmlDocSave, FailuresLeaveTargetAndNoTemporary)
{
    const save_failure cases[] = {
        {"temporary name taken by a directory",
         [](const temp_dir &dir) {
             mkdir((dir / ".f.xml~").c_str(), 0755);
             write_file(dir / ".f.xml~/x", "");
         },
         false, "cannot open file '"},
        {"failed write",
         [](const temp_dir &) {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit rl = {0, 0};
             setrlimit(RLIMIT_FSIZE, &rl);
         },
         true, "failed to write to '"},
        {"short write",
         [](const temp_dir &) {
             signal(SIGXFSZ, SIG_IGN);
             struct rlimit rl = {10, 10};
             setrlimit(RLIMIT_FSIZE, &rl);
         },
         true, "write to '"},
        {"failed rename",
         [](const temp_dir &dir) {
             unlink((dir / "f.xml").c_str());
             mkdir((dir / "f.xml").c_str(), 0755);
             write_file(dir / "f.xml/keep", "");
         },
         false, "save: failed to rename '"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        const std::string f = dir / "f.xml";
        write_file(f, "original");
        auto attempt = [&]() -> int {
            c.arrange(dir);
            c_xmldoc d;
            d.create_root("r")->append_text(std::string(100, 'x').c_str());
            syslog_capture log;
            if (d.save(f.c_str()))
                return 1;
            strings r = log.reports();
            if (r.size() != 1 || r[0].rfind(c.report_start, 0) != 0)
                return 2;
            return 0;
        };
        EXPECT_EQ(c.in_child ? in_child(attempt) : attempt(), 0);
        if (exists(f + "/keep"))
            continue;  // the rename case: the directory stays as it was
        EXPECT_EQ(read_file(f), "original");
        struct stat st;
        bool temp_left = lstat((dir / ".f.xml~").c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
        EXPECT_FALSE(temp_left);
    }
    c_xmldoc d;
    syslog_capture log;
    EXPECT_FALSE(d.save(nullptr));
    EXPECT_EQ(log.reports(), (strings{"invalid filename (null)"}));
}

TEST(XmlDocSave, PlantedSymlinkIsNeverWrittenThrough)
{
    // Another process plants a link at the temporary name again and again
    // while saves run; the file it points to must never change.
    temp_dir dir;
    const std::string f = dir / "f.xml", temp = dir / ".f.xml~", sentinel = dir / "sentinel";
    write_file(sentinel, "sentinel");
    pid_t planter = test_fork();
    if (planter == 0) {
        for (;;)
            symlink(sentinel.c_str(), temp.c_str());
    }
    ASSERT_GT(planter, 0);
    c_xmldoc d;
    d.create_root("r");
    int refused = 0;
    {
        syslog_capture log;
        for (int i = 0; i < 300; i++)
            refused += d.save(f.c_str()) ? 0 : 1;
    }
    kill(planter, SIGKILL);
    waitpid(planter, nullptr, 0);
    EXPECT_EQ(read_file(sentinel), "sentinel");
    RecordProperty("refused", refused);
}

}  // namespace
