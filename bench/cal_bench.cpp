// The configuration area on the simulated NAND flash: flash reads and
// bytes read by one set-up, one appending write and one compacting write,
// with 3, 10, 50, 200 and 1000 blocks in the area, beside the floor: the
// used part of the current half read once (the fewest reads that can do
// it, one per erase block it spans), the first header of every area (the
// choice of the half reads both halves' first headers before it scans the
// current one; the validity of the user and write-once areas needs
// theirs), and for a write the read-back of every page it writes.
// Counters: the measured reads and bytes, the floor's, and their ratios,
// held to 2. The CPU time of a set-up is held to linear growth in blocks.
//
// Runs inside the sandbox only (it erases the simulated flash).
#include "bench/bench_growth.h"
#include "cal/cal.h"
#include "sim/models/mtd.h"
#include "sim/testing/inside.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr uint32_t erase_size = 0x20000;
constexpr uint32_t page_size = 0x800;
constexpr double bound = 2.0;

void quiet(const char *) {}

// Bounds missed by this run, by name: the program's exit status shows them.
std::vector<std::string> missed;
// CPU seconds per set-up, by the number of blocks: of the filled area,
// and of a half packed with blocks without data.
std::map<int, double> setup_cpu;
std::map<int, double> packed_cpu;

// The simulator's default flash, with its configuration partition erased.
void fresh_flash()
{
    std::vector<ks_sim::mtd_partition> parts = {
        {0, "bootloader", 0x00080000, erase_size, page_size, 0},
        {1, "config", 12 * erase_size, erase_size, page_size, erase_size},
        {4, "rootfs", 0x00400000, erase_size, page_size, 0},
    };
    if (ks_sim::mtd_write_partitions(parts) != 0 || ks_sim::mtd_erase_all(1) != 0 ||
        ks_sim::write_state("mtd/mtd1.bad", "") != 0)
        std::abort();
    ks_sim::mtd_power_cycle();
}

std::string block_name(int i) { return "cert" + std::to_string(i); }

// Block data of 60 to 250 bytes, varying with the block.
std::string block_data(int i, int round)
{
    return std::string(size_t(60 + (i * 37) % 190), char('a' + (i + round) % 26));
}

int write_block(const std::string &name, const std::string &data)
{
    cal_context *ctx;
    if (cal_init_rw(&ctx) != 0)
        return -1;
    int r = cal_write_block(ctx, name.c_str(), reinterpret_cast<const unsigned char *>(data.data()),
                            uint32_t(data.size()), 0);
    cal_release(ctx);
    return r;
}

int current_half()
{
    cal_context *ctx;
    if (cal_init_ro(&ctx) != 0)
        std::abort();
    const int current = ctx->current;
    cal_release(ctx);
    return current;
}

// n blocks, then rewrites until a compaction has just packed them all.
void fill(int n)
{
    fresh_flash();
    for (int i = 0; i < n; i++)
        if (write_block(block_name(i), block_data(i, 0)) != 0)
            std::abort();
    const int before = current_half();
    for (int round = 1; current_half() == before; round++)
        if (write_block(block_name(round % n), block_data(round % n, round)) != 0)
            std::abort();
}

struct cost {
    double reads = 0, bytes = 0;
};

// The set-up's floor on the present flash.
cost setup_floor()
{
    cal_context *ctx;
    if (cal_init_ro(&ctx) != 0)
        std::abort();
    const uint32_t used = ctx->config[ctx->current].empty_start;
    cost c;
    c.reads = double((used + erase_size - 1) / erase_size);
    c.bytes = double(used);
    const int headers = 3 + (ctx->otp ? 1 : 0);  // both halves, user, write-once
    c.reads += headers;
    c.bytes += headers * CAL_HEADER_SIZE;
    cal_release(ctx);
    return c;
}

ks_sim::mtd_read_count reads_now() { return ks_sim::mtd_reads(); }

// Adds the reads made since `before`, and the floor of that work.
void count_since(cost &measured, const ks_sim::mtd_read_count &before, cost &floors,
                 const cost &floor)
{
    auto after = reads_now();
    measured.reads += double(after.calls - before.calls);
    measured.bytes += double(after.bytes - before.bytes);
    floors.reads += floor.reads;
    floors.bytes += floor.bytes;
}

