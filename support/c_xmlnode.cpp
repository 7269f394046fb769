#include "support/c_xmlnode.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "support/dlog_send.h"

namespace {

const char SOURCE[] = "c_xmlnode";
const char EMPTY[] = "";

// Length of the well-formed UTF-8 sequence at p (at most n bytes left) of
// a character XML may carry, or 0. Refused: C0 controls other than TAB, LF
// and CR, overlong forms, surrogates, U+FFFE, U+FFFF and beyond U+10FFFF.
size_t xml_char_length(const unsigned char *p, size_t n)
{
    unsigned c = p[0];
    if (c < 0x80)
        return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
    size_t len;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return len;
}

// Whether XML text can carry these bytes unchanged.
bool xml_text_ok(const char *text, size_t length)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < length;) {
        size_t k = xml_char_length(p + i, length - i);
        if (k == 0)
            return false;
        i += k;
    }
    return true;
}

// The reference for c, or null when c is written as it is.
const char *escape_for(char c, bool attribute)
{
    switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    // A parser turns raw CR into LF, and TAB, LF and CR in an attribute
    // value into spaces; references keep them.
    case '\r': return "&#13;";
    case '\t': return attribute ? "&#9;" : nullptr;
    case '\n': return attribute ? "&#10;" : nullptr;
    default: return nullptr;
    }
}

void append_escaped(std::string &out, const char *text, size_t length, bool attribute)
{
    // Runs of bytes written as they are go out in one append each.
    size_t run = 0;
    for (size_t i = 0; i < length; i++) {
        const char *reference = escape_for(text[i], attribute);
        if (reference == nullptr)
            continue;
        out.append(text + run, i - run);
        out += reference;
        run = i + 1;
    }
    out.append(text + run, length - run);
}

}  // namespace

std::string xml_escape(const char *text, bool attribute)
{
    std::string out;
    if (text != nullptr)
        append_escaped(out, text, strlen(text), attribute);
    return out;
}

c_xmlnode::c_xmlnode(c_xmlnode *parent, const char *name) : parent_(parent)
{
    if (name == nullptr || name[0] == '\0')
        DLOG_ERROR(SOURCE, "XML tag must have a name");
    else
        name_ = name;
}

c_xmlnode::~c_xmlnode()
{
    // Children are taken over by an explicit stack, so a node is deleted
    // only once its children list is empty: no recursion per level.
    std::vector<c_xmlnode *> pending;
    pending.swap(children_);
    while (!pending.empty()) {
        c_xmlnode *node = pending.back();
        pending.pop_back();
        for (c_xmlnode *c : node->children_)
            pending.push_back(c);
        node->children_.clear();
        delete node;
    }
}

std::string c_xmlnode::path() const
{
    std::vector<const c_xmlnode *> chain;
    for (const c_xmlnode *n = this; n != nullptr; n = n->parent_)
        chain.push_back(n);
    std::string p;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        p += '/';
        p += (*it)->name_;
    }
    return p;
}

const c_xmlnode::attribute_map::value_type *c_xmlnode::attribute_at(unsigned index) const
{
    if (index >= attributes_.size()) {
        DLOG_ERROR(SOURCE, "index %d out of range", int(index));
        return nullptr;
    }
    if (cursor_size_ != attributes_.size() || index < cursor_index_) {
        cursor_ = attributes_.begin();
        cursor_index_ = 0;
        cursor_size_ = attributes_.size();
    }
    std::advance(cursor_, long(index - cursor_index_));
    cursor_index_ = index;
    return &*cursor_;
}

const char *c_xmlnode::attribute_name(unsigned index) const
{
    const attribute_map::value_type *a = attribute_at(index);
    return a ? a->first.c_str() : nullptr;
}

const char *c_xmlnode::attribute_value(unsigned index) const
{
    const attribute_map::value_type *a = attribute_at(index);
    return a ? a->second.c_str() : nullptr;
}

const char *c_xmlnode::get_attribute(const char *name, bool required,
                                     const char *default_value) const
{
    if (name == nullptr) {
        DLOG_ERROR(SOURCE, "%s: null attribute name", "get_attribute");
        return required ? EMPTY : default_value;
    }
    auto it = attributes_.find(name);
    if (it != attributes_.end())
        return it->second.c_str();
    if (!required)
        return default_value;
    DLOG_ERROR(SOURCE, "required attribute '%s' not found", name);
    return EMPTY;
}

void c_xmlnode::set_attribute(const char *name, const char *value)
{
    if (name == nullptr || value == nullptr) {
        DLOG_ERROR(SOURCE, "%s: null attribute %s", "set_attribute",
                   name == nullptr ? "name" : "value");
        return;
    }
    if (!xml_text_ok(value, strlen(value))) {
        DLOG_ERROR(SOURCE, "%s: value of '%s' is not XML text", "set_attribute", name);
        return;
    }
    attributes_[name] = value;
}

void c_xmlnode::set_attribute_long(const char *name, long value)
{
    char text[32];
    *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
    set_attribute(name, text);
}

void c_xmlnode::remove_attribute(const char *name)
{
    if (name == nullptr) {
        DLOG_ERROR(SOURCE, "%s: null attribute name", "remove_attribute");
        return;
    }
    cursor_size_ = size_t(-1);  // the kept place may be the one removed
    if (attributes_.erase(name) == 0)
        DLOG_ERROR(SOURCE, "no such element '%s'", name);
}

c_xmlnode *c_xmlnode::child(unsigned index) const
{
    if (index >= children_.size()) {
        DLOG_ERROR(SOURCE, "index %d out of range", int(index));
        return nullptr;
    }
    return children_[index];
}

