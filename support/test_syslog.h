// Test helper: collects the error-log lines a block of code makes.
// openlog with LOG_PERROR makes the C library copy every syslog line to
// standard error, which is redirected into a pipe for the life of the
// object (a pipe, so that file-size limits a test sets do not apply); no
// system log is needed.
#pragma once

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

class syslog_capture {
public:
    syslog_capture()
    {
        fflush(stderr);
        if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
            abort();
        fcntl(pipe_[1], F_SETPIPE_SZ, 1 << 20);
        saved_ = dup(STDERR_FILENO);
        dup2(pipe_[1], STDERR_FILENO);
        openlog("kst", LOG_PERROR, LOG_USER);
    }
    ~syslog_capture()
    {
        openlog(nullptr, 0, LOG_USER);  // LOG_PERROR off again
        closelog();
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        close(pipe_[0]);
        close(pipe_[1]);
    }
    syslog_capture(const syslog_capture &) = delete;
    syslog_capture &operator=(const syslog_capture &) = delete;

    // The lines so far, without the identity prefix and the newline.
    std::vector<std::string> lines() const
    {
        char chunk[4096];
        for (;;) {
            ssize_t n = read(pipe_[0], chunk, sizeof chunk);
            if (n <= 0)
                break;
            text_.append(chunk, size_t(n));
        }
        const std::string &all = text_;
        std::vector<std::string> out;
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find('\n', start);
            if (end == std::string::npos)
                end = all.size();
            std::string line = all.substr(start, end - start);
            if (line.compare(0, 5, "kst: ") == 0)
                line.erase(0, 5);
            out.push_back(line);
            start = end + 1;
        }
        return out;
    }
    // The report texts after "<source>(<line>): ERROR ".
    std::vector<std::string> reports() const
    {
        std::vector<std::string> out;
        for (const std::string &l : lines()) {
            size_t at = l.find("): ERROR ");
            out.push_back(at == std::string::npos ? l : l.substr(at + 9));
        }
        return out;
    }

private:
    int pipe_[2];
    int saved_;
    mutable std::string text_;
};