// Sums over `runs` runs of the work and of its floor.
void report(benchmark::State &state, const cost &measured, const cost &floors, double runs,
            const char *what)
{
    const double reads = measured.reads / runs, bytes = measured.bytes / runs;
    const cost floor{floors.reads / runs, floors.bytes / runs};
    state.counters["reads"] = reads;
    state.counters["bytes"] = bytes;
    state.counters["floor_reads"] = floor.reads;
    state.counters["floor_bytes"] = floor.bytes;
    state.counters["reads_ratio"] = reads / floor.reads;
    state.counters["bytes_ratio"] = bytes / floor.bytes;
    const double limit = bound * bench_growth::limit_scale();
    state.counters["bound"] = limit;
    if (reads / floor.reads > limit || bytes / floor.bytes > limit) {
        state.SkipWithError("over the bound of 2x the floor");
        missed.push_back(std::string(what) + " with " + std::to_string(state.range(0)) +
                         " blocks: reads or bytes over 2x the floor");
    }
}

bool in_sandbox(benchmark::State &state)
{
    if (ks_sim::testing::inside_sandbox_with_simulator("open"))
        return true;
    state.SkipWithError("runs inside ks-sandbox only");
    return false;
}

void BM_SetUp(benchmark::State &state)
{
    if (!in_sandbox(state))
        return;
    cal_error_hook = quiet;
    fill(int(state.range(0)));
    const cost floor = setup_floor();
    cost measured, floors;
    double runs = 0;
    double cpu = 0;
    for (auto _ : state) {
        auto before = reads_now();
        const double start = bench_growth::cpu_seconds();
        cal_context *ctx;
        if (cal_init_ro(&ctx) != 0)
            std::abort();
        cal_release(ctx);
        cpu += bench_growth::cpu_seconds() - start;
        count_since(measured, before, floors, floor);
        runs++;
    }
    setup_cpu[int(state.range(0))] = cpu / runs;
    report(state, measured, floors, runs, "set-up");
    cal_error_hook = cal_default_error_handler;
}

// A half packed with n blocks of distinct names and no data (36 bytes
// each: a half of the default flash holds up to 14,563), the most names a
// set-up can meet: its CPU time shows how listing the blocks grows.
void packed_half(int n)
{
    fresh_flash();
    std::string run;
    for (int i = 0; i < n; i++) {
        cal_block_header h{};
        h.magic = CAL_MAGIC;
        h.hdr_version = CAL_HEADER_VERSION;
        const std::string name = "n" + std::to_string(i);
        memcpy(h.name, name.data(), name.size());
        cal_header_seal(&h);
        unsigned char bytes[CAL_HEADER_SIZE];
        cal_header_encode(&h, bytes);
        run.append(reinterpret_cast<char *>(bytes), sizeof bytes);
    }
    if (ks_sim::mtd_poke_flash(1, 0, run, false) != 0)
        std::abort();
    ks_sim::mtd_power_cycle();
}

void BM_SetUpPackedNames(benchmark::State &state)
{
    if (!in_sandbox(state))
        return;
    cal_error_hook = quiet;
    const int n = int(state.range(0));
    packed_half(n);
    double runs = 0, cpu = 0;
    for (auto _ : state) {
        const double start = bench_growth::cpu_seconds();
        cal_context *ctx;
        if (cal_init_ro(&ctx) != 0)
            std::abort();
        unsigned char *data = nullptr;
        uint32_t length = 0;
        const int found = cal_read_block(ctx, ("n" + std::to_string(n - 1)).c_str(), &data,
                                         &length, 0);
        free(data);
        cal_release(ctx);
        cpu += bench_growth::cpu_seconds() - start;
        if (found != 0)
            state.SkipWithError("the last packed block is not found");
        runs++;
    }
    packed_cpu[n] = cpu / runs;
    state.counters["cpu_us_per_block"] = cpu / runs / n * 1e6;
    cal_error_hook = cal_default_error_handler;
}

