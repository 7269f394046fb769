// What signed and encrypted members promise alike, run for both kinds:
// truncation keeps exactly the head of the content through close and
// reopen, a refused open leaves the backing file as it was, a writer
// outliving its store object keeps no padding, a full file system is an
// error and never a crash, the times a writer sets are the times kept, and
// new backing files get their mode whatever the umask.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <memory>

#include "sim/testing/inside.h"
#include "storage/test_caps.h"
#include "storage/test_fixture.h"
#include "support/tarvo_common.h"
#include "support/test_process.h"

using tarvo::p_file;
using tarvo::storage;

namespace {

const char *OWNER = "UID::0";

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char('a' + i % 26 + (i / 26) % 3);
    return s;
}

// Equal bytes; on a mismatch, the sizes and the first differing offset
// instead of the whole texts.
::testing::AssertionResult same(const std::string &got, const std::string &want)
{
    if (got == want)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        i++;
    return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want "
                                         << want.size() << ", first difference at " << i;
}

uint32_t round16(uint64_t n) { return uint32_t((n + 15) / 16 * 16); }

// A small tmpfs over a directory, unmounted again at the end of the test.
class small_tmpfs {
public:
    small_tmpfs(const std::string &dir, const char *options) : m_dir(dir)
    {
        make_path(dir.c_str(), 0755);
        m_mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
    }
    ~small_tmpfs()
    {
        if (m_mounted)
            umount2(m_dir.c_str(), MNT_DETACH);
    }
    small_tmpfs(const small_tmpfs &) = delete;
    small_tmpfs &operator=(const small_tmpfs &) = delete;
    bool mounted() const { return m_mounted; }

    // Writes a filler file until the file system has no block left.
    void fill()
    {
        int fd = open((m_dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        std::string block(4096, 'f');
        while (write(fd, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        close(fd);
    }

private:
    std::string m_dir;
    bool m_mounted = false;
};

}  // namespace

// The parameter is the store's protection: 0 signed, 1 encrypted.
class members_test : public store_test, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        store_test::SetUp();
        open_store();
    }
    void TearDown() override
    {
        st.reset();
        store_test::TearDown();
    }
    void open_store()
    {
        st.reset(new storage(store_name.c_str(), OWNER, 0, GetParam()));
        ASSERT_EQ(st->access_mode(), 0);
    }
    bool encrypted() const { return GetParam() == 1; }
    // A member name: a file path in a signed store, a plain name otherwise.
    std::string name(const std::string &n, const std::string &dir = "") const
    {
        return encrypted() ? n : (dir.empty() ? work_dir : dir) + "/" + n;
    }
    std::unique_ptr<p_file> member(const std::string &n)
    {
        return std::unique_ptr<p_file>(st->member(n.c_str()));
    }
    std::string backing(const std::string &n) { return member(n)->p_path(); }
    // The stored length of a member with size bytes of content.
    off_t stored_length(uint64_t size) const
    {
        return encrypted() ? off_t(round16(size + tarvo::PE_HEADER_SIZE)) : off_t(size);
    }
    void put(const std::string &n, const std::string &data)
    {
        ASSERT_EQ(st->put_file(n.c_str(), data.data(), data.size()), 0) << n;
    }
    // The content as get_file gives it, or "<failed>".
    std::string get(storage &s, const std::string &n)
    {
        unsigned char *data = nullptr;
        size_t size = 0;
        if (s.get_file(n.c_str(), &data, &size) != 0)
            return "<failed>";
        std::string out(reinterpret_cast<char *>(data), size);
        free(data);
        return out;
    }
    std::unique_ptr<storage> st;
};

INSTANTIATE_TEST_SUITE_P(kinds, members_test, ::testing::Values(0, 1),
                         [](const ::testing::TestParamInfo<int> &i) {
                             return std::string(i.param == 1 ? "encrypted" : "signed");
                         });

TEST_P(members_test, truncation_keeps_the_head_through_close_and_reopen)
{
    const std::string text = pattern(5000);
    const uint32_t sizes[] = {0,   1,   8,    9,    15,   16,   96,  105,
                              111, 112, 1000, 1001, 4095, 4096, 4097};
    for (uint32_t n : sizes) {
        std::string m_name = name("t" + std::to_string(n));
        put(m_name, text);
        auto m = member(m_name);
        ASSERT_TRUE(m->p_open(O_RDWR)) << n;
        ASSERT_EQ(m->p_trunc(n), 0) << n;
        m->p_close();
        EXPECT_EQ(file_size(m->p_path()), stored_length(n)) << n;
    }
    st.reset();
    open_store();
    for (uint32_t n : sizes) {
        std::string m_name = name("t" + std::to_string(n));
        EXPECT_TRUE(same(get(*st, m_name), text.substr(0, n))) << n;
        EXPECT_EQ(st->verify_file(m_name.c_str()), 1) << n;
    }
}

TEST_P(members_test, refused_writer_open_leaves_the_file_as_it_was)
{
    const std::string text = pattern(10000);
    struct {
        const char *what;
        bool tamper;  // else: the recorded mode refuses writing
    } cases[] = {
        {"content changed behind the store", true},
        {"recorded mode refuses writing", false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const auto &c = cases[i];
        std::string m_name = name("r" + std::to_string(i));
        if (encrypted()) {
            put(m_name, text);
            if (c.tamper) {
                std::string image = read_whole(backing(m_name));
                image[200] = char(image[200] ^ 1);
                write_whole(backing(m_name), image);
            }
        } else if (c.tamper) {
            put(m_name, text);
            write_whole(m_name, pattern(10001).substr(1));
        } else {
            // Grown behind the store: the index records the first 11 bytes.
            put(m_name, text.substr(0, 11));
            write_whole(m_name, text);
        }
        if (!c.tamper) {
            ASSERT_EQ(member(m_name)->p_chmod(S_IFREG | 0444), 0);
        }
        std::string before = read_whole(backing(m_name));
        auto m = member(m_name);
        bool opened;
        {
            without_override drop;
            errno = 0;
            opened = m->p_open(O_RDWR);
        }
        EXPECT_FALSE(opened) << c.what;
        EXPECT_EQ(errno, EACCES) << c.what;
        EXPECT_TRUE(same(read_whole(m->p_path()), before)) << c.what;
    }
}

TEST_P(members_test, open_refused_by_another_writer_changes_nothing)
{
    const std::string text = pattern(5000);
    std::string m_name = name("w");
    put(m_name, text);
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        storage other(store_name.c_str(), OWNER, 0, GetParam());
        std::unique_ptr<p_file> w(other.member(m_name.c_str()));
        char c = w->p_open(O_RDWR) ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) != 1)
            _exit(2);
        w->p_close();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    for (int flags : {O_RDWR, O_WRONLY | O_TRUNC, O_RDWR | O_CREAT | O_TRUNC}) {
        auto m = member(m_name);
        errno = 0;
        EXPECT_FALSE(m->p_open(flags)) << flags;
        EXPECT_EQ(errno, EWOULDBLOCK) << flags;
    }
    ASSERT_EQ(write(done[1], "x", 1), 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
    st.reset();
    open_store();
    EXPECT_TRUE(same(get(*st, m_name), text));
    EXPECT_EQ(file_size(backing(m_name)), stored_length(text.size()));
}

// A writer that dies after cutting the content (no close, no commit)
// leaves a member that reads as a failure, never as valid empty content.
TEST_P(members_test, member_cut_by_a_writer_that_died_is_not_valid_empty_content)
{
    const std::string text = pattern(3000);
    std::string m_name = name("cut");
    put(m_name, text);
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);
        storage other(store_name.c_str(), OWNER, 0, GetParam());
        std::unique_ptr<p_file> w(other.member(m_name.c_str()));
        if (!w->p_open(O_RDWR | O_TRUNC) || w->p_trunc(0) != 0)
            _exit(2);
        w->p_flush(false);
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    st.reset();
    open_store();
    unsigned char *data = nullptr;
    size_t size = 0;
    int r = st->get_file(m_name.c_str(), &data, &size);
    if (r == 0) {
        EXPECT_TRUE(same(std::string(reinterpret_cast<char *>(data), size), text))
            << "read " << size << " bytes";
    }
    free(data);
    EXPECT_EQ(st->verify_file(m_name.c_str()), r == 0 ? 1 : 0);
}

