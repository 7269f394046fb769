// Signed members: open modes and their refusals, reads and writes through
// the mapping, growth and trimming of the backing file, the digest check,
// the writer's file lock between processes and a member outliving its
// store object.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <memory>

#include "storage/test_fixture.h"
#include "support/test_process.h"

using tarvo::p_file;
using tarvo::storage;

namespace {

const char *OWNER = "UID::0";

}  // namespace

class p_file_test : public store_test {
protected:
    void SetUp() override
    {
        store_test::SetUp();
        st.reset(new storage(store_name.c_str(), OWNER, 0, 0));
        ASSERT_EQ(st->access_mode(), 0);
    }
    void TearDown() override
    {
        st.reset();
        store_test::TearDown();
    }
    std::unique_ptr<p_file> member(const std::string &path)
    {
        return std::unique_ptr<p_file>(st->member(path.c_str()));
    }
    std::unique_ptr<storage> st;
};

TEST_F(p_file_test, open_modes_decide_what_may_be_done)
{
    std::string path = file("m", "0123456789");
    st->add_file(path.c_str());
    auto m = member(path);
    char buf[16];

    errno = 0;
    syslog_capture log;
    EXPECT_FALSE(m->p_open(O_WRONLY | O_RDWR));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(has_report(log, "int_open: odd flags 003"));

    ASSERT_TRUE(m->p_open(O_WRONLY));
    EXPECT_EQ(m->p_read(0, buf, 4), -1);
    EXPECT_EQ(errno, EBADF);
    m->p_close();

    ASSERT_TRUE(m->p_open(O_RDONLY));
    EXPECT_EQ(m->p_write(0, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(m->p_trunc(0), -1);
    EXPECT_EQ(errno, EBADF);
    // Reads are clamped to the content.
    EXPECT_EQ(m->p_read(10, buf, 4), 0);
    EXPECT_EQ(m->p_read(99, buf, 4), 0);
    EXPECT_EQ(m->p_read(-1, buf, 4), -1);
    ASSERT_EQ(m->p_read(8, buf, 4), 2);
    EXPECT_EQ(std::string(buf, 2), "89");
    EXPECT_EQ(m->p_read(0, nullptr, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    m->p_close();
    m->p_close();  // closing twice only takes and releases the store lock
}

TEST_F(p_file_test, backing_file_grows_in_pages_and_is_trimmed_at_close)
{
    std::string path = work_dir + "/grow";
    auto m = member(path);
    ASSERT_TRUE(m->p_open(O_RDWR | O_CREAT));
    EXPECT_EQ(file_size(path), 4096);
    EXPECT_EQ(m->p_write(0, "", 0), 0);
    std::string page(4096, 'p');
    ASSERT_EQ(m->p_write(0, page.data(), 4096), 4096);
    EXPECT_EQ(file_size(path), 8192);
    m->p_close();
    EXPECT_EQ(file_size(path), 4096);
    EXPECT_EQ(read_whole(path), page);

    // The close committed the new member with its digest and size.
    storage again(store_name.c_str(), 0, 0);
    EXPECT_EQ(again.verify_file(path.c_str()), 1);
    struct stat st;
    ASSERT_EQ(again.stat_file(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
}

TEST_F(p_file_test, truncation_and_writes_beyond_the_end_give_zeros)
{
    std::string path = file("t", "abcdefghij");
    st->add_file(path.c_str());
    auto m = member(path);
    ASSERT_TRUE(m->p_open(O_RDWR));
    ASSERT_EQ(m->p_trunc(3), 0);
    ASSERT_EQ(m->p_write(6, "Z", 1), 1);  // bytes 3..5 were cut and read as zeros
    ASSERT_EQ(m->p_trunc(9), 0);          // extends with zeros
    m->p_close();
    EXPECT_EQ(read_whole(path), std::string("abc\0\0\0Z\0\0", 9));

    ASSERT_TRUE(m->p_open(O_RDWR));
    ASSERT_EQ(m->p_trunc(0), 0);
    EXPECT_EQ(file_size(path), 0);
    m->p_close();
    EXPECT_EQ(read_whole(path), "");
    EXPECT_EQ(st->verify_file(path.c_str()), 1);
    EXPECT_EQ(st->verify_content(path.c_str(), "", 0), 1);
}

TEST_F(p_file_test, content_changed_behind_the_store_fails_the_open)
{
    std::string path = file("c", "original");
    st->add_file(path.c_str());
    write_whole(path, "tampered");
    auto m = member(path);
    syslog_capture log;
    errno = 0;
    EXPECT_FALSE(m->p_open(O_RDONLY));
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(has_report(log, "Corrupted data '" + path + "'"));
    EXPECT_FALSE(m->is_open());
    EXPECT_EQ(st->verify_file(path.c_str()), 0);
    EXPECT_EQ(st->verify_content(path.c_str(), "tampered", 8), 0);
    EXPECT_EQ(st->verify_content(path.c_str(), "original", 8), 1);

    // Adding it again records the file as it is now.
    st->add_file(path.c_str());
    EXPECT_EQ(st->verify_content(path.c_str(), "tampered", 8), 1);
    write_whole(path, "Tampered");

    // A refused writer's open leaves the file as it found it.
    EXPECT_FALSE(m->p_open(O_RDWR));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(read_whole(path), "Tampered");

    // O_TRUNC counts as fresh content: no check.
    ASSERT_TRUE(m->p_open(O_RDWR | O_TRUNC));
    m->p_close();
    EXPECT_EQ(st->verify_file(path.c_str()), 1);
}

// Adding a member again after its file grew records the whole file as it
// is now, not the digest of its old length that the failed check took.
TEST_F(p_file_test, member_added_again_after_it_grew_records_its_present_content)
{
    std::string path = file("g", "short");
    st->add_file(path.c_str());
    ASSERT_TRUE(st->commit());
    write_whole(path, std::string(9000, 'g'));
    EXPECT_EQ(st->verify_file(path.c_str()), 0);
    st->add_file(path.c_str());
    ASSERT_TRUE(st->commit());
    EXPECT_EQ(st->verify_file(path.c_str()), 1);
    EXPECT_EQ(st->verify_content(path.c_str(), std::string(9000, 'g').data(), 9000), 1);
}

TEST_F(p_file_test, file_shorter_than_its_recorded_size_is_refused)
{
    std::string path = file("s", std::string(10000, 'q'));
    st->add_file(path.c_str());
    write_whole(path, "q");
    auto m = member(path);
    errno = 0;
    EXPECT_FALSE(m->p_open(O_RDONLY));
    EXPECT_EQ(errno, EACCES);
    unsigned char *data = nullptr;
    size_t size = 1;
    EXPECT_EQ(st->get_file(path.c_str(), &data, &size), -1);
    EXPECT_EQ(data, nullptr);
}

TEST_F(p_file_test, zero_sized_member_adopts_its_digest)
{
    std::string path = file("z", "");
    st->add_file(path.c_str());
    write_whole(path, "grown behind the store");
    auto m = member(path);
    EXPECT_TRUE(m->p_open(O_RDONLY));
    char buf[8];
    EXPECT_EQ(m->p_read(0, buf, sizeof buf), 0);
}

TEST_F(p_file_test, permission_bits_of_the_record_count_without_override)
{
    std::string path = file("p", "secret");
    st->add_file(path.c_str());
    auto m = member(path);
    // A recorded mode that refuses even the owner; root's override grants.
    ASSERT_EQ(m->p_chmod(0100000), 0);
    struct stat rec;
    ASSERT_EQ(st->stat_file(path.c_str(), &rec), 0);
    EXPECT_EQ(rec.st_mode, 0100000u);
    EXPECT_TRUE(m->p_open(O_RDONLY));
    m->p_close();
    struct stat disk;
    ASSERT_EQ(stat(path.c_str(), &disk), 0);
    EXPECT_NE(disk.st_mode, 0100000u);  // the file keeps its own mode
}

TEST_F(p_file_test, second_writer_in_another_process_fails_on_the_lock)
{
    std::string path = file("w", "shared");
    st->add_file(path.c_str());
    ASSERT_TRUE(st->commit());
    auto m = member(path);
    ASSERT_TRUE(m->p_open(O_RDWR));
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        storage other(store_name.c_str(), OWNER, 0, 0);
        std::unique_ptr<p_file> w(other.member(path.c_str()));
        bool opened = w->p_open(O_RDWR);
        int e = errno;
        std::unique_ptr<p_file> r(other.member(path.c_str()));
        bool reader = r->p_open(O_RDONLY);
        _exit(!opened && e == EWOULDBLOCK && reader ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    m->p_close();
}

TEST_F(p_file_test, member_of_a_destroyed_store_fails_with_einval)
{
    std::string path = file("d", "data");
    st->add_file(path.c_str());
    auto m = member(path);
    ASSERT_TRUE(m->p_open(O_RDONLY));
    st.reset();
    char buf[4];
    errno = 0;
    EXPECT_EQ(m->p_read(0, buf, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    struct stat rec;
    EXPECT_EQ(m->p_stat(&rec), -1);
    EXPECT_FALSE(m->p_open(O_RDONLY));
    m->p_close();
    EXPECT_FALSE(m->is_open());
}

TEST_F(p_file_test, rename_moves_the_entry_and_keeps_links)
{
    std::string a = file("a", "alpha"), b = work_dir + "/b";
    st->add_file(a.c_str());
    st->add_link("to-a", a.c_str());
    auto m = member(a);
    ASSERT_EQ(m->p_rename(b.c_str()), 0);
    EXPECT_STREQ(m->name(), b.c_str());
    EXPECT_FALSE(st->contains_file(a.c_str()));
    EXPECT_TRUE(st->contains_file(b.c_str()));
    std::string target;
    st->read_link("to-a", target);
    EXPECT_EQ(target, a);
    EXPECT_EQ(m->p_rename(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}
