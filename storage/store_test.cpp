// Store object, signed index and opening: owners, signatures, commit,
// reload between store objects, the data directory setting.
#include <sys/stat.h>

#include <openssl/evp.h>

#include <memory>

#include "storage/test_fixture.h"
#include "support/tarvo_common.h"

using tarvo::storage;

namespace {

const char *HELD = "UID::0";       // a credential the test (root) holds
const char *FOREIGN = "UID::4242"; // a credential it does not hold

std::string index_of(const std::string &name) { return "/var/lib/tarvo/ps/Gs/" + name; }

std::string sha1_b64(const std::string &data)
{
    std::string out;
    storage::compute_digest(data.data(), data.size(), 'b', out);
    return out;
}

// Replaces the first occurrence of from in the file.
void patch(const std::string &path, const std::string &from, const std::string &to)
{
    std::string text = read_whole(path);
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    write_whole(path, text);
}

}  // namespace

TEST_F(store_test, new_signed_store_commits_and_reopens_with_its_members)
{
    std::string a = file("a", "alpha"), b = file("b", "bravo!");
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        EXPECT_EQ(st.access_mode(), 0);
        EXPECT_STREQ(st.owner_token(), HELD);
        EXPECT_EQ(st.index_path(), index_of(store_name));
        EXPECT_EQ(st.entry_count(), 0);
        st.add_file(a.c_str());
        st.add_file(b.c_str());
        st.add_link("first", a.c_str());
        ASSERT_TRUE(st.commit());
    }
    std::string text = read_whole(index_of(store_name));
    EXPECT_NE(text.find("version=\"2\""), std::string::npos);
    EXPECT_NE(text.find("owner=\"UID::0\""), std::string::npos);
    EXPECT_NE(text.find("<link name=\"first\" to=\"" + a + "\""), std::string::npos);
    EXPECT_NE(text.find("size=\"5\""), std::string::npos);
    // Members come first, by name, then the links.
    EXPECT_LT(text.find("name=\"" + a), text.find("name=\"" + b));
    EXPECT_LT(text.find("name=\"" + b), text.find("<link"));

    storage again(store_name.c_str(), 0, 0);
    EXPECT_EQ(again.access_mode(), 0);
    EXPECT_STREQ(again.owner_token(), HELD);
    EXPECT_EQ(again.entry_count(), 3);
    std::string digest;
    ASSERT_TRUE(again.hash_of_file(a.c_str(), digest));
    EXPECT_EQ(digest, sha1_b64("alpha"));
    EXPECT_TRUE(again.contains_link("first"));
    EXPECT_EQ(again.verify_file(b.c_str()), 1);
}

TEST_F(store_test, internal_hash_covers_path_names_digests_and_links_only)
{
    storage st(store_name.c_str(), HELD, 0, 0);
    std::string empty;
    unsigned char raw[20];
    ASSERT_TRUE(st.internal_hash(raw, empty));
    EXPECT_EQ(empty, sha1_b64(index_of(store_name)));

    std::string a = file("a", "alpha");
    st.add_file(a.c_str());
    std::string with_member;
    ASSERT_TRUE(st.internal_hash(nullptr, with_member));
    EXPECT_EQ(with_member, sha1_b64(index_of(store_name) + a + sha1_b64("alpha")));

    // Metadata, owner and version are outside the hash.
    st.m_files[a].metadata.st_mode = 0100600;
    st.m_owner = "someone-else";
    std::string after;
    ASSERT_TRUE(st.internal_hash(nullptr, after));
    EXPECT_EQ(after, with_member);
    st.add_link("l", "x");
    ASSERT_TRUE(st.internal_hash(nullptr, after));
    EXPECT_EQ(after, sha1_b64(index_of(store_name) + a + sha1_b64("alpha") + "lx"));
}

struct tamper_case {
    const char *what;
    const char *from;
    const char *to;
    const char *report;
};

class index_tamper : public store_test, public ::testing::WithParamInterface<tamper_case> {};

