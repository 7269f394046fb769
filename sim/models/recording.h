// A device file that keeps every write as one record of a per-boot state
// file and reads back a fixed text (or nothing).
#pragma once

#include "sim/model.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace ks_sim {

class recording_file : public open_file {
public:
    recording_file(std::string record_file, std::string content = "")
        : record_file_(std::move(record_file)), content_(std::move(content))
    {
    }

    ssize_t read(void *buf, size_t len) override
    {
        if (pos_ >= content_.size())
            return 0;
        size_t n = std::min(len, content_.size() - pos_);
        std::memcpy(buf, content_.data() + pos_, n);
        pos_ += n;
        return ssize_t(n);
    }

    ssize_t write(const void *buf, size_t len) override
    {
        int r = append_record(record_file_, buf, len);
        return r < 0 ? r : ssize_t(len);
    }

    off_t lseek(off_t offset, int whence) override
    {
        off_t base = whence == SEEK_SET ? 0
                     : whence == SEEK_CUR ? off_t(pos_)
                     : whence == SEEK_END ? off_t(content_.size())
                                          : -1;
        if (base < 0 || base + offset < 0)
            return -EINVAL;
        pos_ = size_t(base + offset);
        return off_t(pos_);
    }

private:
    std::string record_file_;
    std::string content_;
    size_t pos_ = 0;
};

// Records of a per-boot file joined as text, one line each.
inline std::string records_as_lines(const std::string &file)
{
    std::vector<std::string> recs;
    read_records(run_path(file), recs);
    std::string s;
    for (const auto &r : recs) {
        s += r;
        if (s.empty() || s.back() != '\n')
            s += '\n';
    }
    return s;
}

}  // namespace ks_sim
