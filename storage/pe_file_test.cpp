// Encrypted members: the .dat file's layout and name, the header checks,
// the digest of the stored image, growth with enciphered zeros, metadata
// in the header, key set-up and the store key in the index.
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

#include "crypto/tarvo_crypto.h"
#include "storage/test_caps.h"
#include "storage/test_fixture.h"
#include "support/tarvo_common.h"

using tarvo::p_file;
using tarvo::pe_file;
using tarvo::storage;

namespace {

const char *OWNER = "UID::0";

void flip(const std::string &path, size_t offset)
{
    std::string data = read_whole(path);
    ASSERT_LT(offset, data.size());
    data[offset] = char(data[offset] ^ 1);
    write_whole(path, data);
}

}  // namespace

class pe_file_test : public store_test {
protected:
    void SetUp() override
    {
        store_test::SetUp();
        open_store(0);
    }
    void TearDown() override
    {
        st.reset();
        store_test::TearDown();
    }
    void open_store(int visibility)
    {
        st.reset(new storage(store_name.c_str(), OWNER, visibility, 1));
        ASSERT_EQ(st->access_mode(), 0);
    }
    std::unique_ptr<p_file> member(const char *name)
    {
        return std::unique_ptr<p_file>(st->member(name));
    }
    std::string dat(const char *name)
    {
        auto m = member(name);
        return m ? m->p_path() : "";
    }
    std::unique_ptr<storage> st;
};

// A move onto the same file (one path, or a hard link) keeps the data; a
// move elsewhere leaves the content at the destination only.
TEST_F(pe_file_test, move_onto_the_same_file_keeps_it)
{
    std::string a = file("moved", "the only copy");
    std::string link = work_dir + "/moved-link";
    ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
    EXPECT_EQ(move_file(nullptr, a.c_str(), a.c_str()), 1);
    EXPECT_EQ(read_whole(a), "the only copy");
    EXPECT_EQ(move_file(nullptr, a.c_str(), link.c_str()), 1);
    EXPECT_EQ(read_whole(a), "the only copy");
    std::string b = work_dir + "/elsewhere";
    EXPECT_EQ(move_file(nullptr, a.c_str(), b.c_str()), 1);
    EXPECT_EQ(read_whole(b), "the only copy");
    EXPECT_NE(access(a.c_str(), F_OK), 0);
}

TEST_F(pe_file_test, dat_file_name_and_sizes)
{
    std::string path = dat("doc");
    std::string base = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path.substr(0, path.rfind('/') + 1), "/home/user/.tarvo/ps/.e/");
    EXPECT_EQ(base.size(), 27u + 5u);
    EXPECT_EQ(base.substr(27), ".dats");
    EXPECT_EQ(base.find('/'), std::string::npos);
    EXPECT_EQ(base.find('='), std::string::npos);

    ASSERT_EQ(st->put_file("doc", nullptr, 0), 0);
    EXPECT_EQ(file_size(path), 144);
    ASSERT_EQ(st->put_file("doc", "0123456789", 10), 0);
    EXPECT_EQ(file_size(path), 160);
    EXPECT_TRUE(st->contains_file("/doc"));  // names get a leading '/'

    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st->get_file("doc", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "0123456789");
    free(data);
    // The content is not in the file in clear; the index digest covers the image.
    EXPECT_EQ(read_whole(path).find("0123456789"), std::string::npos);
    std::string recorded, image;
    ASSERT_TRUE(st->hash_of_file("doc", recorded));
    storage::compute_digest(read_whole(path).data(), 160, 'b', image);
    EXPECT_EQ(recorded, image);
    // In an encrypted store the recorded digest is not the content's.
    EXPECT_EQ(st->verify_content("doc", "0123456789", 10), 1);
    EXPECT_EQ(st->verify_content("doc", "01234", 5), 0);  // a leading part is not the content

    st.reset();
    open_store(2);
    std::string p = dat("doc");
    EXPECT_EQ(p.substr(p.size() - 5), ".datp");
}

