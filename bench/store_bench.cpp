// A signed store's commit and reopen as its member count grows by decades,
// 10 ... 10^4 members: one commit (reload check, internal hash, signature,
// index written whole) and one open of the same store (index read, parsed
// and verified) per run, with the stand-in crypto services of the storage
// tests so that the store's own work is measured. Printed per size: the
// best wall-clock and CPU time of a few runs; then the growth over each
// decade. The CPU time is the figure held to 12x: it counts the store's
// own work, kernel included, and stays put under load. The wall clock,
// which also waits for the disk and for other processes, is shown beside.
//
// Runs in the sandbox: the stores live under /var/lib/tarvo/ps and the
// member files in the sandbox's /tmp.
#include "bench/bench_growth.h"
#include "storage/tarvo_storage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char *OWNER = "UID::0";
const double HELD_TO = 12.0;

// The member files, in the sandbox's own /tmp (a tmpfs that goes with it).
const char *SCRATCH = "/tmp/ks-store-bench";

std::string store_name(long n)
{
    return "bench." + std::to_string(getpid()) + "." + std::to_string(n);
}

// A committed store of n members, each a small file of its own.
bool make_store(long n)
{
    mkdir(SCRATCH, 0755);
    std::string dir = std::string(SCRATCH) + "/" + std::to_string(n);
    mkdir(dir.c_str(), 0755);
    tarvo::storage st(store_name(n).c_str(), OWNER, 0, 0);
    for (long i = 0; i < n; i++) {
        std::string path = dir + "/member" + std::to_string(i);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::string content = "content of member " + std::to_string(i);
        bool written = fd >= 0 && write(fd, content.data(), content.size()) == ssize_t(content.size());
        if (fd >= 0)
            close(fd);
        if (!written)
            return false;
        st.add_file(path.c_str());
    }
    if (!st.commit())
        return false;
    // The set-up's writes reach the disk before the timed part starts.
    sync();
    return true;
}

// Best of runs commits and reopens of the store of n members.
bench_growth::run_time commit_and_reopen(long n, int runs)
{
    const std::string name = store_name(n);
    tarvo::storage st(name.c_str(), OWNER, 0, 0);
    return bench_growth::best_of_both(runs, [&] {
        bool ok = st.commit();
        tarvo::storage again(name.c_str(), 0, 0);
        return ok && again.entry_count() == n;
    });
}

bool report_decade(long from, long to, const bench_growth::run_time &low,
                   const bench_growth::run_time &high)
{
    std::string what = "store commit+reopen, " + std::to_string(from) + " -> " +
                       std::to_string(to) + " members";
    bool ok = bench_growth::report_ratio((what + ", CPU time").c_str(), high.cpu / low.cpu, HELD_TO);
    std::printf("%s, wall clock: ratio %.1f (shown; the CPU time is held)\n", what.c_str(),
                high.wall / low.wall);
    return ok;
}

}  // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const long sizes[] = {10, 100, 1000, 10000};
    const int count = int(sizeof sizes / sizeof sizes[0]);
    bench_growth::run_time best[count];
    std::printf("%8s %12s %12s %15s\n", "members", "wall", "CPU", "CPU per member");
    for (int k = 0; k < count; k++) {
        const long n = sizes[k];
        bool made = make_store(n);
        if (made)
            best[k] = commit_and_reopen(n, n <= 100 ? 40 : 12);
        shm_unlink(("/tarvo-ps:" + store_name(n) + ":0:0").c_str());
        if (!made || best[k].wall < 0) {
            std::fprintf(stderr, "store of %ld members: commit or reopen failed\n", n);
            return 1;
        }
        std::printf("%8ld %9.3f ms %9.3f ms %12.2f us\n", n, best[k].wall * 1e3,
                    best[k].cpu * 1e3, best[k].cpu * 1e6 / double(n));
    }
    bool ok = true;
    for (int k = 1; k < count; k++)
        ok = report_decade(sizes[k - 1], sizes[k], best[k - 1], best[k]) && ok;
    return bench_growth::exit_status("store_bench", ok);
}
