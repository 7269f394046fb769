// Shared by the growth benchmarks: the best time of a few runs of one step
// (wall clock, or wall clock and CPU time), and the line that prints a
// growth ratio beside the limit it is held to.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

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

// The wall-clock and CPU seconds of one step (CPU: this process's, in
// user and kernel mode, unmoved by other processes' load).
struct run_time {
    double wall = -1;
    double cpu = -1;
};

inline double cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The fastest wall-clock and the least CPU time of runs calls of fn, each
// taken over all runs; both negative when fn returns false.
template <class F> run_time best_of_both(int runs, F fn)
{
    run_time best{1e30, 1e30};
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        double c0 = cpu_seconds();
        if (!fn())
            return run_time{};
        double cpu = cpu_seconds() - c0;
        std::chrono::duration<double> wall = std::chrono::steady_clock::now() - t0;
        if (wall.count() < best.wall)
            best.wall = wall.count();
        if (cpu < best.cpu)
            best.cpu = cpu;
    }
    return best;
}

// Every bound is multiplied by KS_BENCH_LIMIT_SCALE when it is set (a test
// sets it near 0 to show that a missed bound fails the benchmark).
inline double limit_scale()
{
    const char *s = std::getenv("KS_BENCH_LIMIT_SCALE");
    double v = s ? std::strtod(s, nullptr) : 1.0;
    return v > 0 ? v : 1.0;
}

// "what: V unit (limit L unit): within" or "... OVER"; true when within.
inline bool report_value(const char *what, double value, double limit, const char *unit)
{
    limit *= limit_scale();
    bool ok = value <= limit;
    std::printf("%s: %.2f%s (limit %.2f%s): %s\n", what, value, unit, limit, unit,
                ok ? "within" : "OVER");
    if (!ok)
        std::fprintf(stderr, "bound missed: %s: %.2f%s over %.2f%s\n", what, value, unit, limit,
                     unit);
    return ok;
}

// "what: ratio R (limit L): within" or "... OVER"; true when within.
inline bool report_ratio(const char *what, double ratio, double limit)
{
    limit *= limit_scale();
    bool ok = ratio <= limit;
    std::printf("%s: ratio %.1f (limit %.1f): %s\n", what, ratio, limit, ok ? "within" : "OVER");
    if (!ok)
        std::fprintf(stderr, "bound missed: %s: ratio %.1f over %.1f\n", what, ratio, limit);
    return ok;
}

// The exit status of a benchmark whose bounds gave ok.
inline int exit_status(const char *program, bool ok)
{
    if (!ok)
        std::fprintf(stderr, "%s: a bound was missed\n", program);
    return ok ? 0 : 1;
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