TEST_F(pe_file_test, content_survives_a_new_store_object)
{
    std::string text(5000, 'x');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = char('a' + i % 26);
    ASSERT_EQ(st->put_file("big", text.data(), text.size()), 0);
    st.reset();
    open_store(0);
    auto m = member("big");
    ASSERT_TRUE(m->p_open(O_RDONLY));
    std::string back(text.size() + 10, '\0');
    ASSERT_EQ(m->p_read(0, &back[0], uint32_t(back.size())), int(text.size()));
    back.resize(text.size());
    EXPECT_EQ(back, text);
    // A range inside one block and one crossing blocks.
    char three[3];
    ASSERT_EQ(m->p_read(4, three, 3), 3);
    EXPECT_EQ(std::string(three, 3), text.substr(4, 3));
    char cross[40];
    ASSERT_EQ(m->p_read(100, cross, 40), 40);
    EXPECT_EQ(std::string(cross, 40), text.substr(100, 40));
}

TEST_F(pe_file_test, tampered_header_and_content_are_refused)
{
    ASSERT_EQ(st->put_file("doc", "payload-of-some-length", 22), 0);
    std::string path = dat("doc");
    std::string good = read_whole(path);

    struct {
        size_t offset;
        int error;
        const char *report;
    } cases[] = {
        {0, EIO, "p_open: corrupted header stored "},
        {40, EIO, "p_open: corrupted header stored "},
        {135, EIO, "p_open: corrupted header stored "},
        {150, EACCES, "Corrupted data '/doc'"},
    };
    for (const auto &c : cases) {
        write_whole(path, good);
        flip(path, c.offset);
        auto m = member("doc");
        syslog_capture log;
        errno = 0;
        EXPECT_FALSE(m->p_open(O_RDONLY)) << c.offset;
        EXPECT_EQ(errno, c.error) << c.offset;
        EXPECT_TRUE(has_report(log, c.report)) << c.offset;
        EXPECT_EQ(st->m_lock->m_key_users, 0) << "key use given back";
    }
    // With P_ADOPT_DIGEST the changed content is taken and recorded.
    auto m = member("doc");
    ASSERT_TRUE(m->p_open(O_RDONLY | P_ADOPT_DIGEST));
    m->p_close();
    std::string recorded, image;
    ASSERT_TRUE(st->hash_of_file("doc", recorded));
    storage::compute_digest(read_whole(path).data(), read_whole(path).size(), 'b', image);
    EXPECT_EQ(recorded, image);

    write_whole(path, good.substr(0, 100));
    syslog_capture log;
    EXPECT_FALSE(m->p_open(O_RDONLY));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(has_report(log, "p_open: file too small to be encrypted, 100 bytes"));
}

TEST_F(pe_file_test, gaps_read_as_zeros_and_one_write_touches_its_blocks_only)
{
    auto m = member("g");
    ASSERT_TRUE(m->p_open(O_RDWR | O_CREAT));
    std::string init(64, 'i');
    ASSERT_EQ(m->p_write(0, init.data(), 64), 64);
    m->p_close();
    std::string before = read_whole(m->p_path());

    ASSERT_TRUE(m->p_open(O_RDWR));
    ASSERT_EQ(m->p_write(40, "XYZ", 3), 3);  // file offset 176: block 11
    m->p_close();
    std::string after = read_whole(m->p_path());
    ASSERT_EQ(after.size(), before.size());
    for (size_t block = 9; block < before.size() / 16; block++)
        EXPECT_EQ(before.substr(16 * block, 16) == after.substr(16 * block, 16), block != 11)
            << block;

    ASSERT_TRUE(m->p_open(O_RDWR));
    ASSERT_EQ(m->p_write(100, "E", 1), 1);  // gap 64..99
    ASSERT_EQ(m->p_trunc(120), 0);          // grows with zeros
    m->p_close();
    ASSERT_TRUE(m->p_open(O_RDONLY));
    EXPECT_EQ(m->p_datasize(), 120u);
    std::string back(120, '?');
    ASSERT_EQ(m->p_read(0, &back[0], 120), 120);
    std::string expected = std::string(40, 'i') + "XYZ" + std::string(21, 'i') +
                           std::string(36, '\0') + "E" + std::string(19, '\0');
    EXPECT_EQ(back, expected);
    m->p_close();
}

