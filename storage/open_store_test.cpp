// Opening a store: the unsigned "storage-path" attribute of an encrypted
// index, and the move of an encrypted store from its legacy location.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "storage/test_fixture.h"
#include "support/tarvo_common.h"

using tarvo::storage;

namespace {

const char *OWNER = "UID::0";
const std::string DEFAULT_DIR = "/home/user/.tarvo/ps/.e/";
const std::string LEGACY_DIR = "/var/lib/tarvo/ps/.e/";

std::string content_of(storage &st, const char *name)
{
    unsigned char *data = nullptr;
    size_t size = 0;
    if (st.get_file(name, &data, &size) != 0)
        return "<unreadable>";
    std::string out(reinterpret_cast<char *>(data), size);
    free(data);
    return out;
}

}  // namespace

class open_store_test : public store_test {
protected:
    void TearDown() override
    {
        set_alternative_storage_root(DEFAULT_DIR.c_str());
        store_test::TearDown();
    }
    std::string proper() const { return "/home/user/.tarvo/ps/Ge/" + store_name; }
    std::string legacy() const { return "/var/lib/tarvo/ps/Ge/" + store_name; }

    // An encrypted store with the member "doc", committed; its data file.
    std::string make_store(const std::string &content)
    {
        storage st(store_name.c_str(), OWNER, 0, 1);
        EXPECT_EQ(st.put_file("doc", content.data(), content.size()), 0);
        std::unique_ptr<tarvo::p_file> m(st.member("doc"));
        return m->p_path();
    }

    // The index as an earlier version left it: under the signed root,
    // signed over that path, version 1, the data file in the legacy
    // directory without the visibility letter.
    void make_legacy_layout()
    {
        std::string hash_text;
        {
            storage st(store_name.c_str(), OWNER, 0, 1);
            st.m_index_path = legacy();
            EXPECT_TRUE(st.internal_hash(nullptr, hash_text));
        }
        std::string text = read_whole(proper());
        size_t s = text.find("<signature>") + 11, e = text.find("</signature>");
        text.replace(s, e - s, fake_crypto::signature_text(OWNER, hash_text));
        text.replace(text.find("version=\"2\""), 11, "version=\"1\"");
        EXPECT_EQ(make_path("/var/lib/tarvo/ps/Ge", 0755), 0);
        EXPECT_EQ(make_path(LEGACY_DIR.c_str(), 0755), 0);
        write_whole(legacy(), text);
        EXPECT_EQ(unlink(proper().c_str()), 0);
    }
};

// "storage-path" is not covered by the signature: it is obeyed only in an
// index that verified and only for a canonical directory below a storage
// root (no "..", no symbolic link on the way); otherwise it is ignored
// with a report and the members stay where they are.
TEST_F(open_store_test, storage_path_obeyed_only_when_signed_and_below_the_root)
{
    make_store("members stay put");
    std::string signed_index = read_whole(proper());
    mkdir("/home/user/.tarvo/ps/real", 0755);
    symlink("/tmp/storage-work", "/home/user/.tarvo/ps/away");
    symlink("/home/user/.tarvo/ps/real", "/home/user/.tarvo/ps/inside");
    struct {
        const char *path;
        bool obeyed;
    } cases[] = {
        {"/home/user/.tarvo/ps/alt/", true},
        {"/home/user/.tarvo/ps/real/", true},
        {"/tmp/storage-work/evil/", false},
        {"/home/user/.tarvo/ps/../../../../tmp/storage-work/", false},
        {"/home/user/.tarvo/ps/./x/", false},
        {"/home/user/.tarvo/ps/away/", false},
        {"/home/user/.tarvo/ps/away/deeper/", false},
        {"/home/user/.tarvo/ps/inside/", false},
        {"relative/dir/", false},
        {"/home/user/.tarvo/psx/", false},
        {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        std::string text = signed_index;
        text.replace(text.find("<pstore "), 8,
                     std::string("<pstore storage-path=\"") + c.path + "\" ");
        write_whole(proper(), text);
        syslog_capture log;
        storage st(store_name.c_str(), OWNER, 0, 1);
        EXPECT_EQ(st.m_lock->m_data_directory, c.obeyed ? c.path : DEFAULT_DIR);
        EXPECT_EQ(has_report(log, "storage-path"), !c.obeyed);
        if (!c.obeyed) {
            EXPECT_EQ(content_of(st, "doc"), "members stay put");
        }
    }
    // A good path in an index whose signature fails: the store opens empty
    // and keeps the default directory.
    std::string text = signed_index;
    text.replace(text.find("<pstore "), 8, "<pstore storage-path=\"/home/user/.tarvo/ps/alt/\" ");
    text.insert(text.find("hash=\"") + 6, "A");
    write_whole(proper(), text);
    storage st(store_name.c_str(), OWNER, 0, 1);
    EXPECT_EQ(st.entry_count(), 0);
    EXPECT_EQ(st.m_lock->m_data_directory, DEFAULT_DIR);
}

// The legacy directory as the data directory: the move of each data file
// is onto itself and must keep its content.
TEST_F(open_store_test, migration_onto_the_same_directory_keeps_the_data)
{
    ASSERT_EQ(set_alternative_storage_root(LEGACY_DIR.c_str()), 1);
    std::string dat = make_store("kept in place");
    ASSERT_EQ(dat.substr(0, LEGACY_DIR.size()), LEGACY_DIR);
    make_legacy_layout();
    std::string earlier = dat.substr(0, dat.size() - 1);
    ASSERT_EQ(::rename(dat.c_str(), earlier.c_str()), 0);
    {
        storage st(store_name.c_str(), OWNER, 0, 1);
        EXPECT_EQ(st.index_path(), proper());
        EXPECT_EQ(content_of(st, "doc"), "kept in place");
    }
    storage st(store_name.c_str(), OWNER, 0, 1);
    EXPECT_EQ(content_of(st, "doc"), "kept in place");
    EXPECT_EQ(file_size(legacy()), -1);
}

// A member whose data file was moved already (an earlier migration ended
// before its commit) is not moved again: a stale legacy file left behind
// does not replace it.
TEST_F(open_store_test, member_already_migrated_is_not_moved_again)
{
    std::string dat = make_store("the migrated data");
    make_legacy_layout();
    std::string base = dat.substr(dat.rfind('/') + 1);
    std::string stale = LEGACY_DIR + base.substr(0, base.size() - 1);
    write_whole(stale, std::string(200, 'z'));
    storage st(store_name.c_str(), OWNER, 0, 1);
    EXPECT_EQ(st.index_path(), proper());
    EXPECT_EQ(content_of(st, "doc"), "the migrated data");
}
