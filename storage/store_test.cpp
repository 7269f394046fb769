// Store object, signed index and opening: owners, signatures, commit,
// reload between store objects, the data directory setting.
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "storage/test_fixture.h"
#include "support/tarvo_common.h"
#include "support/test_process.h"

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
                    "Signature made by wrong token 'UID::7' owner is 'UID::0'"},
        // A signed index with bytes that do not parse is no index, wherever
        // the bytes stand: junk after the root, or the root left open.
        tamper_case{"junk after the root", "</pstore>", "</pstore>\v",
                    "invalid storage index"},
        tamper_case{"root left open", "</pstore>", "</pstore", "invalid storage index"}));

// An index is read by its entries, not by their order: entries moved out of
// name order, or a name given twice (the last one counts), give the store
// that was committed, or fail its signature.
TEST_F(store_test, entries_out_of_order_or_repeated_read_as_committed)
{
    std::string a = file("a", "alpha"), b = file("b", "bravo"), c = file("c", "charlie");
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        st.add_file(a.c_str());
        st.add_file(b.c_str());
        st.add_file(c.c_str());
        st.add_link("la", a.c_str());
        st.add_link("lb", b.c_str());
        ASSERT_TRUE(st.commit());
    }
    const std::string path = index_of(store_name), committed = read_whole(path);
    auto line_of = [&](const std::string &start) {
        size_t at = committed.find(start);
        EXPECT_NE(at, std::string::npos) << start;
        size_t begin = committed.rfind('\n', at) + 1;
        return committed.substr(begin, committed.find('\n', at) + 1 - begin);
    };
    const std::string la = line_of("<link name=\"la\""), lb = line_of("<link name=\"lb\"");
    const std::string fa = line_of("name=\"" + a + "\""), fc = line_of("name=\"" + c + "\"");
    std::string stale_a = fa;
    stale_a.replace(stale_a.find(sha1_b64("alpha")), 28, sha1_b64("stale"));
    auto edited = [&](const std::string &from, const std::string &to) {
        std::string text = committed;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    struct variant {
        const char *what;
        std::string text;
        bool verifies;
    };
    const variant variants[] = {
        {"members in reverse order", edited(fa + line_of("name=\"" + b + "\"") + fc,
                                            fc + line_of("name=\"" + b + "\"") + fa),
         true},
        {"links in reverse order", edited(la + lb, lb + la), true},
        {"a stale copy of a member before it", edited(fa, stale_a + fa), true},
        {"a stale copy of a member after it", edited(fa, fa + stale_a), false},
    };
    for (const variant &v : variants) {
        SCOPED_TRACE(v.what);
        write_whole(path, v.text);
        storage st(store_name.c_str(), 0, 0);
        if (!v.verifies) {
            EXPECT_EQ(st.entry_count(), 0);
            continue;
        }
        EXPECT_EQ(st.entry_count(), 5);
        std::string digest;
        EXPECT_TRUE(st.hash_of_file(a.c_str(), digest));
        EXPECT_EQ(digest, sha1_b64("alpha"));
        EXPECT_EQ(st.verify_file(c.c_str()), 1);
        std::string target;
        st.read_link("lb", target);
        EXPECT_EQ(target, b);
    }
}

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

TEST_F(store_test, reload_keeps_own_new_members_and_removals_and_restores_others)
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
    EXPECT_FALSE(two.contains_file(a.c_str()));  // the removal stands
    EXPECT_TRUE(two.contains_file(b.c_str()));
    std::string digest;
    ASSERT_TRUE(two.hash_of_file(c.c_str(), digest));
    EXPECT_EQ(digest, sha1_b64("charlie"));
    m->p_close();
    EXPECT_TRUE(one.refresh());
    EXPECT_EQ(one.entry_count(), 2);
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

    ASSERT_EQ(set_alternative_storage_root("/home/user/.tarvo/ps/alt"), 1);
    {
        storage st(store_name.c_str(), HELD, 0, 1);
        ASSERT_EQ(st.access_mode(), 0);
        ASSERT_EQ(st.put_file("doc", "x", 1), 0);
    }
    EXPECT_NE(read_whole("/home/user/.tarvo/ps/Ge/" + store_name)
                  .find("storage-path=\"/home/user/.tarvo/ps/alt/\""),
              std::string::npos);
    ASSERT_EQ(set_alternative_storage_root("/home/user/.tarvo/ps/.e/"), 1);
    storage st(store_name.c_str(), HELD, 0, 1);
    EXPECT_EQ(st.m_lock->m_data_directory, "/home/user/.tarvo/ps/alt/");
}

