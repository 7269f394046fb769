// Helpers of the boot program's tests: the SHA-1 of a text through the
// program's own digest, the records load_all writes to the kernel's
// hash-list file, read back from a plain file, and a fixture with a
// temporary directory for that file.
#pragma once

#include "init/digest.h"
#include "init/hash_entry.h"
#include "init/log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::vector<uint8_t> sha1_of(const std::string &content)
{
    sha1_ctx ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, content.data(), uint32_t(content.size()));
    std::vector<uint8_t> d(SHA1_DIGEST_LENGTH);
    sha1_final(d.data(), &ctx);
    return d;
}

// Where a record's text starts: after the letter, and after the 20 hash
// bytes for the letters that carry a hash ('s', 't').
inline size_t record_text_start(char letter)
{
    return (letter == 's' || letter == 't') ? 1 + SHA1_DIGEST_LENGTH : 1;
}

// A record's text, without its NUL and newline.
inline std::string record_text(const std::string &rec)
{
    size_t start = record_text_start(rec[0]);
    return rec.substr(start, rec.size() - start - 2);
}

// Empties the file at path, lets load_all write every entry to it and
// returns the records in order, each whole: letter, hash bytes where the
// letter carries one, text, NUL and newline.
inline std::vector<std::string> loaded_records(const std::string &path)
{
    std::ofstream(path, std::ios::trunc).close();
    EXPECT_EQ(load_all(path.c_str()), 0);
    std::ifstream in(path, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> recs;
    size_t pos = 0;
    while (pos < all.size()) {
        size_t text = pos + record_text_start(all[pos]);
        size_t nul = all.find('\0', text);
        EXPECT_NE(nul, std::string::npos);
        if (nul == std::string::npos)
            break;
        EXPECT_EQ(all[nul + 1], '\n');
        recs.push_back(all.substr(pos, nul + 2 - pos));
        pos = nul + 2;
    }
    return recs;
}

// No hash entries before and after each test, the trace silent, and a
// temporary directory whose "hashlist" file stands in for the kernel's.
class HashListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        release_all_entries();
        char tmpl[] = "/tmp/ks-hashlist-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        out = dir + "/hashlist";
        touch(out, "");
        log_to_stderr(0);
    }
    void TearDown() override
    {
        release_all_entries();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    // Writes the file and returns its path.
    static std::string touch(const std::string &path, const std::string &content)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        return path;
    }
    std::string dir, out;
};
