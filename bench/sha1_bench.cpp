// Throughput of the boot program's SHA-1 beside the cryptography library's.
#include "init/digest.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <vector>

static void BM_sha1_update(benchmark::State &state)
{
    std::vector<uint8_t> data(size_t(state.range(0)), 0x5a);
    uint8_t d[20];
    for (auto _ : state) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, data.data(), uint32_t(data.size()));
        sha1_final(d, &ctx);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

static void BM_openssl_sha1(benchmark::State &state)
{
    std::vector<uint8_t> data(size_t(state.range(0)), 0x5a);
    uint8_t d[20];
    unsigned int len = 0;
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), d, &len, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

BENCHMARK(BM_sha1_update)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_openssl_sha1)->Arg(4096)->Arg(1 << 20);