// A reload after another object's commit keeps the members this object
// added or renamed and takes everything else from the committed index: a
// member the other object removed stays removed.
TEST_F(store_test, reload_keeps_what_this_object_added_renamed_or_removed_and_nothing_else)
{
    std::string a = file("a", "alpha"), b = file("b", "bravo"), c = file("c", "charlie"),
                d = file("d", "bravo"), e = file("e", "echo"), f = file("f", "foxtrot"),
                g = file("g", "golf");
    storage one(store_name.c_str(), HELD, 0, 0);
    one.add_file(a.c_str());
    one.add_file(b.c_str());
    one.add_file(f.c_str());
    one.add_file(g.c_str());
    one.add_link("to-f", f.c_str());
    one.add_link("to-g", g.c_str());
    ASSERT_TRUE(one.commit());

    storage two(store_name.c_str(), HELD, 0, 0);
    ASSERT_TRUE(two.contains_file(a.c_str()));
    two.add_file(c.c_str());
    two.rename(b.c_str(), d.c_str());
    two.remove_file(f.c_str());
    two.remove_link("to-g");
    // Removed and added again: the new entry stands.
    two.remove_file(g.c_str());
    two.add_file(g.c_str());

    one.remove_file(a.c_str());
    one.add_file(e.c_str());
    ASSERT_TRUE(one.commit());
    ASSERT_TRUE(two.commit());

    storage three(store_name.c_str(), 0, 0);
    for (storage *s : {&two, &three}) {
        EXPECT_FALSE(s->contains_file(a.c_str()));  // removed by one
        EXPECT_FALSE(s->contains_file(b.c_str()));  // renamed by two
        EXPECT_TRUE(s->contains_file(c.c_str()));   // added by two
        EXPECT_TRUE(s->contains_file(d.c_str()));   // renamed by two
        EXPECT_TRUE(s->contains_file(e.c_str()));   // added by one
        EXPECT_FALSE(s->contains_file(f.c_str()));  // removed by two
        EXPECT_FALSE(s->contains_link("to-f"));     // went with its member
        EXPECT_FALSE(s->contains_link("to-g"));     // removed by two
        EXPECT_TRUE(s->contains_file(g.c_str()));   // added again by two
        EXPECT_EQ(s->verify_file(d.c_str()), 1);
    }
}

