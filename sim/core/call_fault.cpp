// The per-process call fault (call_fault.h): an in-memory counter, so that
// each process, and each fresh child of a test, counts its own calls.
#include "sim/core/call_fault.h"

#include "sim/core/dispatch.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ks_sim::call_fault {

namespace {

// 0 disarmed; else the number of the call that fails.
std::atomic<long> armed_at{0};
// The errno of the failing call, 0 for SIGKILL.
std::atomic<int> armed_errno{0};
// From the armed call on every later call fails too (a disk that stays full).
std::atomic<bool> armed_sticky{false};
std::atomic<long> counted{0};
std::atomic<bool> fired{false};

void arm(long n, int err, bool sticky)
{
    armed_at = 0;
    counted = 0;
    fired = false;
    armed_errno = err;
    armed_sticky = sticky;
    armed_at = n > 0 ? n : 0;
}

// "N:WHAT" or "N+:WHAT" (sticky); WHAT is ENOSPC, EIO, KILL or a number.
void arm_from_environment()
{
    const char *spec = std::getenv("KS_SIM_CALL_FAULT");
    if (!spec || !*spec)
        return;
    char *end = nullptr;
    long n = std::strtol(spec, &end, 10);
    bool sticky = *end == '+';
    if (sticky)
        end++;
    if (n <= 0 || *end != ':')
        return;
    const char *what = end + 1;
    int err;
    if (std::strcmp(what, "KILL") == 0)
        err = 0;
    else if (std::strcmp(what, "ENOSPC") == 0)
        err = ENOSPC;
    else if (std::strcmp(what, "EIO") == 0)
        err = EIO;
    else {
        long v = std::strtol(what, &end, 10);
        if (*end || v <= 0 || v > 4095)
            return;
        err = int(v);
    }
    arm(n, err, sticky);
}

__attribute__((constructor)) void read_environment() { arm_from_environment(); }

// With KS_SIM_CALL_FAULT_TRACE set, each counted call is named on
// standard error ("call-fault N NAME"), so that a failing run of a loop can
// be matched with the call that failed. Written with the system call
// itself, past the interposer, and without allocating.
void trace(long n, const char *name)
{
    static const bool on = std::getenv("KS_SIM_CALL_FAULT_TRACE") != nullptr;
    if (!on)
        return;
    char line[96];
    int len = std::snprintf(line, sizeof line, "call-fault %ld %s\n", n, name);
    if (len > 0)
        ::syscall(SYS_write, 2, line, size_t(len) < sizeof line ? size_t(len) : sizeof line - 1);
}

}  // namespace

bool refuse(const char *name)
{
    long at = armed_at.load(std::memory_order_relaxed);
    if (at == 0 || current_request() != 0)
        return false;
    long n = ++counted;
    trace(n, name);
    if (n < at || (n > at && !armed_sticky))
        return false;
    fired = true;
    int err = armed_errno;
    if (err == 0) {
        ::kill(::getpid(), SIGKILL);
        for (;;)
            ::pause();
    }
    errno = err;
    return true;
}

}  // namespace ks_sim::call_fault

#pragma GCC visibility push(default)
extern "C" {

// Arms the call fault of this process: the n-th file-system call from now
// fails with err, or with err 0 the process is killed before it; with
// sticky every later call fails as well. n 0 disarms. The count starts
// again at every call.
void ks_sim_call_fault(long n, int err, int sticky)
{
    ks_sim::call_fault::arm(n, err, sticky != 0);
}

// The calls counted since the fault was armed, and whether it struck.
long ks_sim_call_fault_count(int *struck)
{
    if (struck)
        *struck = ks_sim::call_fault::fired ? 1 : 0;
    return ks_sim::call_fault::counted;
}

}  // extern "C"
#pragma GCC visibility pop
