// Shared by the growth benchmarks: the best time of a few runs of one step,
// and the line that prints a growth ratio beside the limit it is held to.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace bench_growth {

// Seconds of the fastest of runs calls of fn (fn returns false to stop).
template <class F> double best_of(int runs, F fn)
{
    double best = 1e30;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        if (!fn())
            return -1;
        std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        if (d.count() < best)
            best = d.count();
    }
    return best;
}

// "what: ratio R (limit L): within" or "... OVER"; true when within.
inline bool report_ratio(const char *what, double ratio, double limit)
{
    bool ok = ratio <= limit;
    std::printf("%s: ratio %.1f (limit %.0f): %s\n", what, ratio, limit, ok ? "within" : "OVER");
    return ok;
}

// Makes the simulator time itself: runs the program again with
// KS_SIM_PROFILE set when it is not (the simulator reads it once, early).
inline void profile_simulator(char **argv)
{
    if (std::getenv("KS_SIM_PROFILE"))
        return;
    setenv("KS_SIM_PROFILE", "1", 1);
    execv("/proc/self/exe", argv);
}

// Seconds the simulator has spent in this process so far; 0 without it.
inline double simulator_seconds()
{
    using profile_fn = void (*)(int64_t *, int64_t *);
    static auto fn = reinterpret_cast<profile_fn>(dlsym(RTLD_DEFAULT, "ks_sim_profile"));
    if (!fn)
        return 0;
    int64_t calls = 0, ns = 0;
    fn(&calls, &ns);
    return double(ns) * 1e-9;
}

}  // namespace bench_growth
