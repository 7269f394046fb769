// The store lock: names and lifetime of the shared objects, lock depth,
// flags, and the digest exchange between processes.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/time.h>
#include <grp.h>
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

namespace {

// Sleeps in real time (the simulator's clock may run faster).
void real_sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (syscall(SYS_nanosleep, &t, &t) != 0 && errno == EINTR) {
    }
}

// Runs body in a child process bounded by an alarm: the child's exit code
// is body's result; a hang ends the child by SIGALRM and reads as -1.
template <typename F>
int in_child(unsigned seconds, F body)
{
    pid_t child = test_fork();
    if (child == 0) {
        alarm(seconds);
        _exit(body());
    }
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return -2;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A process of user 65534 that creates the shared-digest object under
// name (mode 0644), holds its file lock and stays until killed.
pid_t other_user_holds(const std::string &name)
{
    pid_t child = test_fork();
    if (child == 0) {
        alarm(30);
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
            setresuid(65534, 65534, 65534) != 0)
            _exit(1);
        umask(0);
        int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0644);
        if (fd < 0 || ftruncate(fd, 20) != 0 || flock(fd, LOCK_EX) != 0)
            _exit(1);
        pause();
        _exit(0);
    }
    for (int i = 0; child > 0 && i < 500; i++) {
        struct stat st;
        if (stat(("/dev/shm" + name).c_str(), &st) == 0 && st.st_uid == 65534 &&
            !lock_is_free(name))
            return child;
        if (waitpid(child, nullptr, WNOHANG) == child)
            return -1;
        real_sleep_ms(10);
    }
    return -1;
}

void end_process(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

// Another user's object under the store's shared-digest name, held
// locked, never stalls a store: root replaces it by its own, any other
// user works without it.
TEST_F(storage_lock_test, object_of_another_user_is_never_waited_on)
{
    const std::string name = "/tarvo-ps:" + store_name + ":0:0";
    struct caller {
        uid_t uid;
        int expected;  // 2: own object in place, 3: without any
    };
    const caller callers[] = {{0, 2}, {1000, 3}};
    root_open_to_all root;
    ASSERT_TRUE(root.ok());
    for (const caller &c : callers) {
        SCOPED_TRACE(c.uid);
        shm_unlink(name.c_str());
        pid_t holder = other_user_holds(name);
        ASSERT_GT(holder, 0);
        int result = in_child(5, [&]() {
            if (c.uid != 0 && (setresgid(c.uid, c.uid, c.uid) != 0 ||
                               setresuid(c.uid, c.uid, c.uid) != 0))
                return 1;
            storage st(store_name.c_str(), OWNER, 0, 0);
            st.lock();
            bool locked = st.m_lock->locked();
            st.unlock();
            if (st.m_lock->has_shared_digest()) {
                struct stat s;
                bool own = stat(("/dev/shm" + name).c_str(), &s) == 0 && s.st_uid == c.uid &&
                           (s.st_mode & 0777) == 0600;
                return own && locked ? 2 : 4;
            }
            return 3;
        });
        end_process(holder);
        EXPECT_EQ(result, c.expected);
    }
    shm_unlink(name.c_str());
}

namespace {
void on_timer(int) {}
}  // namespace

// A signal while the lock is awaited does not end the wait without it.
TEST_F(storage_lock_test, signal_during_the_wait_does_not_drop_the_lock)
{
    storage st(store_name.c_str(), OWNER, 0, 0);
    const std::string name = st.m_lock->shared_name();
    pid_t holder = test_fork();
    if (holder == 0) {
        int fd = open(("/dev/shm" + name).c_str(), O_RDONLY);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            _exit(1);
        real_sleep_ms(500);
        _exit(0);
    }
    ASSERT_GT(holder, 0);
    for (int i = 0; i < 500 && lock_is_free(name); i++)
        real_sleep_ms(10);
    ASSERT_FALSE(lock_is_free(name));
    struct sigaction sa {};
    sa.sa_handler = on_timer;  // no SA_RESTART
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    struct itimerval timer {};
    timer.it_value.tv_usec = 100000;
    timer.it_interval.tv_usec = 100000;
    setitimer(ITIMER_REAL, &timer, nullptr);
    st.lock();
    bool locked = st.m_lock->locked();
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_TRUE(locked);
    EXPECT_FALSE(lock_is_free(name));
    st.unlock();
    waitpid(holder, nullptr, 0);
}

// A second object of a store whose lock this thread holds fails at once
// (EDEADLK) instead of waiting for itself; once released it locks.
TEST_F(storage_lock_test, second_object_on_the_holding_thread_fails_instead_of_waiting)
{
    int result = in_child(5, [&]() {
        storage first(store_name.c_str(), OWNER, 0, 0);
        first.lock();
        storage second(store_name.c_str(), OWNER, 0, 0);
        errno = 0;
        second.lock();
        bool refused = !second.m_lock->locked() && errno == EDEADLK;
        bool committed = second.commit();
        first.unlock();
        second.lock();
        bool later = second.m_lock->locked();
        second.unlock();
        return refused && !committed && later ? 0 : 1;
    });
    EXPECT_EQ(result, 0);
}
