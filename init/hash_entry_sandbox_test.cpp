// load_all against the simulated integrity module's "hashlist" file (runs
// in the sandbox): a record the kernel takes only in part is a failed write.
#include "init/hash_entry.h"

#include "init/log.h"
#include "sim/model.h"
#include "sim/models/keepstone.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(LoadAll, RecordsTheKernelTakesInPartAreFailedWrites)
{
    ASSERT_EQ(ks_sim::state_dir(), "/.ks-sim") << "runs inside ks-sandbox only";
    log_to_stderr(0);
    release_all_entries();
    const uint8_t hash[SHA1_DIGEST_LENGTH] = {0xab};
    for (uint32_t inode = 1; inode <= 3; inode++)
        ASSERT_EQ(new_hash_entry(8, inode, nullptr, 0, 0, 0, 0, hash, "/nowhere", 0, nullptr,
                                 nullptr, 0),
                  0);
    struct row {
        const char *faults;
        int more_errors;
        int result;
    } rows[] = {
        {"", 0, 0},
        {"keepstone.hashlist.short\n", 3, -3},
        {"keepstone.hashlist.write_fail=2\n", 1, -3},
        {"", 0, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.faults);
        ASSERT_EQ(ks_sim::write_state("faults", r.faults), 0);
        ASSERT_EQ(ks_sim::write_state(ks_sim::run_path("counters"), ""), 0);
        int before = hash_write_errors();
        EXPECT_EQ(load_all(DEFAULT_HASHLIST_PATH), r.result);
        EXPECT_EQ(hash_write_errors() - before, r.more_errors);
    }
    ASSERT_EQ(ks_sim::write_state("faults", ""), 0);
    release_all_entries();
}

}  // namespace
