// The store lock: names and lifetime of the shared objects, lock depth,
// flags, and the digest exchange between processes.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <cinttypes>
#include <memory>

#include "storage/test_caps.h"
#include "storage/test_fixture.h"
#include "support/test_process.h"

using tarvo::storage;

namespace {

const char *OWNER = "UID::0";

// Whether another open description can take the store's file lock now.
bool lock_is_free(const std::string &shm_name)
{
    int fd = open(("/dev/shm" + shm_name).c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    bool free_now = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free_now;
}

}  // namespace

using storage_lock_test = store_test;

TEST_F(storage_lock_test, shared_names_and_semaphore_lifetime)
{
    std::string sem;
    {
        storage st(store_name.c_str(), OWNER, 1, 0);
        EXPECT_EQ(st.m_lock->shared_name(), "/tarvo-ps:" + store_name + ":1:0");
        char suffix[64];
        snprintf(suffix, sizeof suffix, ":%d:%p", int(getpid()), static_cast<void *>(&st));
        sem = st.semaphore_name();
        EXPECT_EQ(sem, st.m_lock->shared_name() + suffix);
        sem_t *s = sem_open(sem.c_str(), 0);
        ASSERT_NE(s, SEM_FAILED);
        sem_close(s);
        struct stat shm;
        ASSERT_EQ(stat(("/dev/shm" + st.m_lock->shared_name()).c_str(), &shm), 0);
        EXPECT_EQ(shm.st_size, 20);
        EXPECT_EQ(shm.st_mode & 0777, 0600u);  // written by its owner only
    }
    EXPECT_EQ(sem_open(sem.c_str(), 0), SEM_FAILED);
    struct stat shm;
    EXPECT_EQ(stat(("/dev/shm/tarvo-ps:" + store_name + ":1:0").c_str(), &shm), 0);
}

TEST_F(storage_lock_test, depth_counts_and_destruction_releases)
{
    auto st = std::make_unique<storage>(store_name.c_str(), OWNER, 0, 0);
    storage_lock *lk = st->m_lock;
    const std::string name = lk->shared_name();
    EXPECT_TRUE(lock_is_free(name));
    lk->wait();
    lk->wait();
    lk->post();
    EXPECT_TRUE(lk->locked());
    EXPECT_FALSE(lock_is_free(name));
    lk->post();
    EXPECT_FALSE(lk->locked());
    EXPECT_TRUE(lock_is_free(name));
    lk->post();
    EXPECT_FALSE(lk->locked());

    lk->wait();
    lk->wait();
    st.reset();
    EXPECT_TRUE(lock_is_free(name));
}

TEST_F(storage_lock_test, flags_keep_writable_within_readable)
{
    storage st(store_name.c_str(), OWNER, 0, 0);
    storage_lock *lk = st.m_lock;
    lk->set_readable(false);
    EXPECT_FALSE(lk->readable());
    EXPECT_FALSE(lk->writable());
    EXPECT_EQ(st.access_mode(), 2);
    lk->set_writable(true);
    EXPECT_TRUE(lk->readable());
    EXPECT_EQ(st.access_mode(), 0);
    lk->set_writable(false);
    EXPECT_EQ(st.access_mode(), 1);
}

TEST_F(storage_lock_test, open_members_list_keeps_order)
{
    storage st(store_name.c_str(), OWNER, 0, 0);
    storage_lock *lk = st.m_lock;
    auto *a = reinterpret_cast<tarvo::p_file *>(uintptr_t(0x10));
    auto *b = reinterpret_cast<tarvo::p_file *>(uintptr_t(0x20));
    lk->add_open_member(a);
    lk->add_open_member(b);
    lk->add_open_member(a);
    lk->remove_open_member(a);
    EXPECT_EQ(lk->open_members(), (std::vector<tarvo::p_file *>{b, a}));
    lk->remove_open_member(reinterpret_cast<tarvo::p_file *>(uintptr_t(0x30)));
    EXPECT_EQ(lk->open_members().size(), 2u);
    lk->remove_open_member(a);
    lk->remove_open_member(b);
}

TEST_F(storage_lock_test, commit_in_another_process_is_seen_until_reload)
{
    std::string a = file("a", "alpha");
    storage st(store_name.c_str(), OWNER, 0, 0);
    ASSERT_TRUE(st.commit());
    EXPECT_FALSE(st.index_changed());

    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        storage other(store_name.c_str(), OWNER, 0, 0);
        other.add_file(a.c_str());
        _exit(other.commit() ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_TRUE(st.index_changed());
    EXPECT_TRUE(st.index_changed());
    EXPECT_TRUE(st.contains_file(a.c_str()));  // reloads first
    EXPECT_FALSE(st.index_changed());
    EXPECT_FALSE(st.refresh());
}

TEST_F(storage_lock_test, read_only_shared_object_sees_but_does_not_publish)
{
    {
        storage st(store_name.c_str(), OWNER, 0, 0);
        ASSERT_TRUE(st.commit());
    }
    std::string shm = "/dev/shm/tarvo-ps:" + store_name + ":0:0";
    std::string before = read_whole(shm);
    ASSERT_EQ(chmod(shm.c_str(), 0444), 0);
    without_override drop;
    storage st(store_name.c_str(), OWNER, 0, 0);
    ASSERT_TRUE(st.m_lock->has_shared_digest());
    std::string a = file("a", "alpha");
    st.add_file(a.c_str());
    ASSERT_TRUE(st.commit());
    EXPECT_EQ(read_whole(shm), before);
}

TEST_F(storage_lock_test, encrypted_member_written_in_another_process_reads_here)
{
    storage st(store_name.c_str(), OWNER, 0, 1);
    ASSERT_EQ(st.put_file("first", "1", 1), 0);
    pid_t child = test_fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        storage other(store_name.c_str(), OWNER, 0, 1);
        _exit(other.put_file("second", "from the child", 14) == 0 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(st.index_changed());
    unsigned char *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(st.get_file("second", &data, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), "from the child");
    free(data);
    EXPECT_EQ(st.entry_count(), 2);
}

TEST_F(storage_lock_test, last_key_release_wipes_all_three_schedules)
{
    storage st(store_name.c_str(), OWNER, 0, 1);
    ASSERT_EQ(st.set_aes_keys(true, nullptr), 1);
    const unsigned char zero[sizeof(AES_KEY)] = {0};
    const AES_KEY *schedules[] = {&st.m_lock->m_tweak_key, &st.m_lock->m_encrypt_key,
                                  &st.m_lock->m_decrypt_key};
    for (const AES_KEY *k : schedules)
        ASSERT_NE(memcmp(k, zero, sizeof zero), 0);
    st.release_aes_keys();
    EXPECT_EQ(st.m_lock->m_key_users, 0);
    for (const AES_KEY *k : schedules)
        EXPECT_EQ(memcmp(k, zero, sizeof zero), 0);
}
