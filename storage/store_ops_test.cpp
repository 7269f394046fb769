// Store operations: whole-file access, content checks, links, renames,
// listings, removal of the whole store and the stores of one address.
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

#include "storage/test_fixture.h"

using tarvo::storage;

namespace {

const char *OWNER = "UID::0";

std::vector<std::string> taken(std::vector<char *> &names)
{
    std::vector<std::string> out(names.begin(), names.end());
    storage::free_names(names);
    return out;
}

}  // namespace

class store_ops_test : public store_test {
protected:
    void SetUp() override
    {
        store_test::SetUp();
        a = file("a", "alpha");
        b = file("b", "bravo");
        st.reset(new storage(store_name.c_str(), OWNER, 0, 0));
        st->add_file(a.c_str());
        st->add_file(b.c_str());
    }
    void TearDown() override
    {
        st.reset();
        store_test::TearDown();
    }
    std::unique_ptr<storage> st;
    std::string a, b;
};

TEST_F(store_ops_test, links_stand_for_members)
{
    st->add_link("l1", a.c_str());
    st->add_link("l2", a.c_str());
    st->add_link("dangling", "/nowhere");
    EXPECT_EQ(st->link_count(), 3);

    struct stat rec;
    ASSERT_EQ(st->stat_file("l1", &rec), 0);
    EXPECT_EQ(rec.st_mode & 0xF000, 0xA000u);
    EXPECT_EQ(rec.st_mode & 0777, 0777u);
    EXPECT_EQ(rec.st_size, 5);

    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st->get_file("l2", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "alpha");
    free(data);

    // Removing the member removes every link to it.
    st->remove_file(a.c_str());
    EXPECT_FALSE(st->contains_link("l1"));
    EXPECT_FALSE(st->contains_link("l2"));
    EXPECT_TRUE(st->contains_link("dangling"));
}

TEST_F(store_ops_test, rename_of_links_members_and_unknown_names)
{
    st->add_link("l", a.c_str());
    st->rename("l", "m");
    EXPECT_FALSE(st->contains_link("l"));
    std::string target;
    st->read_link("m", target);
    EXPECT_EQ(target, a);

    syslog_capture log;
    st->rename("neither", "x");
    EXPECT_TRUE(has_report(log, "rename: 'neither' not found"));

    // Onto an existing member: its entry takes the moved digest.
    std::string da;
    ASSERT_TRUE(st->hash_of_file(a.c_str(), da));
    st->rename(a.c_str(), b.c_str());
    std::string db;
    ASSERT_TRUE(st->hash_of_file(b.c_str(), db));
    EXPECT_EQ(db, da);
    EXPECT_FALSE(st->contains_file(a.c_str()));
}

