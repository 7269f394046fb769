// Whole-file reads and writes for the fuzz targets' own files (their
// scratch files and seed outputs, never the code under test's).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace fuzz_files {

// The file's bytes; empty when it cannot be read.
inline std::string read(const std::string &path)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

// Replaces the file's bytes (created 0644); false on any failure.
inline bool write(const std::string &path, const std::string &bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace fuzz_files
