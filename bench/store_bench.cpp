// A signed store's commit and reopen as its member count grows by decades:
// one commit (reload check, internal hash, signature, index written whole)
// and one open of the same store (index read, parsed and verified) per
// iteration, with the stand-in crypto services of the storage tests so that
// the store's own work is measured. Counters: milliseconds per commit and
// reopen, and the growth over the decade below, held to 12x.
//
// Runs in the sandbox: the stores live under /var/lib/tarvo/ps and the
// member files in the sandbox's /tmp.
#include "storage/tarvo_storage.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
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
void make_store(long n)
{
    mkdir(SCRATCH, 0755);
    std::string dir = std::string(SCRATCH) + "/" + std::to_string(n);
    mkdir(dir.c_str(), 0755);
    tarvo::storage st(store_name(n).c_str(), OWNER, 0, 0);
    for (long i = 0; i < n; i++) {
        std::string path = dir + "/member" + std::to_string(i);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::string content = "content of member " + std::to_string(i);
        if (fd < 0 || write(fd, content.data(), content.size()) != ssize_t(content.size()))
            std::abort();
        close(fd);
        st.add_file(path.c_str());
    }
    if (!st.commit())
        std::abort();
    // The set-up's writes reach the disk before the timed part starts.
    sync();
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::map<long, double> &per_size()
{
    static std::map<long, double> times;
    return times;
}

void BM_store_commit_and_reopen(benchmark::State &state)
{
    const long n = long(state.range(0));
    make_store(n);
    const std::string name = store_name(n);
    tarvo::storage st(name.c_str(), OWNER, 0, 0);
    double total = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = st.commit();
        tarvo::storage again(name.c_str(), 0, 0);
        double t = seconds_since(t0);
        if (!ok || again.entry_count() != n)
            state.SkipWithError("commit or reopen failed");
        state.SetIterationTime(t);
        total += t;
    }
    double each = total / double(state.iterations());
    per_size()[n] = each;
    state.counters["ms_per_commit_and_reopen"] = each * 1e3;
    auto below = per_size().find(n / 10);
    if (below != per_size().end() && below->second > 0) {
        double growth = each / below->second;
        state.counters["growth_per_decade"] = growth;
        state.counters["held_to"] = HELD_TO;
        if (growth > HELD_TO)
            state.SkipWithError("commit and reopen grow faster than 12x per decade");
    }
    shm_unlink(("/tarvo-ps:" + name + ":0:0").c_str());
}

BENCHMARK(BM_store_commit_and_reopen)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
