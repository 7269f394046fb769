// An XML document: a tree of c_xmlnode elements filled by the expat parser
// from a file or a text, written back with an XML declaration, and saved so
// that the file is replaced whole or not at all. Failures are reported on
// the error-log line under "c_xmldoc".
//
// A parse that fails keeps the elements built until the error; the parse
// functions also say whether the whole document was read. Two processes
// saving one path at once must be serialised by their caller.
#pragma once

#include <cstddef>
#include <string>

#include "support/c_xmlnode.h"

struct XML_ParserStruct;

class c_xmldoc {
public:
    c_xmldoc();
    ~c_xmldoc();
    c_xmldoc(const c_xmldoc &) = delete;
    c_xmldoc &operator=(const c_xmldoc &) = delete;

    c_xmlnode *root() const { return root_; }
    // A new root named name; an existing tree is destroyed first.
    c_xmlnode *create_root(const char *name);
    // Destroys the tree; the parser and the file name stay.
    void clear();
    // Replace the tree by the parsed document. True when the whole
    // document was parsed without error; the tree built until an error
    // stays either way. A file that cannot be opened is not reported.
    // When false, errno tells why: EBADMSG for a text that is not a whole
    // document, EFBIG for one beyond the size any index can have, else the
    // error of the open or read (ENOENT for a missing file).
    bool parse_file(const char *path);
    // length 0: up to the terminating NUL. text must not be null.
    bool parse_buffer(const char *text, size_t length);
    // "<?xml version=\"1.0\"?>\n" and the root serialised (pretty: indent 4).
    std::string to_string(bool pretty) const;
    // Writes the pretty form to ".name~" beside path (created exclusively,
    // synchronously) and renames it over path. True when path now holds it.
    bool save(const char *path) const;
    // The same with a text made already (by to_string), written as it
    // stands: a caller that digests or signs the text saves exactly the
    // bytes it checked, without serialising the tree again.
    static bool save_text(const char *path, const std::string &text);
    void free_parser();

private:
    void make_parser();
    void report_parse_error();
    static void start_element_handler(void *user_data, const char *name,
                                      const char **attributes);
    static void end_element_handler(void *user_data, const char *name);
    static void character_data_handler(void *user_data, const char *text, int length);
    static void cdata_start_handler(void *user_data);
    static void cdata_end_handler(void *user_data);
    void start_element(const char *name, const char **attributes);
    void end_element(const char *name);
    void character_data(const char *text, int length);
    void cdata_start();
    void cdata_end();

    XML_ParserStruct *parser_ = nullptr;
    c_xmlnode *root_ = nullptr;
    c_xmlnode *current_ = nullptr;
    std::string file_name_;
};