TEST_F(store_ops_test, whole_file_put_get_and_verify)
{
    std::string c = work_dir + "/c";
    ASSERT_EQ(st->put_file(c.c_str(), "charlie", 7), 0);
    EXPECT_EQ(read_whole(c), "charlie");
    EXPECT_EQ(st->verify_content(c.c_str(), "charlie", 7), 1);
    EXPECT_EQ(st->verify_content(c.c_str(), "charliE", 7), 0);
    EXPECT_EQ(st->verify_content("/not/a/member", "x", 1), 0);
    EXPECT_FALSE(st->contains_file("/not/a/member"));

    ASSERT_EQ(st->put_file(c.c_str(), nullptr, 0), 0);
    EXPECT_EQ(read_whole(c), "");
    unsigned char *data = nullptr;
    size_t size = 9;
    ASSERT_EQ(st->get_file(c.c_str(), &data, &size), 0);
    EXPECT_EQ(size, 0u);
    free(data);

    errno = 0;
    EXPECT_EQ(st->get_file("/not/a/member", &data, &size), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(st->put_file("", "x", 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(st->get_file(nullptr, &data, &size), -1);
    EXPECT_EQ(errno, EINVAL);
}

// With data, the data must be the member's whole content: a leading part,
// empty data or one byte more does not verify, in either kind of store.
TEST_F(store_ops_test, verify_content_wants_exactly_the_recorded_content)
{
    const std::string content = "charlie and more";
    std::string c = work_dir + "/c";
    ASSERT_EQ(st->put_file(c.c_str(), content.data(), content.size()), 0);
    storage enc((store_name + "e").c_str(), OWNER, 0, 1);
    ASSERT_EQ(enc.put_file("doc", content.data(), content.size()), 0);
    ASSERT_TRUE(st->commit());
    st->add_link("lc", c.c_str());
    struct {
        std::string data;
        int want;
    } cases[] = {
        {content, 1},
        {content.substr(0, 1), 0},
        {content.substr(0, 7), 0},
        {"", 0},
        {content + "x", 0},
        {"charliE and more", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE("'" + k.data + "'");
        EXPECT_EQ(st->verify_content(c.c_str(), k.data.data(), k.data.size()), k.want);
        EXPECT_EQ(st->verify_content("lc", k.data.data(), k.data.size()), k.want);
        EXPECT_EQ(enc.verify_content("doc", k.data.data(), k.data.size()), k.want);
    }
    shm_unlink(("/tarvo-ps:" + store_name + "e:0:1").c_str());
}

// Without data the check covers the member's file as it is now: bytes
// appended after signing, or a recorded size edited to "0" in the index
// (the size is not covered by the signature), are a mismatch.
TEST_F(store_ops_test, verify_file_covers_the_whole_file_as_it_is_now)
{
    ASSERT_TRUE(st->commit());
    ASSERT_EQ(st->verify_file(a.c_str()), 1);
    const std::string index = st->index_path();
    st.reset();
    const std::string signed_index = read_whole(index);
    struct {
        const char *what;
        std::string content;    // a's content on disk
        const char *size_attr;  // replaces size="5" of a in the index, or null
        int want;
    } cases[] = {
        {"as signed", "alpha", nullptr, 1},
        {"bytes appended", "alpha and more", nullptr, 0},
        {"one byte appended", "alpha\n", nullptr, 0},
        {"same length, changed", "alphA", nullptr, 0},
        {"size 0, changed", "other", "size=\"0\"", 0},
        {"size 0, emptied", "", "size=\"0\"", 0},
        {"size 0, as signed", "alpha", "size=\"0\"", 0},
        {"size 9, appended", "alpha and", "size=\"9\"", 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        std::string text = signed_index;
        if (k.size_attr != nullptr) {
            size_t at = text.find("size=\"5\"");
            ASSERT_NE(at, std::string::npos);
            text.replace(at, 8, k.size_attr);
        }
        write_whole(index, text);
        write_whole(a, k.content);
        storage check(store_name.c_str(), 0, 0);
        ASSERT_TRUE(check.contains_file(a.c_str()));
        EXPECT_EQ(check.verify_file(a.c_str()), k.want);
        EXPECT_EQ(check.verify_file(b.c_str()), 1);
    }
}

TEST_F(store_ops_test, listings)
{
    st->add_link("z-link", a.c_str());
    std::vector<char *> names;
    ASSERT_EQ(st->get_files(names), 3);
    EXPECT_EQ(taken(names), (std::vector<std::string>{a, b, "z-link"}));

    ASSERT_TRUE(st->commit());
    names.push_back(strdup("kept"));
    ASSERT_EQ(st->get_ufiles(names), 4);  // the size of the whole vector
    EXPECT_EQ(taken(names),
              (std::vector<std::string>{"kept", a, b, "/var/lib/tarvo/ps/Gs/" + store_name}));

    // Not readable: listed all the same with the override capability
    // (the test runs as root), and left unreadable.
    st->m_lock->set_readable(false);
    ASSERT_EQ(st->get_ufiles(names), 3);
    storage::free_names(names);
    EXPECT_EQ(st->access_mode(), 2);
}

TEST_F(store_ops_test, guards_refuse_without_access)
{
    st->m_lock->set_writable(false);
    syslog_capture log;
    errno = 0;
    st->add_file(a.c_str());
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(has_report(log, "add_file: access denied"));
    st->remove_file(a.c_str());
    EXPECT_TRUE(st->contains_file(a.c_str()));
    EXPECT_EQ(st->put_file(a.c_str(), "x", 1), -1);
    EXPECT_EQ(st->remove_all_files(), 0);
    st->add_link("l", a.c_str());
    EXPECT_FALSE(st->contains_link("l"));
    errno = 0;
    EXPECT_FALSE(st->contains_link(nullptr));
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(store_ops_test, remove_all_files_empties_the_store)
{
    EXPECT_EQ(st->remove_all_files(), 1);  // index never written
    ASSERT_EQ(st->entry_count(), 0);
    st->add_file(a.c_str());
    ASSERT_TRUE(st->commit());
    EXPECT_EQ(st->remove_all_files(), 1);
    struct stat s;
    EXPECT_NE(stat(("/var/lib/tarvo/ps/Gs/" + store_name).c_str(), &s), 0);
    EXPECT_EQ(stat(a.c_str(), &s), 0);  // a signed store's files stay
}

namespace {

struct seen {
    std::vector<int> indices;
    std::vector<std::string> names;
};

int second_stops(int index, const char *name, void *data)
{
    seen *s = static_cast<seen *>(data);
    s->indices.push_back(index);
    s->names.push_back(name);
    return index == 1 ? 5 : 0;
}

}  // namespace

TEST_F(store_ops_test, iterate_storage_stops_at_the_first_non_zero_answer)
{
    ASSERT_TRUE(st->commit());
    storage other((store_name + ".2").c_str(), OWNER, 0, 0);
    ASSERT_TRUE(other.commit());
    storage third((store_name + ".3").c_str(), OWNER, 0, 0);
    ASSERT_TRUE(third.commit());
    seen s;
    EXPECT_EQ(iterate_storage(0, 0, nullptr, second_stops, &s), 5);
    EXPECT_EQ(s.indices, (std::vector<int>{0, 1}));
    EXPECT_EQ(iterate_storage(0, 0, nullptr, nullptr, nullptr), -22);
    EXPECT_EQ(iterate_storage(2, 1, nullptr, second_stops, &s), 0);  // made, empty
}
