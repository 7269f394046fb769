// What the simulator itself spends on one simulated kernel write (run it in
// the sandbox): records written one by one to the integrity module's
// "hashlist", each counted, checked against the faults and appended to the
// boot's log as the boot's own writes are. Printed: the simulator's time
// per write (KS_SIM_PROFILE) against the 10 µs it is held to, and the
// write's whole time as the program sees it.
#include "bench/bench_growth.h"
#include "sim/model.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

constexpr const char HASHLIST[] = "/sys/kernel/security/keepstone/hashlist";
constexpr int WRITES = 20000;
constexpr double LIMIT_US = 10;

// One run of WRITES writes; the simulator's and the whole time per write
// in µs, false when a write failed.
bool run_once(double *sim_us, double *whole_us)
{
    for (const char *f : {"keepstone", "counters"})
        unlink(ks_sim::run_path(f).c_str());
    int fd = open(HASHLIST, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror(HASHLIST);
        return false;
    }
    const std::string record("x 0 0 0 0 0 0 0\0\n", 17);
    double sim0 = bench_growth::simulator_seconds();
    auto t0 = std::chrono::steady_clock::now();
    bool ok = true;
    for (int i = 0; i < WRITES && ok; i++)
        ok = write(fd, record.data(), record.size()) == ssize_t(record.size());
    std::chrono::duration<double> whole = std::chrono::steady_clock::now() - t0;
    double sim = bench_growth::simulator_seconds() - sim0;
    close(fd);
    *sim_us = sim * 1e6 / WRITES;
    *whole_us = whole.count() * 1e6 / WRITES;
    return ok;
}

}  // namespace

int main(int, char **argv)
{
    bench_growth::profile_simulator(argv);
    double best_sim = 1e30, best_whole = 1e30;
    for (int run = 0; run < 3; run++) {
        double sim, whole;
        if (!run_once(&sim, &whole)) {
            std::fprintf(stderr, "sim_write_bench: a simulated write failed\n");
            return 1;
        }
        if (sim < best_sim) {
            best_sim = sim;
            best_whole = whole;
        }
    }
    std::string what = std::string("simulated write to ") + HASHLIST + " (" +
                       std::to_string(WRITES) + " writes, best of 3), simulator per write";
    bool ok = bench_growth::report_value(what.c_str(), best_sim, LIMIT_US, " us");
    std::printf("whole write %.2f us\n", best_whole);
    return bench_growth::exit_status("sim_write_bench", ok);
}