TEST_P(members_test, read_only_store_refuses_a_truncating_open)
{
    const std::string text = pattern(300);
    std::string m_name = name("ro");
    put(m_name, text);
    std::string before = read_whole(backing(m_name));
    st->m_lock->set_writable(false);
    ASSERT_EQ(st->access_mode(), 1);
    auto m = member(m_name);
    errno = 0;
    EXPECT_FALSE(m->p_open(O_RDONLY | O_TRUNC));
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(same(read_whole(m->p_path()), before));
    EXPECT_TRUE(same(get(*st, m_name), text));
}

TEST_P(members_test, writer_outliving_its_store_keeps_no_padding)
{
    std::string m_name = name("orphan");
    auto m = member(m_name);
    ASSERT_TRUE(m->p_open(O_RDWR | O_CREAT));
    ASSERT_EQ(m->p_write(0, "abc", 3), 3);
    std::string path = m->p_path();
    st.reset();
    m->p_close();
    EXPECT_FALSE(m->is_open());
    EXPECT_EQ(file_size(path), stored_length(3));
}

TEST_P(members_test, full_file_system_is_an_error_and_keeps_the_member)
{
    if (!ks_sim::testing::inside_sandbox_with_simulator("open"))
        GTEST_SKIP() << "mounts a tmpfs: only inside the sandbox";
    std::string dir = encrypted() ? std::string(storage_data_directory()) : work_dir + "/small";
    small_tmpfs fs(dir, "size=64k,mode=0755");
    ASSERT_TRUE(fs.mounted()) << strerror(errno);
    const std::string text = pattern(4000), big = pattern(100000);
    std::string m_name = name("full", dir);
    put(m_name, text);
    fs.fill();

    auto m = member(m_name);
    ASSERT_TRUE(m->p_open(O_RDWR));
    errno = 0;
    EXPECT_EQ(m->p_write(0, big.data(), uint32_t(big.size())), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(m->is_open());
    EXPECT_TRUE(same(get(*st, m_name), text));

    ASSERT_TRUE(m->p_open(O_RDWR));
    errno = 0;
    EXPECT_EQ(m->p_trunc(int64_t(big.size())), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(m->is_open());
    EXPECT_TRUE(same(get(*st, m_name), text));

    errno = 0;
    EXPECT_EQ(st->put_file(m_name.c_str(), big.data(), big.size()), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(st->verify_file(m_name.c_str()), 1);
    EXPECT_TRUE(same(get(*st, m_name), text));
    st.reset();
    open_store();
    EXPECT_TRUE(same(get(*st, m_name), text));
}

// A rewrite that the file-size limit cuts short fails and keeps the
// member's content, also for the next process.
TEST_P(members_test, rewrite_beyond_the_file_size_limit_keeps_the_member)
{
    const std::string text = pattern(4000), big = pattern(100000);
    std::string m_name = name("limited");
    put(m_name, text);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {16384, 16384};
        setrlimit(RLIMIT_FSIZE, &limit);
        errno = 0;
        int r = st->put_file(m_name.c_str(), big.data(), big.size());
        int e = errno;
        int r_new = st->put_file(name("limited-new").c_str(), big.data(), big.size());
        _exit(r == -1 && e != 0 && r_new == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    st.reset();
    open_store();
    EXPECT_TRUE(same(get(*st, m_name), text));
    EXPECT_EQ(get(*st, name("limited-new")), "<failed>");
}

// A commit that cannot save the index (a directory stands at its
// temporary name) is reported by put_file and by a writer's close; the
// members that were not written read as before, a new one stays absent.
TEST_P(members_test, failed_commit_is_reported)
{
    std::string kept = name("kept"), fresh = name("fresh"), written = name("written");
    put(kept, "kept content");
    const std::string index = st->index_path();
    const size_t slash = index.rfind('/');
    const std::string temporary =
        index.substr(0, slash + 1) + "." + index.substr(slash + 1) + "~";
    ASSERT_EQ(mkdir(temporary.c_str(), 0700), 0) << temporary;
    errno = 0;
    EXPECT_EQ(st->put_file(fresh.c_str(), "new", 3), -1);
    EXPECT_NE(errno, 0);
    auto m = member(written);
    ASSERT_TRUE(m->p_open(O_RDWR | O_CREAT));
    ASSERT_EQ(m->p_write(0, "w", 1), 1);
    errno = 0;
    EXPECT_EQ(m->p_close(), -1);
    EXPECT_NE(errno, 0);
    EXPECT_FALSE(m->is_open());
    m.reset();
    ASSERT_EQ(rmdir(temporary.c_str()), 0);
    st.reset();
    open_store();
    EXPECT_EQ(get(*st, kept), "kept content");
    EXPECT_EQ(get(*st, fresh), "<failed>");
    EXPECT_EQ(get(*st, written), "<failed>");
}

TEST_P(members_test, times_set_while_writing_are_kept_at_close)
{
    std::string m_name = name("times");
    auto m = member(m_name);
    ASSERT_TRUE(m->p_open(O_RDWR | O_CREAT));
    ASSERT_EQ(m->p_write(0, "content", 7), 7);
    const int times[2] = {1000, 2000};
    ASSERT_EQ(m->p_utime(times), 0);
    m->p_close();
    st.reset();
    open_store();
    struct stat rec;
    ASSERT_EQ(member(m_name)->p_stat(&rec), 0);
    EXPECT_EQ(rec.st_atime, 1000);
    EXPECT_EQ(rec.st_mtime, 2000);
    EXPECT_EQ(rec.st_size, 7);
}

TEST_P(members_test, new_backing_files_have_their_mode_whatever_the_umask)
{
    const mode_t expected = encrypted() ? 0600 : 0644;
    for (mode_t mask : {mode_t(0), mode_t(022), mode_t(077)}) {
        std::string m_name = name("mode" + std::to_string(mask));
        mode_t old = umask(mask);
        st->put_file(m_name.c_str(), "x", 1);
        umask(old);
        struct stat s;
        ASSERT_EQ(stat(backing(m_name).c_str(), &s), 0) << mask;
        EXPECT_EQ(s.st_mode & 07777, expected) << mask;
    }
    if (encrypted()) {
        struct stat s;
        ASSERT_EQ(stat(storage_data_directory(), &s), 0);
        EXPECT_EQ(s.st_mode & 07777, 0755u);
    }
}

TEST_P(members_test, put_file_with_null_data_fails_and_changes_nothing)
{
    std::string m_name = name("null");
    put(m_name, "kept");
    errno = 0;
    EXPECT_EQ(st->put_file(m_name.c_str(), nullptr, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(get(*st, m_name), "kept");
}
