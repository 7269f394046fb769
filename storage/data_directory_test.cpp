// The data directory of encrypted stores: a directory on its path that is
// swapped for a link, or that belongs to another user, after the store was
// opened never redirects a member's data file.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/test_fixture.h"

using tarvo::storage;

namespace {

const std::string BASE = "/tmp/ks-datadir";
const std::string DATA = BASE + "/data/";
const std::string ELSEWHERE = BASE + "/elsewhere";

std::string only_entry(const std::string &dir)
{
    std::string name;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            name = e->d_name;
    if (d)
        closedir(d);
    return name;
}

int entries(const std::string &dir)
{
    int n = 0;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            n++;
    if (d)
        closedir(d);
    return n;
}

}  // namespace

using data_directory_test = store_test;

TEST_F(data_directory_test, swapped_or_foreign_directory_is_never_written_through)
{
    const struct {
        const char *what;
        void (*change)();
    } cases[] = {
        {"link to elsewhere",
         []() {
             ASSERT_EQ(rename(DATA.substr(0, DATA.size() - 1).c_str(), (BASE + "/old").c_str()), 0);
             ASSERT_EQ(symlink(ELSEWHERE.c_str(), DATA.substr(0, DATA.size() - 1).c_str()), 0);
         }},
        {"parent link to elsewhere",
         []() {
             ASSERT_EQ(rename(BASE.c_str(), (BASE + ".moved").c_str()), 0);
             ASSERT_EQ(mkdir(BASE.c_str(), 0755), 0);
             ASSERT_EQ(symlink((BASE + ".moved/elsewhere").c_str(), DATA.substr(0, DATA.size() - 1).c_str()), 0);
             ASSERT_EQ(mkdir(ELSEWHERE.c_str(), 0755), 0);
         }},
        {"directory of another user",
         []() { ASSERT_EQ(chown(DATA.c_str(), 65534, 65534), 0); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        remove_tree(BASE);
        remove_tree(BASE + ".moved");
        ASSERT_EQ(mkdir(BASE.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(ELSEWHERE.c_str(), 0755), 0);
        ASSERT_EQ(set_alternative_storage_root(DATA.c_str()), 1);
        {
            storage st(store_name.c_str(), "UID::0", 0, 1);
            ASSERT_EQ(st.put_file("first", "1", 1), 0);
            EXPECT_EQ(entries(DATA), 1);
            const std::string member = only_entry(DATA);
            c.change();
            EXPECT_NE(st.put_file("second", "2", 1), 0);
            unsigned char *data = nullptr;
            size_t size = 0;
            EXPECT_NE(st.get_file("first", &data, &size), 0);
            free(data);
            // Nor is a file of that name elsewhere removed in its place.
            write_whole(ELSEWHERE + "/" + member, "not the store's");
            st.remove_file("first");
            EXPECT_EQ(read_whole(ELSEWHERE + "/" + member), "not the store's");
            unlink((ELSEWHERE + "/" + member).c_str());
        }
        EXPECT_EQ(entries(ELSEWHERE), 0);
        EXPECT_EQ(entries(BASE + ".moved/elsewhere"), 0);
        set_alternative_storage_root("/home/user/.tarvo/ps/.e/");
        TearDown();
        SetUp();
    }
    remove_tree(BASE);
    remove_tree(BASE + ".moved");
}
