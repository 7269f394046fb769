// Helpers of the tests that run the examples of the pages in docs/: the
// text of a page, the fenced block that follows a marker line
// "<!-- NAME -->" in it, and a file of docs/ read whole. KS_DOCS_DIR is the
// source directory docs/.
#pragma once

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace ks_docs {

// The whole file at a path below docs/, or "" when it cannot be read.
inline std::string docs_file(const std::string &relative)
{
    std::ifstream in(std::string(KS_DOCS_DIR) + "/" + relative, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The content of the fenced block (``` lines) that follows the line
// "<!-- name -->" of the page, each of its lines with its newline; "" when
// the page has no such marker or no block after it.
inline std::string page_block(const std::string &page, const std::string &name)
{
    std::string text = docs_file(page);
    std::string marker = "<!-- " + name + " -->\n";
    size_t at = text.find(marker);
    if (at == std::string::npos)
        return "";
    size_t open = text.find("```", at + marker.size());
    if (open == std::string::npos)
        return "";
    size_t start = text.find('\n', open);
    if (start == std::string::npos)
        return "";
    ++start;
    size_t close = text.find("\n```", start - 1);
    if (close == std::string::npos || close + 1 < start)
        return "";
    return text.substr(start, close + 1 - start);
}

// The lines of a text, without their newlines.
inline std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The words of a line, split at blanks.
inline std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

}  // namespace ks_docs
