// A policy of 1000, 5000 and 20000 packages from text to kernel: parse,
// define its packages and tokens and activate its objects on the simulated
// token and object-policy modules (run it in the sandbox). Each package
// provides three tokens and defines one object whose requests name its own
// token and one of the package before it. Printed: the time per size, the
// growth from 1000 to 20000 packages (held to 30; linear is 20) and whether
// 20000 packages take under a second.
#include "bench/bench_growth.h"
#include "bench/synthetic_policy.h"
#include "restok/policy.h"
#include "restok/restok.h"
#include "sim/model.h"
#include "sim/models/creds.h"
#include "sim/models/restok_tokens.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// The token and policy modules forget this boot's tokens and requests.
void fresh_kernel()
{
    for (const char *f : {ks_sim::RESTOK_TOKENS_STATE, ks_sim::RESTOK_REQUESTS_STATE,
                          ks_sim::CREDP_REQUESTS_STATE, "counters"})
        unlink(ks_sim::run_path(f).c_str());
}

struct phases {
    double parse = 0, define = 0, activate = 0;
    double simulator = 0;  // of define and activate, spent in the simulated kernel
    double total() const { return parse + define + activate; }
    double own() const { return total() - simulator; }
};

double since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// One run; false when a step failed.
bool run_once(const std::string &text, phases &out)
{
    fresh_kernel();
    size_t size = sizeof(RESTOK::configuration) + text.size();
    char *block = static_cast<char *>(std::calloc(1, size));
    if (!block)
        return false;
    auto *cfg = new (block) RESTOK::configuration();
    std::memcpy(cfg->text(), text.data(), text.size());
    auto t0 = std::chrono::steady_clock::now();
    RESTOK::set_restok_types();
    RESTOK::Allocator allocator(cfg);
    cfg->source_package = RESTOK::builtin_package(cfg, "SRC");
    cfg->socket_package = RESTOK::builtin_package(cfg, "_socket_");
    cfg->system_package = RESTOK::builtin_package(cfg, "");
    cfg->socket_package->provider = nullptr;
    cfg->system_package->provider = nullptr;
    int rc = RESTOK::restok_parse(&cfg->header, int(text.size()), RESTOK::ARENA_SIZE,
                                  RESTOK::restok_tags, cfg, nullptr, &allocator);
    out.parse = since(t0);
    bool ok = rc >= 0;
    double sim0 = bench_growth::simulator_seconds();
    if (ok) {
        t0 = std::chrono::steady_clock::now();
        ok = restok_define_resources(cfg) == 0;
        out.define = since(t0);
        t0 = std::chrono::steady_clock::now();
        // No object on "SRC::SRC": activation reports it and goes on.
        ok = ok && restok_activate_policy(cfg) == 0;
        out.activate = since(t0);
    }
    out.simulator = bench_growth::simulator_seconds() - sim0;
    restok_destroy(cfg);
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    bench_growth::profile_simulator(argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int sizes[] = {1000, 5000, 20000};
    // Other sizes for a closer look: policy_bench N1 N2 N3.
    for (int i = 1; i < argc && i <= 3; i++)
        sizes[i - 1] = std::atoi(argv[i]);
    phases best[3];
    std::printf("%9s %11s %11s %11s %11s %11s %11s\n", "packages", "parse", "define", "activate",
                "total", "simulator", "library");
    for (int k = 0; k < 3; k++) {
        const std::string text = synthetic_policy(sizes[k]);
        best[k].parse = 1e30;
        for (int run = 0; run < 3; run++) {
            phases p;
            if (!run_once(text, p)) {
                std::fprintf(stderr, "policy of %d packages failed\n", sizes[k]);
                return 1;
            }
            if (p.total() < best[k].total())
                best[k] = p;
        }
        std::printf("%9d %8.1f ms %8.1f ms %8.1f ms %8.1f ms %8.1f ms %8.1f ms\n", sizes[k],
                    best[k].parse * 1e3, best[k].define * 1e3, best[k].activate * 1e3,
                    best[k].total() * 1e3, best[k].simulator * 1e3, best[k].own() * 1e3);
    }
    std::string what = "policy parse+define+activate, time(" + std::to_string(sizes[2]) +
                       ")/time(" + std::to_string(sizes[0]) + ")";
    bool ok = bench_growth::report_ratio(what.c_str(), best[2].total() / best[0].total(), 30);
    // The library's own time: what the program spends, the simulated
    // kernel's answers left out (a device's kernel answers in its own time).
    std::string own = "policy of " + std::to_string(sizes[2]) + " packages, library's own time";
    ok = bench_growth::report_value(own.c_str(), best[2].own(), 1.0, " s") && ok;
    std::printf("policy of %d packages with the simulated kernel: %.3f s\n", sizes[2],
                best[2].total());
    return bench_growth::exit_status("policy_bench", ok);
}
