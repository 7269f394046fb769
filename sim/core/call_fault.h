// The call fault of a process: its n-th file-system call (counted from
// the moment the fault is armed) fails with a chosen errno, or the process
// is killed with SIGKILL just before it. Armed with KS_SIM_CALL_FAULT
// ("N:ENOSPC", "N:EIO", "N:KILL" or "N:<errno number>") when the process
// starts, or at any time with ks_sim_call_fault() (found with dlsym; see
// sim/testing/call_fault.h). Only the program's own calls on real files
// count: neither the calls the simulator makes for its models nor the
// calls on simulated device files.
#pragma once

namespace ks_sim::call_fault {

// Counts one file-system call of the program (named for the record) and
// tells whether it must fail: true with errno set. When the fault kills,
// the process does not return from here.
bool refuse(const char *call);

}  // namespace ks_sim::call_fault
