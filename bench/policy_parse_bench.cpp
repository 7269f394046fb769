// Parsing a policy text in place: throughput over policies of growing size,
// beside the floor of one pass that finds every line, with the memory the
// parse needed beyond its text and arena (overflow bytes per text byte).
#include "bench/synthetic_policy.h"
#include "restok/policy.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

void BM_policy_parse(benchmark::State &state)
{
    const std::string text = synthetic_policy(int(state.range(0)));
    size_t size = sizeof(RESTOK::configuration) + text.size();
    size_t overflow = 0;
    for (auto _ : state) {
        state.PauseTiming();
        char *block = static_cast<char *>(std::calloc(1, size));
        auto *cfg = new (block) RESTOK::configuration();
        std::memcpy(cfg->text(), text.data(), text.size());
        state.ResumeTiming();
        RESTOK::Allocator allocator(cfg);
        cfg->source_package = RESTOK::builtin_package(cfg, "SRC");
        cfg->socket_package = RESTOK::builtin_package(cfg, "_socket_");
        cfg->system_package = RESTOK::builtin_package(cfg, "");
        int rc = RESTOK::restok_parse(&cfg->header, int(text.size()), RESTOK::ARENA_SIZE,
                                      RESTOK::restok_tags, cfg, nullptr, &allocator);
        benchmark::DoNotOptimize(rc);
        state.PauseTiming();
        if (rc < 0)
            state.SkipWithError("parse failed");
        overflow = 0;
        for (RESTOK::chunk *c = cfg->chunks; c; c = c->next)
            overflow += RESTOK::CHUNK_MIN_SIZE;  // at least; chunks are rarely larger
        restok_destroy(cfg);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.counters["overflow_per_text_byte"] = double(overflow) / double(text.size());
}

// The floor: one pass that finds every newline of the same text.
void BM_policy_line_floor(benchmark::State &state)
{
    const std::string text = synthetic_policy(int(state.range(0)));
    for (auto _ : state) {
        size_t lines = 0;
        const char *p = text.data(), *end = p + text.size();
        while ((p = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p))))) {
            lines++;
            p++;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

}  // namespace

BENCHMARK(BM_policy_parse)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000);
BENCHMARK(BM_policy_line_floor)->Arg(10)->Arg(100)->Arg(1000)->Arg(5000);
