// Parses arbitrary bytes as an XML document, writes the tree back (compact
// and pretty) and parses that again: the second parse must succeed and
// give the same text. Walks arbitrary paths over the tree, creating
// elements, and checks that every child's parent link is still right.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/c_xmldoc.h"

namespace {

void check_links(const c_xmlnode *root)
{
    std::vector<const c_xmlnode *> pending{root};
    while (!pending.empty()) {
        const c_xmlnode *n = pending.back();
        pending.pop_back();
        for (int i = 0; i < n->child_count(); i++) {
            const c_xmlnode *c = n->child(unsigned(i));
            if (c->parent() != n)
                abort();
            pending.push_back(c);
        }
    }
}

// Whether the document's declaration names an encoding other than UTF-8.
bool declares_legacy_encoding(const std::string &text)
{
    size_t end = text.find("?>");
    std::string head = text.substr(0, end == std::string::npos ? text.size() : end);
    size_t at = head.find("encoding");
    if (at == std::string::npos)
        return false;
    std::string rest = head.substr(at);
    for (char &c : rest)
        c = char(tolower(static_cast<unsigned char>(c)));
    return rest.find("utf-8") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first line (up to a NUL) is a walk path; the rest the document.
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find('\0');
    std::string path = split == std::string::npos ? std::string() : input.substr(0, split);
    std::string text = split == std::string::npos ? input : input.substr(split + 1);

    c_xmldoc first;
    first.parse_buffer(text.data(), text.size());
    if (first.root() == nullptr)
        return 0;
    for (bool pretty : {false, true}) {
        std::string out = first.to_string(pretty);
        c_xmldoc second;
        bool again = second.parse_buffer(out.data(), out.size());
        // The parser's name tables for a declared legacy encoding accept a
        // few characters that it refuses in UTF-8 (the form written back),
        // so only documents read as UTF-8 must parse again.
        if (!again && declares_legacy_encoding(text))
            return 0;
        if (!again || second.to_string(pretty) != out)
            abort();
    }
    c_xmlnode *root = first.root();
    root->walk_xpath_find(path.c_str(), false);
    root->walk_xpath_create(path.c_str(), "t");
    if (root->child_count() > 0)
        root->child(0)->walk_xpath_create(path.c_str(), "u");
    check_links(root);
    // Names made by the walk are the caller's and are written as they
    // stand, so the result need not parse again; it must not crash.
    first.to_string(true);
    return 0;
}
