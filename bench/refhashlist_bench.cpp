// The reference hash list from file to kernel records: load_refhashlist
// (read, parse in place, one stat and one tree insert per file) and
// load_all (one write per record) to a regular file, beside the floor: the
// system calls that work cannot avoid, one stat of each file and one write
// of a record of the same size. Counters: entries per second and the ratio
// of the work's time to the floor's. Held to: at most 1.5 times the floor
// at every size from 10^4 entries, and a growth exponent of the work's time
// of at most 1.1 from 10^3 to 10^6 entries; a missed bound fails the run.
//
// The files live in a scratch tree ($KS_BENCH_DIR, else /tmp), made once
// per size and removed at exit.
#include "init/hash_entry.h"
#include "init/refhashlist.h"
#include "bench/bench_growth.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

// What each size measured: seconds of the work and of the floor per
// iteration; filled by the benchmark, judged by main.
struct measured {
    double work = 0;
    double floor = 0;
};
std::map<long, measured> &results()
{
    static std::map<long, measured> r;
    return r;
}

struct scratch {
    std::string dir;
    std::vector<std::string> paths;  // absolute
    std::string list;                // the list text naming them
};

std::string scratch_root()
{
    static std::string root;
    if (root.empty()) {
        const char *base = std::getenv("KS_BENCH_DIR");
        std::string tmpl = std::string(base ? base : "/tmp") + "/ks-refhashlist-bench-XXXXXX";
        std::vector<char> t(tmpl.begin(), tmpl.end());
        t.push_back('\0');
        if (!mkdtemp(t.data()))
            std::abort();
        root = t.data();
        std::atexit([] {
            std::string cmd = "rm -rf '" + root + "'";
            if (std::system(cmd.c_str()) != 0)
                std::fprintf(stderr, "could not remove %s\n", root.c_str());
        });
    }
    return root;
}

std::string counted(char tag, const std::string &data)
{
    return std::string(1, tag) + " " + std::to_string(data.size()) + " " + data + "\n";
}

// n empty files in directories of 1000, and a version 3 list that names
// them: a source and package every 100 files, a hash, type and attributes
// for every file.
const scratch &files(size_t n)
{
    static std::map<size_t, scratch> made;
    auto it = made.find(n);
    if (it != made.end())
        return it->second;
    scratch &s = made[n];
    s.dir = scratch_root() + "/" + std::to_string(n);
    mkdir(s.dir.c_str(), 0755);
    s.list = "Tarvo3.0\n";
    char hex[48];
    for (size_t i = 0; i < n; i++) {
        std::string sub = s.dir + "/" + std::to_string(i / 1000);
        if (i % 1000 == 0)
            mkdir(sub.c_str(), 0755);
        std::string path = sub + "/f" + std::to_string(i);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            std::abort();
        close(fd);
        s.paths.push_back(path);
        if (i % 100 == 0) {
            s.list += counted('S', "org.example.source" + std::to_string(i / 1000));
            s.list += counted('P', "package" + std::to_string(i / 100));
        }
        std::snprintf(hex, sizeof hex, "%08x%032x", unsigned(i), 0x5a5a5a5au);
        s.list += "X 0 A 1 2 3 H 40 " + std::string(hex) + "\n";
        s.list += counted('R', path.substr(1));
    }
    return s;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One stat and one write of a record-sized buffer per file.
double floor_run(const scratch &s, const std::string &out)
{
    int fd = open(out.c_str(), O_RDWR);
    if (fd < 0)
        std::abort();
    char record[64];
    std::memset(record, 'r', sizeof record);
    auto t0 = std::chrono::steady_clock::now();
    for (const auto &p : s.paths) {
        struct stat st;
        if (stat(p.c_str(), &st) == 0)
            benchmark::DoNotOptimize(st.st_ino);
        if (write(fd, record, 23 + 30) < 0)
            std::abort();
    }
    double t = seconds_since(t0);
    close(fd);
    return t;
}

void BM_refhashlist_to_kernel_records(benchmark::State &state)
{
    const scratch &s = files(size_t(state.range(0)));
    std::string list_path = s.dir + ".list", out = s.dir + ".out";
    FILE *f = std::fopen(list_path.c_str(), "w");
    std::fwrite(s.list.data(), 1, s.list.size(), f);
    std::fclose(f);
    double work = 0, floor = 0;
    for (auto _ : state) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        close(fd);
        auto t0 = std::chrono::steady_clock::now();
        if (load_refhashlist(list_path.c_str(), 0, 0, 0) != 0 || load_all(out.c_str()) != 0)
            state.SkipWithError("load failed");
        double t = seconds_since(t0);
        state.SetIterationTime(t);
        work += t;
        release_all_entries();
        floor += floor_run(s, out);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
    state.counters["floor_entries_per_s"] =
        benchmark::Counter(double(state.iterations()) * double(state.range(0)) / floor);
    state.counters["ratio_to_floor"] = work / floor;
    if (state.iterations() > 0) {
        double n = double(state.iterations());
        results()[long(state.range(0))] = measured{work / n, floor / n};
    }
}

BENCHMARK(BM_refhashlist_to_kernel_records)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const auto &r = results();
    bool ok = true;
    for (const auto &[n, m] : r)
        if (n >= 10000 && m.floor > 0) {
            std::string what = "hash list of " + std::to_string(n) + " entries, time / floor";
            ok = bench_growth::report_ratio(what.c_str(), m.work / m.floor, 1.5) && ok;
        }
    auto low = r.find(1000), high = r.find(1000000);
    if (low != r.end() && high != r.end() && low->second.work > 0) {
        double exponent = std::log(high->second.work / low->second.work) / std::log(1000.0);
        ok = bench_growth::report_value("hash list 10^3 -> 10^6 entries, growth exponent", exponent,
                                        1.1, "") &&
             ok;
    }
    return bench_growth::exit_status("refhashlist_bench", ok);
}