TEST_F(pe_file_test, metadata_lives_in_the_header)
{
    ASSERT_EQ(st->put_file("meta", "m", 1), 0);
    auto m = member("meta");
    struct stat rec;
    ASSERT_EQ(m->p_stat(&rec), 0);  // opens once to read the header
    EXPECT_FALSE(m->is_open());
    EXPECT_EQ(rec.st_size, 1);
    ASSERT_EQ(m->p_chmod(0100640), 0);  // closed: opens, seals, commits
    const int times[2] = {1000, 2000};
    ASSERT_EQ(m->p_utime(times), 0);
    ASSERT_EQ(m->p_chown(12, 34), 0);

    st.reset();
    open_store(0);
    auto again = member("meta");
    ASSERT_EQ(again->p_stat(&rec), 0);
    EXPECT_EQ(rec.st_mode, 0100640u);
    EXPECT_EQ(rec.st_uid, 12u);
    EXPECT_EQ(rec.st_gid, 34u);
    EXPECT_EQ(rec.st_mtime, 2000);
    EXPECT_EQ(rec.st_atime, 1000);
    EXPECT_EQ(rec.st_size, 1);
}

TEST_F(pe_file_test, store_key_and_its_schedules)
{
    ASSERT_NE(st->m_key, nullptr);
    EXPECT_GT(st->m_keylen, 32);
    EXPECT_EQ(st->set_aes_keys(true, nullptr), 1);
    EXPECT_EQ(st->set_aes_keys(true, nullptr), 1);
    EXPECT_EQ(st->set_aes_keys(true, nullptr), 1);
    EXPECT_EQ(st->m_lock->m_key_users, 3);
    st->release_aes_keys();
    st->release_aes_keys();
    EXPECT_EQ(st->m_lock->m_key_users, 1);
    st->release_aes_keys();
    EXPECT_EQ(st->m_lock->m_key_users, 0);
    const unsigned char zero[sizeof(AES_KEY)] = {0};
    EXPECT_EQ(memcmp(&st->m_lock->m_encrypt_key, zero, sizeof zero), 0);

    // A blob that decrypts to 31 bytes.
    unsigned char *blob = nullptr;
    uint32_t n = 0;
    unsigned char key[31] = {1};
    ASSERT_EQ(tarvo_crypto_encrypt(key, 31, OWNER, &blob, &n), 0);
    free(st->m_key);
    st->m_key = blob;
    st->m_keylen = int(n);
    syslog_capture log;
    EXPECT_EQ(st->set_aes_keys(true, nullptr), 0);
    EXPECT_TRUE(has_report(log, "set_aes_keys: not enough keymaterial (31)"));
    EXPECT_EQ(st->m_lock->m_key_users, 0);
}

TEST_F(pe_file_test, index_without_key_is_cleared_and_gets_a_new_one)
{
    ASSERT_EQ(st->put_file("doc", "d", 1), 0);
    st.reset();
    std::string index = "/home/user/.tarvo/ps/Ge/" + store_name;
    std::string text = read_whole(index);
    size_t s = text.find("<key>"), e = text.find("</key>");
    ASSERT_NE(e, std::string::npos);
    text.erase(s, e + 6 - s);
    write_whole(index, text);
    syslog_capture log;
    open_store(0);
    EXPECT_TRUE(has_report(log, store_name + ": missing encryption key, clear"));
    EXPECT_FALSE(st->contains_file("doc"));
    EXPECT_NE(st->m_key, nullptr);
}

