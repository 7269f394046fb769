// Test fixture of protected storage: the stand-in crypto services reset,
// the storage roots emptied, and store names that no earlier test used (the
// shared-digest objects outlive the store objects).
#pragma once

#include <ftw.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "storage/tarvo_storage.h"
#include "storage/test_crypto.h"
#include "support/test_syslog.h"

inline int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

inline void remove_tree(const std::string &path)
{
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

inline std::string read_whole(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_whole(const std::string &path, const std::string &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
}

// The size of the file at path, or -1 when it cannot be examined.
inline off_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

inline bool has_report(const syslog_capture &log, const std::string &text)
{
    for (const std::string &r : log.reports())
        if (r.find(text) != std::string::npos)
            return true;
    return false;
}

// Opens "/" to every user for the test's span, as a device's root is (the
// sandbox's temporary root is private: without this an attack by another
// user would fail at "/"); the old mode comes back at the end.
class root_open_to_all {
public:
    root_open_to_all()
    {
        struct stat st;
        if (stat("/", &st) == 0)
            mode_ = st.st_mode & 07777;
        ok_ = chmod("/", 0755) == 0;
    }
    ~root_open_to_all() { chmod("/", mode_); }
    root_open_to_all(const root_open_to_all &) = delete;
    root_open_to_all &operator=(const root_open_to_all &) = delete;
    bool ok() const { return ok_; }

private:
    mode_t mode_ = 0700;
    bool ok_ = false;
};

class store_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake_crypto::reset();
        remove_tree("/var/lib/tarvo/ps");
        remove_tree("/home/user/.tarvo");
        remove_tree(work_dir);
        mkdir(work_dir.c_str(), 0755);
        static int counter = 0;
        store_name = "t" + std::to_string(getpid()) + "." + std::to_string(++counter);
    }
    void TearDown() override
    {
        for (int v = 0; v < 3; v++)
            for (int p = 0; p < 2; p++)
                shm_unlink(("/tarvo-ps:" + store_name + ":" + std::to_string(v) + ":" +
                            std::to_string(p)).c_str());
    }
    // A file outside the stores, for signed members.
    std::string file(const std::string &name, const std::string &content)
    {
        std::string path = work_dir + "/" + name;
        write_whole(path, content);
        return path;
    }

    const std::string work_dir = "/tmp/storage-work";
    std::string store_name;
};
