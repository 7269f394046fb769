// Test fixture for the crypto services inside the sandbox: a fresh set-up
// of the services for each test against the simulated secure side, the
// error-log lines of a test, and a switch to the mode without hardware.
#pragma once

#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "secbins/kz4_secbins.h"
#include "sim/model.h"
#include "sim/models/omap_sec.h"
#include "support/tarvo_common.h"
#include "support/test_process.h"
#include "support/test_syslog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <fstream>
#include <functional>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

class CryptoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(make_path("/var/lib", 0755), 0);
        ASSERT_EQ(make_path("/etc", 0755), 0);
        configure("device_key=000102030405060708090a0b0c0d0e0f\n");
        arm("");
        reset();
        log_.reset(new syslog_capture);
    }
    void TearDown() override
    {
        log_.reset();
        arm("");
        configure("");
        reset();
    }

    // Forgets the services' set-up, so that the next call sets them up
    // again as the first call of a process does.
    static void reset()
    {
        tarvo_crypto_cleanup();
        crypto.hw_usable = true;
        crypto.vdata_digest_cached = false;
        resolve_absolute_paths = 1;
    }
    // The next set-up finds the security hardware unusable.
    static void without_hardware()
    {
        reset();
        arm("omap_sec.open=2\n");
        ASSERT_EQ(tarvo_crypto_init(), 1);
        ASSERT_FALSE(crypto.hw_usable);
    }
    static void configure(const std::string &text)
    {
        ASSERT_EQ(ks_sim::write_state(ks_sim::OMAP_SEC_CONFIG, text), 0);
    }
    static void arm(const std::string &faults)
    {
        ASSERT_EQ(ks_sim::write_state("faults", faults), 0);
    }
    // The texts of the services' error-log lines since the last call,
    // after their "tarvo_crypto(LINE): ERROR " (other lines on the stream,
    // such as the flash library's, are left out).
    std::vector<std::string> reports()
    {
        std::vector<std::string> all = log_->lines();
        std::vector<std::string> fresh;
        for (size_t i = seen_; i < all.size(); i++) {
            const std::string &l = all[i];
            size_t at = l.find("): ERROR ");
            if (l.compare(0, 13, "tarvo_crypto(") == 0 && at != std::string::npos)
                fresh.push_back(l.substr(at + 9));
        }
        seen_ = all.size();
        return fresh;
    }
    static bool has(const std::vector<std::string> &reports, const std::string &text)
    {
        return std::find(reports.begin(), reports.end(), text) != reports.end();
    }

private:
    std::unique_ptr<syslog_capture> log_;
    size_t seen_ = 0;
};

// Whole-file helpers of the sandboxed tests.
inline void write_file(const char *path, const std::string &content)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, content.data(), content.size()), ssize_t(content.size()));
    close(fd);
}
inline std::string read_file(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
// Names in /etc that begin with the prefix.
inline std::vector<std::string> etc_names(const std::string &prefix)
{
    std::vector<std::string> names;
    if (DIR *d = opendir("/etc")) {
        while (dirent *e = readdir(d))
            if (std::string(e->d_name).rfind(prefix, 0) == 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}
// SHA-1 of a text as 40 lowercase hex digits, from the cryptography library.
inline std::string sha1_hex(const std::string &content)
{
    unsigned char d[20];
    SHA1(reinterpret_cast<const unsigned char *>(content.data()), content.size(), d);
    return hex_string(d, 20);
}
inline const unsigned char *bytes_of(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

// Runs the body at once in `count` forked children (the body gets the
// child's number) and waits for them all; each child is ended by SIGALRM
// after `seconds`. The result is each child's wait status, in order
// (-1 for a child that could not be made).
inline std::vector<int> run_children(int count, unsigned seconds,
                                     const std::function<int(int)> &body)
{
    fflush(nullptr);
    std::vector<pid_t> children;
    for (int i = 0; i < count; i++) {
        pid_t child = test_fork();
        if (child == 0) {
            alarm(seconds);
            _exit(body(i));
        }
        children.push_back(child);
    }
    std::vector<int> statuses;
    for (pid_t child : children) {
        int status = -1;
        if (child > 0 && waitpid(child, &status, 0) != child)
            status = -1;
        statuses.push_back(status);
    }
    return statuses;
}
// Whether a wait status is a child that exited normally with status 0.
inline bool exited_cleanly(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }
