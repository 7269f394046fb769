// Test helper: runs a block without CAP_DAC_OVERRIDE in the effective set
// (it stays permitted and comes back at the end), so that permission bits
// count for a root test process.
#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

class without_override {
public:
    without_override() { set(false); }
    ~without_override() { set(true); }
    without_override(const without_override &) = delete;
    without_override &operator=(const without_override &) = delete;

private:
    static void set(bool on)
    {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        syscall(SYS_capget, &header, data);
        if (on)
            data[0].effective |= 1u << CAP_DAC_OVERRIDE;
        else
            data[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        syscall(SYS_capset, &header, data);
    }
};