// An appending write of one block: a set-up, the check that the space is
// erased, one page written and read back.
void BM_AppendingWrite(benchmark::State &state)
{
    if (!in_sandbox(state))
        return;
    cal_error_hook = quiet;
    const int n = int(state.range(0));
    fill(n);
    cost measured, floors;
    double runs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        cost f = setup_floor();
        f.reads += 1;
        f.bytes += page_size;
        auto before = reads_now();
        const long ops = ks_sim::mtd_operations();
        state.ResumeTiming();
        if (write_block(block_name(int(runs) % n), "appended") != 0)
            std::abort();
        state.PauseTiming();
        count_since(measured, before, floors, f);
        if (ks_sim::mtd_operations() != ops + 1)
            state.SkipWithError("the write did not append one page");
        runs++;
        state.ResumeTiming();
    }
    report(state, measured, floors, runs, "appending write");
    cal_error_hook = cal_default_error_handler;
}

// The write that compacts the full half into the other one: a set-up, the
// other half erased, every page of the packed blocks written and read back.
void BM_CompactingWrite(benchmark::State &state)
{
    if (!in_sandbox(state))
        return;
    cal_error_hook = quiet;
    const int n = int(state.range(0));
    cost measured, floors;
    double runs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fill(n);
        // Fill the current half up, so that the next write compacts.
        for (int i = 0;; i++) {
            cal_context *ctx;
            if (cal_init_ro(&ctx) != 0)
                std::abort();
            cal_area *cur = &ctx->config[ctx->current];
            bool full = cur->empty_start + page_size > cal_area_size(ctx, cur);
            cal_release(ctx);
            if (full)
                break;
            if (write_block(block_name(i % n), "filler") != 0)
                std::abort();
        }
        cost f = setup_floor();
        const int half = current_half();
        auto before = reads_now();
        state.ResumeTiming();
        if (write_block(block_name(0), "compacted") != 0)
            std::abort();
        state.PauseTiming();
        const auto after = reads_now();
        cal_context *ctx;
        if (cal_init_ro(&ctx) != 0)
            std::abort();
        const uint32_t written = ctx->config[ctx->current].empty_start;
        const bool compacted = ctx->current != half;
        cal_release(ctx);
        if (!compacted)
            state.SkipWithError("the write did not compact");
        f.reads += double(written / page_size);
        f.bytes += double(written);
        measured.reads += double(after.calls - before.calls);
        measured.bytes += double(after.bytes - before.bytes);
        floors.reads += f.reads;
        floors.bytes += f.bytes;
        runs++;
        state.ResumeTiming();
    }
    report(state, measured, floors, runs, "compacting write");
    cal_error_hook = cal_default_error_handler;
}

BENCHMARK(BM_SetUp)->Arg(3)->Arg(10)->Arg(50)->Arg(200)->Arg(1000)->Iterations(20);
BENCHMARK(BM_SetUpPackedNames)->Arg(1000)->Arg(4000)->Arg(14000)->Iterations(5);
BENCHMARK(BM_AppendingWrite)->Arg(3)->Arg(10)->Arg(50)->Arg(200)->Arg(1000)->Iterations(5);
BENCHMARK(BM_CompactingWrite)->Arg(3)->Arg(10)->Arg(50)->Arg(200)->Arg(1000)->Iterations(1);

}  // namespace

// Runs the benchmarks, then holds the set-up's CPU time per block to
// linear growth from each number of blocks to the next; a missed bound
// makes the exit status 1, naming it.
int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const std::pair<const char *, const std::map<int, double> *> series[] = {
        {"set-up", &setup_cpu}, {"set-up of a packed half", &packed_cpu}};
    for (const auto &sr : series) {
        const std::map<int, double> &cpu = *sr.second;
        for (auto it = cpu.begin(); it != cpu.end() && std::next(it) != cpu.end(); ++it) {
            const auto next = std::next(it);
            if (it->second <= 0)
                continue;
            const double ratio = (next->second / next->first) / (it->second / it->first);
            const std::string what = std::string(sr.first) + " CPU per block, " +
                                     std::to_string(next->first) + " against " +
                                     std::to_string(it->first) + " blocks";
            if (!bench_growth::report_ratio(what.c_str(), ratio, bound))
                missed.push_back(std::string(sr.first) +
                                 " CPU per block grows faster than linear from " +
                                 std::to_string(it->first) + " to " +
                                 std::to_string(next->first) + " blocks");
        }
    }
    for (const auto &m : missed)
        std::fprintf(stderr, "bound missed: %s\n", m.c_str());
    return missed.empty() ? 0 : 1;
}