TEST_P(index_tamper, rejected_index_opens_empty)
{
    std::string a = file("a", "alpha");
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        st.add_file(a.c_str());
        ASSERT_TRUE(st.commit());
    }
    const tamper_case &c = GetParam();
    std::string text = read_whole(index_of(store_name));
    if (std::string(c.from) == "<signature>") {
        size_t s = text.find("<signature>"), e = text.find("</signature>");
        ASSERT_NE(e, std::string::npos);
        text.replace(s, e + 12 - s, c.to);
    } else {
        size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, strlen(c.from), c.to);
    }
    write_whole(index_of(store_name), text);

    syslog_capture log;
    errno = 0;
    storage st(store_name.c_str(), 0, 0);
    EXPECT_TRUE(has_report(log, c.report)) << c.what;
    EXPECT_EQ(st.entry_count(), 0) << c.what;
    EXPECT_FALSE(st.contains_file(a.c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    cases, index_tamper,
    ::testing::Values(
        tamper_case{"digest changed", "hash=\"", "hash=\"A", "Signature does not verify"},
        tamper_case{"no signature", "<signature>", "", "cannot check integrity"},
        tamper_case{"malformed signature", "<signature>", "<signature>zz</signature>",
                    "Invalid signature ('zz')"},
        tamper_case{"signed by another token", "<signature>",
                    "<signature>b-AAAAAAAAAAAAAAAAAAAAAAAAAAA=-UID::7</signature>",
                    "Signature made by wrong token 'UID::7' owner is 'UID::0'"}));

TEST_F(store_test, store_of_a_credential_the_caller_lacks_is_read_only)
{
    std::string a = file("a", "alpha");
    std::string hash_text;
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        st.add_file(a.c_str());
        ASSERT_TRUE(st.commit());
        ASSERT_TRUE(st.internal_hash(nullptr, hash_text));
    }
    std::string path = index_of(store_name);
    patch(path, "owner=\"UID::0\"", std::string("owner=\"") + FOREIGN + "\"");
    patch(path, fake_crypto::signature_text(HELD, hash_text), fake_crypto::signature_text(FOREIGN, hash_text));

    storage st(store_name.c_str(), 0, 0);
    EXPECT_STREQ(st.owner_token(), FOREIGN);
    EXPECT_EQ(st.access_mode(), 1);
    EXPECT_TRUE(st.contains_file(a.c_str()));

    syslog_capture log;
    errno = 0;
    EXPECT_FALSE(st.commit());
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(has_report(log, "commit: access denied, cannot commit '" + path + "'"));
}

TEST_F(store_test, take_over_by_a_holder_of_both_credentials)
{
    std::string a = file("a", "alpha");
    std::string hash_text;
    {
        storage st(store_name.c_str(), "GID::0", 0, 0);
        st.add_file(a.c_str());
        ASSERT_TRUE(st.commit());
        ASSERT_TRUE(st.internal_hash(nullptr, hash_text));
    }
    storage st(store_name.c_str(), HELD, 0, 0);
    EXPECT_STREQ(st.owner_token(), HELD);
    EXPECT_EQ(st.access_mode(), 0);
    EXPECT_TRUE(st.contains_file(a.c_str()));
    ASSERT_TRUE(st.commit());
    EXPECT_NE(read_whole(index_of(store_name)).find(fake_crypto::signature_text(HELD, hash_text)),
              std::string::npos);
}

TEST_F(store_test, without_hardware_a_non_credential_owner_signs_external)
{
    fake_crypto::hw_mode = 3;
    std::string a = file("a", "alpha");
    {
        storage st(store_name.c_str(), "pkg::app", 0, 0);
        ASSERT_EQ(st.access_mode(), 0);
        st.add_file(a.c_str());
        ASSERT_TRUE(st.commit());
        EXPECT_EQ(fake_crypto::save_global_calls, 1);
    }
    EXPECT_NE(read_whole(index_of(store_name)).find("<signature>external</signature>"),
              std::string::npos);
    {
        storage st(store_name.c_str(), 0, 0);
        EXPECT_TRUE(st.contains_file(a.c_str()));
    }
    // The index no longer matches its vdata entry.
    patch(index_of(store_name), "version=\"2\"", "version=\"2\" ");
    syslog_capture log;
    storage st(store_name.c_str(), 0, 0);
    EXPECT_TRUE(has_report(log, "Global signature does not verify"));
    EXPECT_FALSE(st.contains_file(a.c_str()));
}

TEST_F(store_test, unreadable_index_and_missing_name)
{
    syslog_capture log;
    storage anon(nullptr, HELD, 0, 0);
    EXPECT_STREQ(anon.name(), ".anonymous");
    EXPECT_TRUE(has_report(log, "Must give name for storage, using default"));

    mkdir("/var/lib/tarvo/ps/Gs", 0777);
    write_whole(index_of(store_name), "not xml at all");
    storage st(store_name.c_str(), HELD, 0, 0);
    EXPECT_TRUE(has_report(log, "invalid storage index '" + index_of(store_name) +
                                    "' size 14, recreate"));
    EXPECT_EQ(st.access_mode(), 0);
    EXPECT_EQ(st.entry_count(), 0);
}

TEST_F(store_test, names_that_are_paths_are_refused)
{
    for (const char *name : {"../escape", "a/b", "..", "."}) {
        syslog_capture log;
        errno = 0;
        storage st(name, HELD, 0, 0);
        EXPECT_EQ(errno, EINVAL) << name;
        EXPECT_EQ(st.access_mode(), 2) << name;
        EXPECT_FALSE(st.commit()) << name;
        EXPECT_TRUE(has_report(log, std::string("invalid storage name '") + name + "'"));
    }
    struct stat s;
    EXPECT_NE(stat("/var/lib/tarvo/ps/escape", &s), 0);
}

