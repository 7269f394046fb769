// The call fault of the simulator (sim/core/call_fault.h) for test
// programs in the sandbox: the n-th file-system call of this process from
// now fails with an errno, or kills the process. Header only; the calls
// are found in the preloaded interposer, so a program outside the sandbox
// finds none (armed() is then false).
#pragma once

#include <dlfcn.h>

namespace ks_sim::testing {

class call_fault {
public:
    // Whether the interposer offers the fault.
    static bool available() { return arm_fn() != nullptr && count_fn() != nullptr; }
    // The n-th call from now fails with err; err 0: SIGKILL before it.
    // With sticky every later call fails too. n 0 disarms.
    static bool arm(long n, int err, bool sticky = false)
    {
        auto f = arm_fn();
        if (!f)
            return false;
        f(n, err, sticky ? 1 : 0);
        return true;
    }
    static void disarm() { arm(0, 0); }
    // Calls counted since arming; *struck whether the fault struck.
    static long count(bool *struck = nullptr)
    {
        auto f = count_fn();
        int s = 0;
        long n = f ? f(&s) : -1;
        if (struck)
            *struck = s != 0;
        return n;
    }

private:
    using arm_type = void (*)(long, int, int);
    using count_type = long (*)(int *);
    static arm_type arm_fn()
    {
        return reinterpret_cast<arm_type>(::dlsym(RTLD_DEFAULT, "ks_sim_call_fault"));
    }
    static count_type count_fn()
    {
        return reinterpret_cast<count_type>(::dlsym(RTLD_DEFAULT, "ks_sim_call_fault_count"));
    }
};

}  // namespace ks_sim::testing
