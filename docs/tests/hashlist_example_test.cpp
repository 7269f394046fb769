// The reference hash list of docs/file-formats.md, parsed on the sample
// device in the sandbox: the page shows docs/examples/refhashlist as it
// is, and the records and module hashes the kernel receives from it are
// the ones the page lists.
#include "docs/tests/page_blocks.h"

#include "creds/creds.h"
#include "init/hash_entry.h"
#include "init/refhashlist.h"
#include "init/security_policy.h"
#include "init/test_support.h"
#include "restok/restok.h"
#include "sim/models/keepstone.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const char PAGE[] = "file-formats.md";

std::string hex_of(const std::string &bytes)
{
    std::string s;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

// The record text the kernel must receive for one line of the page:
// LETTER HASH|- PATH A1 A2 A3 SOURCE|- CREDENTIAL...|-
// (the hash as hex, the file by path, the source by name, the credentials
// as text), with the device, inode, source id and credential pairs
// filled in as the boot program's parser finds them on this device.
std::string expected_record(const std::string &line)
{
    auto w = ks_docs::words_of(line);
    if (w.size() < 8)
        return "bad line: " + line;
    std::string rec = w[0];
    if (w[0] == "s" || w[0] == "t")
        rec += w[1];
    uint32_t ino = 0, dev = 0;
    EXPECT_EQ(stat_ids(w[2].c_str(), &ino, &dev), 0) << w[2];
    long source = 0;
    if (w[6] != "-")
        source = restok_define(w[6].c_str(), restok_define("SRC", 0));
    std::vector<std::pair<long, long>> creds;
    for (size_t i = 7; i < w.size(); i++) {
        if (w[i] == "-")
            continue;
        long value = 0;
        long type = creds_from_text(w[i].c_str(), &value);
        EXPECT_NE(type, -1) << "the page lists " << w[i] << ", which does not translate";
        creds.push_back({type, value});
    }
    char text[512];
    std::snprintf(text, sizeof text, " %d %d %s %s %s %ld %zu", int32_t(dev), int32_t(ino),
                  w[3].c_str(), w[4].c_str(), w[5].c_str(), source, creds.size());
    rec += text;
    for (auto &c : creds) {
        std::snprintf(text, sizeof text, " %ld %ld", c.first, c.second);
        rec += text;
    }
    return rec;
}

// A record as the same line form: letter, hash as hex, text part.
std::string readable(const std::string &rec)
{
    std::string out(1, rec[0]);
    if (rec[0] == 's' || rec[0] == 't')
        out += hex_of(rec.substr(1, SHA1_DIGEST_LENGTH));
    return out + record_text(rec);
}

class HashListExample : public HashListTest {};

TEST_F(HashListExample, PageShowsTheExampleFile)
{
    std::string file = ks_docs::docs_file("examples/refhashlist");
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(ks_docs::page_block(PAGE, "example: examples/refhashlist"), file);
}

TEST_F(HashListExample, ParsesToTheRecordsThePageShows)
{
    // The boot defines the root and "tcb" tokens before it reads the list,
    // so that "tcb" translates to a credential.
    ASSERT_EQ(init_security_policy(), 0);
    std::string list = ks_docs::docs_file("examples/refhashlist");
    ASSERT_FALSE(list.empty());
    std::vector<char> buffer(list.begin(), list.end());
    buffer.push_back('\0');
    ASSERT_EQ(parse_hashlist(buffer.data(), list.size(), 0, 0), 0);

    std::vector<std::string> want, got;
    for (auto &line : ks_docs::lines_of(ks_docs::page_block(PAGE, "expect: hashlist-records")))
        want.push_back(expected_record(line));
    for (auto &rec : loaded_records(out))
        got.push_back(readable(rec));
    ASSERT_FALSE(want.empty());
    // The kernel receives them in (device, inode) order; the page lists
    // them in the order of the list.
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);

    std::vector<ks_sim::keepstone_event> events;
    ASSERT_EQ(ks_sim::read_keepstone_log(events), 0);
    std::vector<std::string> modules;
    for (auto &m : ks_sim::keepstone_writes(events, "modlist"))
        modules.push_back(hex_of(m));
    EXPECT_EQ(modules, ks_docs::lines_of(ks_docs::page_block(PAGE, "expect: modlist")));
}

}  // namespace