TEST_F(store_test, names_xml_cannot_carry_are_not_committed)
{
    std::string a = file("a", "alpha");
    std::string odd = file("odd\xff", "x");
    storage st(store_name.c_str(), HELD, 0, 0);
    st.add_file(a.c_str());
    ASSERT_TRUE(st.commit());
    std::string before = read_whole(index_of(store_name));
    st.add_file(odd.c_str());
    ASSERT_TRUE(st.contains_file(odd.c_str()));
    syslog_capture log;
    errno = 0;
    EXPECT_FALSE(st.commit());
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(has_report(log, "cannot be kept in the index"));
    EXPECT_EQ(read_whole(index_of(store_name)), before);
    st.remove_file(odd.c_str());
    st.add_link("bad\x01link", a.c_str());
    EXPECT_FALSE(st.commit());
    st.remove_link("bad\x01link");
    EXPECT_TRUE(st.commit());
    storage again(store_name.c_str(), 0, 0);
    EXPECT_TRUE(again.contains_file(a.c_str()));
}

TEST_F(store_test, crypto_start_failure_refuses_the_store)
{
    fake_crypto::fail_init = true;
    storage st(store_name.c_str(), HELD, 0, 0);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(st.access_mode(), 2);
    EXPECT_EQ(st.entry_count(), -1);
    EXPECT_EQ(st.link_count(), 0);
    std::vector<char *> names;
    EXPECT_EQ(st.get_files(names), -1);
}

TEST_F(store_test, old_version_is_written_back_as_2)
{
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        ASSERT_TRUE(st.commit());
    }
    patch(index_of(store_name), "version=\"2\"", "version=\"0\"");
    storage st(store_name.c_str(), HELD, 0, 0);
    EXPECT_EQ(st.m_lock->m_version, 0);
    ASSERT_TRUE(st.commit());
    EXPECT_NE(read_whole(index_of(store_name)).find("version=\"2\""), std::string::npos);
}

TEST_F(store_test, reload_keeps_own_new_members_and_restores_others)
{
    std::string a = file("a", "alpha"), b = file("b", "bravo"), c = file("c", "");
    storage one(store_name.c_str(), HELD, 0, 0);
    one.add_file(a.c_str());
    ASSERT_TRUE(one.commit());

    storage two(store_name.c_str(), HELD, 0, 0);
    ASSERT_TRUE(two.contains_file(a.c_str()));
    // two: a new member still open for writing, and a removal not committed.
    std::unique_ptr<tarvo::p_file> m(two.member(c.c_str()));
    ASSERT_TRUE(m->p_open(O_RDWR | O_CREAT | O_TRUNC));
    ASSERT_EQ(m->p_write(0, "charlie", 7), 7);
    two.remove_file(a.c_str());
    EXPECT_FALSE(two.contains_file(a.c_str()));

    one.add_file(b.c_str());
    ASSERT_TRUE(one.commit());
    EXPECT_TRUE(two.index_changed());
    ASSERT_TRUE(two.commit());
    EXPECT_FALSE(two.index_changed());
    EXPECT_TRUE(two.contains_file(a.c_str()));  // the removal gave way
    EXPECT_TRUE(two.contains_file(b.c_str()));
    std::string digest;
    ASSERT_TRUE(two.hash_of_file(c.c_str(), digest));
    EXPECT_EQ(digest, sha1_b64("charlie"));
    m->p_close();
    EXPECT_TRUE(one.refresh());
    EXPECT_EQ(one.entry_count(), 3);
}

TEST_F(store_test, alternative_data_directory)
{
    struct {
        const char *path;
        int result;
        const char *after;
    } cases[] = {
        {nullptr, 0, "/home/user/.tarvo/ps/.e/"},
        {"", 0, "/home/user/.tarvo/ps/.e/"},
        {"relative/dir", 0, "/home/user/.tarvo/ps/.e/"},
        {"/data/e", 1, "/data/e/"},
        {"/data/f/", 1, "/data/f/"},
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(set_alternative_storage_root(c.path), c.result) << (c.path ? c.path : "null");
        if (c.result == 0) {
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_STREQ(storage_data_directory(), c.after);
    }
    std::string longest = "/" + std::string(253, 'd');
    EXPECT_EQ(set_alternative_storage_root(longest.c_str()), 1);
    EXPECT_EQ(strlen(storage_data_directory()), 255u);
    EXPECT_EQ(set_alternative_storage_root((longest + "d").c_str()), 0);

    ASSERT_EQ(set_alternative_storage_root("/tmp/storage-work/alt"), 1);
    {
        storage st(store_name.c_str(), HELD, 0, 1);
        ASSERT_EQ(st.access_mode(), 0);
        ASSERT_EQ(st.put_file("doc", "x", 1), 0);
    }
    EXPECT_NE(read_whole("/home/user/.tarvo/ps/Ge/" + store_name)
                  .find("storage-path=\"/tmp/storage-work/alt/\""),
              std::string::npos);
    ASSERT_EQ(set_alternative_storage_root("/home/user/.tarvo/ps/.e/"), 1);
    storage st(store_name.c_str(), HELD, 0, 1);
    EXPECT_EQ(st.m_lock->m_data_directory, "/tmp/storage-work/alt/");
}