c_xmlnode *c_xmlnode::find_child(const char *name, bool required) const
{
    if (name == nullptr) {
        DLOG_ERROR(SOURCE, "%s: null child name", "find_child");
        return nullptr;
    }
    for (c_xmlnode *c : children_)
        if (c->name_ == name)
            return c;
    if (required)
        DLOG_ERROR(SOURCE, "required child '%s' of '%s' not found", name, path().c_str());
    return nullptr;
}

c_xmlnode *c_xmlnode::add_child(const char *name)
{
    // The vector grows geometrically; the new child is owned here until
    // the vector holds it, so a failed allocation leaks nothing.
    auto c = std::make_unique<c_xmlnode>(this, name);
    children_.push_back(c.get());
    return c.release();
}

void c_xmlnode::remove_child(unsigned index)
{
    if (index >= children_.size()) {
        DLOG_ERROR(SOURCE, "index %d out of range", int(index));
        return;
    }
    c_xmlnode *c = children_[index];
    children_.erase(children_.begin() + long(index));
    delete c;
}

void c_xmlnode::append_parsed(const char *text, size_t length)
{
    if (text == nullptr || length == 0 || text[0] == '\0' || (cdata_ && cdata_closed_))
        return;
    content_.append(text, length);
}

void c_xmlnode::append_content(const char *text, size_t length)
{
    if (text == nullptr || length == 0 || text[0] == '\0' || (cdata_ && cdata_closed_))
        return;
    if (!xml_text_ok(text, length)) {
        DLOG_ERROR(SOURCE, "%s: text for '%s' is not XML text", "append_content",
                   name_.c_str());
        return;
    }
    content_.append(text, length);
}

void c_xmlnode::append_text(const char *text)
{
    if (text != nullptr)
        append_content(text, strlen(text));
}

void c_xmlnode::set_cdata(bool start)
{
    if (start) {
        cdata_closed_ = false;
        cdata_ = true;
        content_.clear();
    } else {
        cdata_closed_ = true;
    }
}

c_xmlnode *c_xmlnode::walk_xpath(const char *path, bool required, const char *create_text)
{
    if (path == nullptr || path[0] == '\0')
        return this;
    c_xmlnode *node = this;
    const char *p = path;
    if (*p == '/') {
        while (node->parent_ != nullptr)
            node = node->parent_;
        p++;
    }
    const char *start = p;
    for (; *p != '\0' && node != nullptr; p++) {
        if (*p != '/')
            continue;
        std::string element(start, size_t(p - start));
        start = p + 1;
        if (element.empty()) {
            DLOG_ERROR(SOURCE, "empty path element in '%s'", path);
        } else if (element == "..") {
            node = node->parent_;
        } else if (element == ".") {
        } else {
            c_xmlnode *next = node->find_child(element.c_str(), false);
            if (next == nullptr && !required && create_text != nullptr) {
                next = node->add_child(element.c_str());
                next->append_text(create_text);
            }
            if (next == nullptr)
                DLOG_ERROR(SOURCE, "xpath element '%s' not found", element.c_str());
            node = next;
        }
    }
    if (node == nullptr && required)
        DLOG_ERROR(SOURCE, "xpath '%s' not found", path);
    return node;
}

c_xmlnode *c_xmlnode::walk_xpath_create(const char *path, const char *create_text)
{
    return walk_xpath(path, false, create_text);
}

c_xmlnode *c_xmlnode::walk_xpath_find(const char *path, bool required)
{
    return walk_xpath(path, required, nullptr);
}

std::string c_xmlnode::serialize(bool pretty, int indent, int level) const
{
    std::string out;
    append_serialized(out, pretty, indent, level);
    return out;
}

void c_xmlnode::append_serialized(std::string &out, bool pretty, int indent, int level) const
{
    // Each frame is a node and the number of its children already written;
    // the explicit stack keeps deep trees off the call stack.
    struct frame {
        const c_xmlnode *node;
        size_t next;
        int level;
    };
    std::vector<frame> stack;
    stack.push_back({this, 0, level});
    auto pad = [&](int lv) {
        if (pretty && indent > 0 && lv > 0)
            out.append(size_t(indent) * size_t(lv), ' ');
    };
    while (!stack.empty()) {
        frame &f = stack.back();
        const c_xmlnode *n = f.node;
        if (f.next == 0) {
            pad(f.level);
            out += '<';
            out += n->name_;
            for (const auto &a : n->attributes_) {
                out += ' ';
                out += a.first;
                out += "=\"";
                append_escaped(out, a.second.data(), a.second.size(), true);
                out += '"';
            }
            if (n->children_.empty()) {
                if (n->cdata_) {
                    out += "><![CDATA[";
                    out += n->content_;
                    out += "]]>";
                    if (pretty) {
                        out += '\n';
                        pad(f.level);
                    }
                    out += "</";
                    out += n->name_;
                    out += '>';
                } else if (!n->content_.empty()) {
                    out += '>';
                    append_escaped(out, n->content_.data(), n->content_.size(), false);
                    out += "</";
                    out += n->name_;
                    out += '>';
                } else {
                    out += "/>";
                }
                if (pretty)
                    out += '\n';
                stack.pop_back();
                continue;
            }
            out += '>';
            if (pretty)
                out += '\n';
        }
        if (f.next < n->children_.size()) {
            const c_xmlnode *c = n->children_[f.next++];
            int lv = f.level + 1;
            stack.push_back({c, 0, lv});  // f may dangle from here on
            continue;
        }
        pad(f.level);
        out += "</";
        out += n->name_;
        out += '>';
        if (pretty)
            out += '\n';
        stack.pop_back();
    }
}

void c_xmlnode::not_implemented() const
{
    DLOG_ERROR(SOURCE, "not implemented");
}
