#include "support/c_xmldoc.h"

#include <expat.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "support/dlog_send.h"
#include "support/tarvo_file.h"

namespace {

const char SOURCE[] = "c_xmldoc";
constexpr int CHUNK = 4096;
// The largest document parse_file reads: far beyond the index of any store
// (about 200 bytes a member), well below what a 32-bit device can spare.
constexpr long long XML_FILE_MAX = 64LL << 20;
const char DECLARATION[] = "<?xml version=\"1.0\"?>\n";

// "/d/f.xml" -> "/d/.f.xml~", "f.xml" -> "f.xml~".
std::string temporary_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return std::string(path) + "~";
    return std::string(path, size_t(slash + 1 - path)) + "." + (slash + 1) + "~";
}

}  // namespace

c_xmldoc::c_xmldoc() = default;

c_xmldoc::~c_xmldoc()
{
    clear();
    free_parser();
}

c_xmlnode *c_xmldoc::create_root(const char *name)
{
    delete root_;
    root_ = new c_xmlnode(nullptr, name);
    current_ = nullptr;
    return root_;
}

void c_xmldoc::clear()
{
    delete root_;
    root_ = nullptr;
    current_ = nullptr;
}

void c_xmldoc::free_parser()
{
    if (parser_ != nullptr) {
        XML_ParserFree(parser_);
        parser_ = nullptr;
    }
}

void c_xmldoc::make_parser()
{
    if (parser_ != nullptr)
        return;
    parser_ = XML_ParserCreate(nullptr);
    if (parser_ == nullptr)
        return;
    XML_SetStartElementHandler(parser_, start_element_handler);
    XML_SetEndElementHandler(parser_, end_element_handler);
    XML_SetCharacterDataHandler(parser_, character_data_handler);
    XML_SetCdataSectionHandler(parser_, cdata_start_handler, cdata_end_handler);
    XML_SetUserData(parser_, this);
}

void c_xmldoc::report_parse_error()
{
    if (parser_ == nullptr)
        return;
    DLOG_ERROR(SOURCE, "%s(%lu): %s", file_name_.c_str(),
               static_cast<unsigned long>(XML_GetCurrentLineNumber(parser_)),
               XML_ErrorString(XML_GetErrorCode(parser_)));
}

bool c_xmldoc::parse_file(const char *path)
{
    clear();
    free_parser();
    make_parser();
    if (parser_ == nullptr || path == nullptr)
        return false;
    file_name_ = path;
    // A FIFO or a terminal in the file's place must not stall the caller
    // (the boot reads store indexes this way), and a file beyond any index
    // a store can hold is refused before its parse takes the memory.
    int fd = tarvo_open_regular_file(path, O_LARGEFILE);
    if (fd < 0) {
        int e = errno;
        if (e != ENOENT)
            DLOG_ERROR(SOURCE, "cannot open '%s' (%s)", path, strerror(e));
        errno = e;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "cannot read '%s' (%s)", path, strerror(e));
        close(fd);
        errno = e;
        return false;
    }
    if (st.st_size > XML_FILE_MAX) {
        DLOG_ERROR(SOURCE, "'%s' is larger than %lld bytes", path, XML_FILE_MAX);
        close(fd);
        errno = EFBIG;
        return false;
    }
    bool complete = false;
    int failure = EBADMSG;  // the text is not a whole document
    long long total = 0;
    for (;;) {
        void *chunk = XML_GetBuffer(parser_, CHUNK);
        if (chunk == nullptr) {
            DLOG_ERROR(SOURCE, "cannot allocate XML parser buffer");
            break;
        }
        ssize_t n = read(fd, chunk, CHUNK);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failure = errno;
            DLOG_ERROR(SOURCE, "cannot read '%s' (%s)", path, strerror(failure));
            break;
        }
        total += n;
        if (total > XML_FILE_MAX) {
            DLOG_ERROR(SOURCE, "'%s' is larger than %lld bytes", path, XML_FILE_MAX);
            failure = EFBIG;
            break;
        }
        if (n == 0) {
            if (XML_ParseBuffer(parser_, 0, XML_TRUE) == XML_STATUS_ERROR)
                report_parse_error();
            else
                complete = true;
            break;
        }
        XML_Status status = XML_ParseBuffer(parser_, int(n), XML_FALSE);
        if (status == XML_STATUS_ERROR) {
            report_parse_error();
            break;
        }
        if (status == XML_STATUS_SUSPENDED)
            break;
    }
    close(fd);
    current_ = nullptr;
    if (!complete)
        errno = failure;
    return complete;
}

bool c_xmldoc::parse_buffer(const char *text, size_t length)
{
    clear();
    free_parser();
    make_parser();
    if (parser_ == nullptr)
        return false;
    if (text == nullptr) {
        DLOG_ERROR(SOURCE, "%s: null text", "parse_buffer");
        return false;
    }
    if (length == 0)
        length = strlen(text);
    if (length == 0)
        return false;
    if (length > size_t(INT_MAX)) {
        DLOG_ERROR(SOURCE, "%s: text of %lu bytes is too long", "parse_buffer",
                   static_cast<unsigned long>(length));
        return false;
    }
    bool complete = XML_Parse(parser_, text, int(length), XML_TRUE) == XML_STATUS_OK;
    if (!complete)
        report_parse_error();
    current_ = nullptr;
    return complete;
}

