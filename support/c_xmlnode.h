// One element of the XML document model: a name, text content, sorted
// attributes and ordered owned children, linked to its parent. Failures are
// reported on the error-log line under "c_xmlnode" and give a null or empty
// result. Text returned by the accessors points into the node and stays
// valid until that text changes or the node is destroyed.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

class c_xmlnode {
public:
    // parent may be null; a null or empty name is reported and the node is
    // made with an empty name. The node is not linked into parent.
    c_xmlnode(c_xmlnode *parent, const char *name);
    // Destroys the whole subtree (without recursion, so depth is no limit).
    ~c_xmlnode();
    c_xmlnode(const c_xmlnode &) = delete;
    c_xmlnode &operator=(const c_xmlnode &) = delete;

    const char *name() const { return name_.c_str(); }
    c_xmlnode *parent() const { return parent_; }
    const char *content() const { return content_.c_str(); }
    int attribute_count() const { return int(attributes_.size()); }
    int child_count() const { return int(children_.size()); }
    // "/root/.../name", for messages.
    std::string path() const;

    // Name and value of the index-th attribute in byte-wise name order;
    // null and a report when out of range. Called in ascending order of
    // index, each call costs one step (the node keeps its place).
    const char *attribute_name(unsigned index) const;
    const char *attribute_value(unsigned index) const;
    // Value of the named attribute; when missing, default_value, or with
    // required a report and "".
    const char *get_attribute(const char *name, bool required,
                              const char *default_value = nullptr) const;
    // Adds or replaces. A null name or value, or a value XML cannot carry
    // (control bytes other than TAB, LF and CR, invalid UTF-8), is
    // reported and changes nothing.
    void set_attribute(const char *name, const char *value);
    void set_attribute_long(const char *name, long value);
    void remove_attribute(const char *name);

    c_xmlnode *child(unsigned index) const;
    // First child named name; null (and with required a report) when none.
    c_xmlnode *find_child(const char *name, bool required) const;
    // Appends a new child and returns it.
    c_xmlnode *add_child(const char *name);
    // Destroys the index-th child with its subtree.
    void remove_child(unsigned index);

    // Appends length bytes. Nothing happens for a null text, a length of 0,
    // a first byte NUL, or after a closed CDATA section. Text XML cannot
    // carry is reported and not appended.
    void append_content(const char *text, size_t length);
    void append_text(const char *text);
    // true: a CDATA section starts (the content is emptied); false: it ends.
    void set_cdata(bool start);

    // Walks a path of names each followed by '/' ("a/b/"); a leading '/'
    // starts at the root, ".." and "." move up and stay. With create_text,
    // missing elements are made and given that text.
    c_xmlnode *walk_xpath(const char *path, bool required, const char *create_text);
    c_xmlnode *walk_xpath_create(const char *path, const char *create_text);
    c_xmlnode *walk_xpath_find(const char *path, bool required);

    // The element and its subtree as XML text (without recursion).
    std::string serialize(bool pretty, int indent, int level) const;
    void not_implemented() const;

private:
    friend class c_xmldoc;
    // serialize, appended to out (no copy of a large text).
    void append_serialized(std::string &out, bool pretty, int indent, int level) const;
    // Appends without the XML character checks: the parser delivers only
    // text that is well-formed already.
    void append_parsed(const char *text, size_t length);

    std::string name_;
    std::string content_;
    c_xmlnode *parent_;
    using attribute_map = std::map<std::string, std::string>;
    // The index-th attribute, or null; moves the kept place there.
    const attribute_map::value_type *attribute_at(unsigned index) const;

    attribute_map attributes_;
    // The place of the last index access: valid while the map has the
    // size it had then and nothing was removed since.
    mutable attribute_map::const_iterator cursor_;
    mutable unsigned cursor_index_ = 0;
    mutable size_t cursor_size_ = size_t(-1);
    std::vector<c_xmlnode *> children_;
    bool cdata_ = false;
    bool cdata_closed_ = false;
};

// Escapes the five XML special characters. For an attribute value TAB, LF
// and CR are written as character references too, and CR always is, so
// that the text parses back unchanged. Null gives "".
std::string xml_escape(const char *text, bool attribute = false);