// Several processes commit to one store at once, each its own members:
// every commit that returned true is in the index afterwards.
TEST_F(store_test, concurrent_committers_lose_no_acknowledged_member)
{
    const int processes = 4, each = 12;
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        ASSERT_TRUE(st.commit());
    }
    std::vector<std::string> paths;
    for (int p = 0; p < processes; p++)
        for (int k = 0; k < each; k++)
            paths.push_back(file("m" + std::to_string(p) + "." + std::to_string(k),
                                 "member " + std::to_string(p * 100 + k)));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < processes; p++) {
        pid_t pid = test_fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(60);
            close(fds[0]);
            storage st(store_name.c_str(), HELD, 0, 0);
            for (int k = 0; k < each; k++) {
                st.add_file(paths[size_t(p * each + k)].c_str());
                unsigned char ok = st.commit() ? 1 : 0;
                unsigned char record[2] = {(unsigned char)(p * each + k), ok};
                if (write(fds[1], record, 2) != 2)
                    _exit(2);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    close(fds[1]);
    std::vector<int> acknowledged;
    unsigned char record[2];
    while (read(fds[0], record, 2) == 2)
        if (record[1] == 1)
            acknowledged.push_back(record[0]);
    close(fds[0]);
    for (pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(acknowledged.size(), paths.size());
    storage st(store_name.c_str(), 0, 0);
    for (int i : acknowledged) {
        EXPECT_TRUE(st.contains_file(paths[size_t(i)].c_str())) << paths[size_t(i)];
        EXPECT_EQ(st.verify_file(paths[size_t(i)].c_str()), 1) << paths[size_t(i)];
    }
}

// A commit that changes only metadata is seen by the other objects of the
// store, and their next commit keeps it.
TEST_F(store_test, metadata_only_commit_is_seen_and_kept)
{
    std::string a = file("a", "alpha"), b = file("b", "bravo");
    storage one(store_name.c_str(), HELD, 0, 0);
    one.add_file(a.c_str());
    ASSERT_TRUE(one.commit());
    storage two(store_name.c_str(), HELD, 0, 0);
    ASSERT_TRUE(two.contains_file(a.c_str()));

    std::unique_ptr<tarvo::p_file> m(one.member(a.c_str()));
    ASSERT_EQ(m->p_chmod(0100600), 0);
    m.reset();
    ASSERT_TRUE(one.commit());
    EXPECT_TRUE(two.index_changed());
    two.add_file(b.c_str());
    ASSERT_TRUE(two.commit());

    storage three(store_name.c_str(), 0, 0);
    struct stat rec;
    ASSERT_EQ(three.stat_file(a.c_str(), &rec), 0);
    EXPECT_EQ(rec.st_mode, 0100600u);
    EXPECT_TRUE(three.contains_file(b.c_str()));
}

// A commit writes nothing when the index it must first reload is refused
// or rejected, or when the caller may no longer act for the owner.
TEST_F(store_test, commit_after_a_failed_reload_or_without_the_owner_writes_nothing)
{
    std::string a = file("a", "alpha"), b = file("b", "bravo");
    const std::string index = index_of(store_name);
    struct {
        const char *what;
        void (*spoil)(const std::string &index);
    } cases[] = {
        {"index made a symbolic-link loop",
         [](const std::string &index) {
             ::unlink(index.c_str());
             ASSERT_EQ(symlink(index.c_str(), index.c_str()), 0);
         }},
        {"index whose signature fails",
         [](const std::string &index) {
             std::string text = read_whole(index);
             size_t at = text.find("hash=\"");
             ASSERT_NE(at, std::string::npos);
             text.insert(at + 6, "A");
             write_whole(index, text);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(index.c_str());
        storage one(store_name.c_str(), HELD, 0, 0);
        one.add_file(a.c_str());
        ASSERT_TRUE(one.commit());
        storage two(store_name.c_str(), HELD, 0, 0);
        one.add_file(b.c_str());
        ASSERT_TRUE(one.commit());
        c.spoil(index);
        struct stat before;
        ASSERT_EQ(lstat(index.c_str(), &before), 0);
        std::string text_before = S_ISREG(before.st_mode) ? read_whole(index) : "";
        two.add_file(b.c_str());
        syslog_capture log;
        errno = 0;
        EXPECT_FALSE(two.commit());
        EXPECT_EQ(errno, EACCES);
        EXPECT_TRUE(has_report(log, "commit: access denied, cannot commit '" + index + "'"));
        struct stat after;
        ASSERT_EQ(lstat(index.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        if (S_ISREG(before.st_mode)) {
            EXPECT_EQ(read_whole(index), text_before);
        }
    }

    // Writable, but the owner token is one the caller does not hold.
    ::unlink(index.c_str());
    storage st(store_name.c_str(), HELD, 0, 0);
    st.add_file(a.c_str());
    ASSERT_TRUE(st.commit());
    std::string committed = read_whole(index);
    st.add_file(b.c_str());
    st.m_owner = FOREIGN;
    ASSERT_EQ(st.access_mode(), 0);
    syslog_capture log;
    EXPECT_FALSE(st.commit());
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(has_report(log, "commit: access denied, cannot commit '" + index + "'"));
    EXPECT_EQ(read_whole(index), committed);
}

// Without usable hardware an "external" index counts only through its
// vdata entry: a commit whose entry cannot be recorded fails.
TEST_F(store_test, external_commit_fails_when_the_vdata_entry_is_not_recorded)
{
    fake_crypto::hw_mode = 3;
    std::string a = file("a", "alpha");
    storage st(store_name.c_str(), "pkg::app", 0, 0);
    st.add_file(a.c_str());
    fake_crypto::fail_save_global = true;
    syslog_capture log;
    EXPECT_FALSE(st.commit());
    // Refused already as a pending hash: the index was never written.
    EXPECT_EQ(fake_crypto::save_global_calls, 0);
    fake_crypto::fail_save_global = false;
    // The member added here is still this object's own after the failed
    // commit: another object's commit in between does not drop it.
    std::string b = file("b", "bravo");
    {
        storage other(store_name.c_str(), "pkg::app", 0, 0);
        other.add_file(b.c_str());
        ASSERT_TRUE(other.commit());
    }
    EXPECT_TRUE(st.commit());
    storage again(store_name.c_str(), 0, 0);
    EXPECT_TRUE(again.contains_file(a.c_str()));
    EXPECT_TRUE(again.contains_file(b.c_str()));
}

// An empty encrypted store taken over by a holder of the old and the new
// owner's credentials gets a key under the new owner: members can be
// written and read back, also after a reopen.
TEST_F(store_test, take_over_of_an_empty_encrypted_store_makes_a_new_key)
{
    {
        storage st(store_name.c_str(), HELD, 0, 1);
        ASSERT_TRUE(st.commit());
    }
    {
        storage st(store_name.c_str(), "GID::0", 0, 1);
        ASSERT_EQ(st.access_mode(), 0);
        EXPECT_STREQ(st.owner_token(), "GID::0");
        ASSERT_EQ(st.put_file("doc", "taken over", 10), 0);
        unsigned char *data = nullptr;
        size_t size = 0;
        ASSERT_EQ(st.get_file("doc", &data, &size), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "taken over");
        free(data);
    }
    storage st(store_name.c_str(), "GID::0", 0, 1);
    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st.get_file("doc", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "taken over");
    free(data);
}

// What a store puts on disk is changed only by its owner, whatever the
// umask: another user's process cannot delete or replace the index, add
// files beside it, append to a signed member or write the shared digest
// object, and an object that user made in advance is not used.
TEST_F(store_test, another_user_cannot_change_the_store)
{
    const uid_t nobody = 65534;
    const std::string shm = "/tarvo-ps:" + store_name + ":0:0";
    root_open_to_all root;
    ASSERT_TRUE(root.ok());
    // The other user makes the shared object first, open to everyone.
    pid_t early = test_fork();
    ASSERT_GE(early, 0);
    if (early == 0) {
        alarm(20);
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(100);
        umask(0);
        int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT, 0666);
        if (fd < 0 || ftruncate(fd, 20) != 0) {
            fprintf(stderr, "as uid %d: '%s': %s\n", int(nobody), shm.c_str(), strerror(errno));
            _exit(101);
        }
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(early, &status, 0), early);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    mode_t saved = umask(0);
    std::string a = file("a", "alpha");
    chmod(a.c_str(), 0644);
    {
        storage st(store_name.c_str(), HELD, 0, 0);
        st.add_file(a.c_str());
        EXPECT_TRUE(st.commit());
    }
    umask(saved);
    const std::string index = index_of(store_name);
    struct stat sb;
    for (const char *dir : {"/var/lib/tarvo/ps", "/var/lib/tarvo/ps/Gs"}) {
        ASSERT_EQ(stat(dir, &sb), 0) << dir;
        EXPECT_EQ(sb.st_mode & 07777, 0755u) << dir;
    }
    ASSERT_EQ(stat(index.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(("/dev/shm" + shm).c_str(), &sb), 0);
    EXPECT_EQ(sb.st_uid, 0u);
    EXPECT_EQ(sb.st_mode & 07777, 0600u);

    struct attack {
        const char *what;
        bool (*tried)(const std::string &index, const std::string &member, const std::string &shm);
    };
    static const attack attacks[] = {
        {"delete the index", [](const std::string &i, const std::string &, const std::string &) {
             return ::unlink(i.c_str()) == 0;
         }},
        {"move the index aside",
         [](const std::string &i, const std::string &, const std::string &) {
             return ::rename(i.c_str(), (i + ".old").c_str()) == 0;
         }},
        {"write the index", [](const std::string &i, const std::string &, const std::string &) {
             return open(i.c_str(), O_WRONLY | O_APPEND) >= 0;
         }},
        {"add a file beside the index",
         [](const std::string &i, const std::string &, const std::string &) {
             return open((i + ".x").c_str(), O_WRONLY | O_CREAT, 0644) >= 0;
         }},
        {"append to a signed member",
         [](const std::string &, const std::string &m, const std::string &) {
             return open(m.c_str(), O_WRONLY | O_APPEND) >= 0;
         }},
        {"write the shared digest object",
         [](const std::string &, const std::string &, const std::string &s) {
             return shm_open(s.c_str(), O_RDWR, 0) >= 0;
         }},
        {"open the shared digest object to hold its lock",
         [](const std::string &, const std::string &, const std::string &s) {
             return shm_open(s.c_str(), O_RDONLY, 0) >= 0;
         }},
        {"remove the shared digest object",
         [](const std::string &, const std::string &, const std::string &s) {
             return shm_unlink(s.c_str()) == 0;
         }},
    };
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)
            _exit(100);
        int done = 0;
        for (size_t k = 0; k < sizeof attacks / sizeof attacks[0]; k++)
            if (attacks[k].tried(index, a, shm))
                done |= 1 << k;
        _exit(done);
    }
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    ASSERT_NE(WEXITSTATUS(status), 100) << "cannot become uid 65534";
    for (size_t k = 0; k < sizeof attacks / sizeof attacks[0]; k++)
        EXPECT_EQ(WEXITSTATUS(status) & (1 << k), 0) << attacks[k].what;
    storage st(store_name.c_str(), 0, 0);
    EXPECT_EQ(st.verify_file(a.c_str()), 1);
}