std::string c_xmldoc::to_string(bool pretty) const
{
    std::string text = DECLARATION;
    if (root_ != nullptr)
        root_->append_serialized(text, pretty, pretty ? 4 : 0, 0);
    return text;
}

bool c_xmldoc::save(const char *path) const
{
    return save_text(path, to_string(true));
}

bool c_xmldoc::save_text(const char *path, const std::string &text)
{
    if (path == nullptr) {
        DLOG_ERROR(SOURCE, "invalid filename (null)");
        return false;
    }
    std::string temporary = temporary_name(path);
    unlink(temporary.c_str());

    if (text.find('\0') != std::string::npos) {
        DLOG_ERROR(SOURCE, "%s: document for '%s' holds a NUL byte", "save", path);
        return false;
    }
    // Created exclusively and without following a link: whatever appears at
    // the temporary name after the unlink is refused, never written through.
    int fd = open(temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_SYNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "cannot open file '%s' for writing (%s)", temporary.c_str(),
                   strerror(e));
        return false;
    }
    ssize_t n;
    do
        n = write(fd, text.data(), text.size());
    while (n < 0 && errno == EINTR);
    if (n < 0 || size_t(n) < text.size()) {
        if (n < 0) {
            int e = errno;
            DLOG_ERROR(SOURCE, "failed to write to '%s' (%s)", temporary.c_str(), strerror(e));
        } else {
            DLOG_ERROR(SOURCE, "write to '%s' truncated, %lu bytes omitted",
                       temporary.c_str(), static_cast<unsigned long>(text.size() - size_t(n)));
        }
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    if (close(fd) != 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "failed to write to '%s' (%s)", temporary.c_str(), strerror(e));
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path) != 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "%s: failed to rename '%s' to '%s' (%s)", "save", temporary.c_str(),
                   path, strerror(e));
        unlink(temporary.c_str());
        return false;
    }
    // The rename is durable only once the directory is: until then a power
    // cut can bring the old document back. The new document is in place
    // either way, so a directory that cannot be flushed is reported, not
    // taken for a failed save.
    if (tarvo_sync_directory_of(path) != 0) {
        int e = errno;
        DLOG_ERROR(SOURCE, "%s: cannot flush the directory of '%s' (%s)", "save", path,
                   strerror(e));
    }
    return true;
}

void c_xmldoc::start_element_handler(void *user_data, const char *name,
                                     const char **attributes)
{
    if (user_data != nullptr)
        static_cast<c_xmldoc *>(user_data)->start_element(name, attributes);
}

void c_xmldoc::end_element_handler(void *user_data, const char *name)
{
    if (user_data != nullptr)
        static_cast<c_xmldoc *>(user_data)->end_element(name);
}

void c_xmldoc::character_data_handler(void *user_data, const char *text, int length)
{
    if (user_data != nullptr)
        static_cast<c_xmldoc *>(user_data)->character_data(text, length);
}

void c_xmldoc::cdata_start_handler(void *user_data)
{
    if (user_data != nullptr)
        static_cast<c_xmldoc *>(user_data)->cdata_start();
}

void c_xmldoc::cdata_end_handler(void *user_data)
{
    if (user_data != nullptr)
        static_cast<c_xmldoc *>(user_data)->cdata_end();
}

void c_xmldoc::start_element(const char *name, const char **attributes)
{
    c_xmlnode *node;
    if (current_ != nullptr) {
        node = current_->add_child(name);
    } else {
        delete root_;  // the parser allows one document element; never leak
        node = root_ = new c_xmlnode(nullptr, name);
    }
    // The parser gives well-formed text only; duplicate names are its error.
    // Attributes that come in name order (as saved) go in at the end.
    auto &into = node->attributes_;
    for (const char **a = attributes; a != nullptr && a[0] != nullptr; a += 2)
        into.emplace_hint(into.end(), a[0], std::string())->second = a[1];
    current_ = node;
}

void c_xmldoc::end_element(const char *name)
{
    if (current_ == nullptr) {
        DLOG_ERROR(SOURCE, "document cannot start with element end");
        return;
    }
    if (strcmp(current_->name(), name) != 0) {
        DLOG_ERROR(SOURCE, "name mismatch '<%s>..</%s>", current_->name(), name);
        return;
    }
    current_ = current_->parent();
}

void c_xmldoc::character_data(const char *text, int length)
{
    if (current_ == nullptr || current_->child_count() > 0 || length <= 0)
        return;
    current_->append_parsed(text, size_t(length));
}

void c_xmldoc::cdata_start()
{
    if (current_ != nullptr)
        current_->set_cdata(true);
}

void c_xmldoc::cdata_end()
{
    if (current_ != nullptr)
        current_->set_cdata(false);
}