TEST_F(pe_file_test, foreign_owner_refuses_an_encrypted_store)
{
    st.reset();
    errno = 0;
    storage other(store_name.c_str(), "UID::4242", 0, 1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(other.access_mode(), 2);
}

TEST_F(pe_file_test, reader_that_creates_the_member_gets_a_header)
{
    auto m = member("created");
    ASSERT_TRUE(m->p_open(O_RDONLY | O_CREAT));
    char buf[4];
    EXPECT_EQ(m->p_read(0, buf, sizeof buf), 0);
    EXPECT_EQ(m->p_write(0, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    struct stat rec;
    ASSERT_EQ(m->p_stat(&rec), 0);
    EXPECT_EQ(rec.st_size, 0);
    m->p_close();
}

TEST_F(pe_file_test, read_only_open_of_an_unlisted_data_file_is_refused)
{
    std::string path = dat("stray");
    write_whole(path, std::string(160, 's'));
    auto m = member("stray");
    errno = 0;
    EXPECT_FALSE(m->p_open(O_RDONLY));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(read_whole(path), std::string(160, 's'));
    EXPECT_EQ(st->m_lock->m_key_users, 0);
}

// A data file goes only once the commit that drops its member is written:
// until then the index on the disk still lists the member, and another
// object (or the next process, after a kill) reads it.
TEST_F(pe_file_test, remove_and_rename_move_the_data_files_at_their_commit)
{
    ASSERT_EQ(st->put_file("one", "1", 1), 0);
    std::string one = dat("one");
    st->rename("one", "two");
    struct stat s;
    std::string two = dat("two");
    EXPECT_EQ(stat(two.c_str(), &s), 0);
    EXPECT_EQ(st->verify_file("two"), 1);
    {
        storage other(store_name.c_str(), OWNER, 0, 1);
        EXPECT_EQ(other.verify_file("one"), 1);
    }
    ASSERT_TRUE(st->commit());
    EXPECT_NE(stat(one.c_str(), &s), 0);
    EXPECT_EQ(st->verify_file("two"), 1);

    syslog_capture log;
    st->add_file("two");
    EXPECT_TRUE(has_report(log, "add_file: store already contains file '/two'"));
    st->remove_file("two");
    EXPECT_FALSE(st->contains_file("two"));
    EXPECT_EQ(stat(two.c_str(), &s), 0);
    {
        storage other(store_name.c_str(), OWNER, 0, 1);
        EXPECT_EQ(other.verify_file("two"), 1);
    }
    ASSERT_TRUE(st->commit());
    EXPECT_NE(stat(two.c_str(), &s), 0);
}

// A rename killed between its commit and the removal of the old name
// leaves the old name's link to the renamed member's data: a new member
// of that name gets a file of its own.
TEST_F(pe_file_test, new_member_never_writes_into_a_link_a_cut_rename_left)
{
    ASSERT_EQ(st->put_file("two", "renamed data", 12), 0);
    ASSERT_EQ(link(dat("two").c_str(), dat("one").c_str()), 0);
    ASSERT_EQ(st->put_file("one", "new one", 7), 0);
    st.reset();
    open_store(0);
    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st->get_file("two", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "renamed data");
    free(data);
    ASSERT_EQ(st->get_file("one", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "new one");
    free(data);
}

TEST_F(pe_file_test, legacy_index_and_data_files_are_moved_by_a_writer)
{
    ASSERT_EQ(st->put_file("doc", "legacy data", 11), 0);
    std::string dat_now = dat("doc");
    std::string proper = "/home/user/.tarvo/ps/Ge/" + store_name;
    std::string legacy = "/var/lib/tarvo/ps/Ge/" + store_name;
    // The earlier layout: index under the signed root (signed over that
    // path), version 1, data file in the earlier directory without the
    // visibility letter.
    st->m_index_path = legacy;
    std::string hash_text;
    ASSERT_TRUE(st->internal_hash(nullptr, hash_text));
    st.reset();
    std::string text = read_whole(proper);
    size_t s = text.find("<signature>") + 11, e = text.find("</signature>");
    text.replace(s, e - s, fake_crypto::signature_text(OWNER, hash_text));
    text.replace(text.find("version=\"2\""), 11, "version=\"1\"");
    ASSERT_EQ(make_path("/var/lib/tarvo/ps/Ge", 0777), 0);
    ASSERT_EQ(make_path("/var/lib/tarvo/ps/.e", 0777), 0);
    write_whole(legacy, text);
    ASSERT_EQ(unlink(proper.c_str()), 0);
    std::string base = dat_now.substr(dat_now.rfind('/') + 1);
    std::string earlier = "/var/lib/tarvo/ps/.e/" + base.substr(0, base.size() - 1);
    ASSERT_EQ(::rename(dat_now.c_str(), earlier.c_str()), 0);

    open_store(0);
    EXPECT_EQ(st->index_path(), proper);
    struct stat sb;
    EXPECT_NE(stat(legacy.c_str(), &sb), 0);
    EXPECT_NE(stat(earlier.c_str(), &sb), 0);
    EXPECT_EQ(stat(dat_now.c_str(), &sb), 0);
    EXPECT_NE(read_whole(proper).find("version=\"2\""), std::string::npos);
    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st->get_file("doc", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "legacy data");
    free(data);
}

TEST_F(pe_file_test, truncating_open_makes_a_new_header)
{
    ASSERT_EQ(st->put_file("t", "some old content here", 21), 0);
    std::string path = dat("t");
    std::string before = read_whole(path);
    auto m = member("t");
    ASSERT_TRUE(m->p_open(O_RDWR | O_TRUNC));
    EXPECT_EQ(m->p_datasize(), 0u);
    EXPECT_EQ(read_whole(path).substr(0, 16) == before.substr(0, 16), false) << "new IV";
    ASSERT_EQ(m->p_write(0, "new", 3), 3);
    m->p_close();
    EXPECT_EQ(read_whole(path).size(), 144u);
    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st->get_file("t", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "new");
    free(data);

    // Shrinking keeps the head of the content.
    ASSERT_TRUE(m->p_open(O_RDWR));
    ASSERT_EQ(m->p_trunc(1), 0);
    m->p_close();
    ASSERT_EQ(st->get_file("t", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "n");
    free(data);
}

TEST_F(pe_file_test, header_mode_refuses_a_caller_without_override)
{
    ASSERT_EQ(st->put_file("locked", "secret", 6), 0);
    ASSERT_EQ(member("locked")->p_chmod(S_IFREG), 0);
    auto m = member("locked");
    {
        without_override drop;
        for (int flags : {O_RDONLY, O_RDWR}) {
            errno = 0;
            EXPECT_FALSE(m->p_open(flags)) << flags;
            EXPECT_EQ(errno, EACCES) << flags;
            EXPECT_EQ(st->m_lock->m_key_users, 0) << flags;
        }
    }
    EXPECT_TRUE(m->p_open(O_RDONLY));  // the override grants
}

TEST_F(pe_file_test, stat_after_a_corrupted_header_fails_with_eio)
{
    ASSERT_EQ(st->put_file("doc", "payload", 7), 0);
    auto m = member("doc");
    struct stat rec;
    ASSERT_EQ(m->p_stat(&rec), 0);
    flip(m->p_path(), 40);
    EXPECT_FALSE(m->p_open(O_RDONLY));
    EXPECT_EQ(errno, EIO);
    errno = 0;
    EXPECT_EQ(m->p_stat(&rec), -1);
    EXPECT_EQ(errno, EIO);
    errno = 0;
    EXPECT_EQ(member("doc")->p_stat(&rec), -1);
    EXPECT_EQ(errno, EIO);
}
