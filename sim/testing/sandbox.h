// Test helpers for the simulated platform.
//
// On the host: a `device` is a device root in a temporary directory; a
// test prepares its files, runs commands on it in the sandbox (each run a
// boot unless asked otherwise), arms faults and reads what the models
// recorded. Inside the sandbox (tests registered with ks_test(... SANDBOX)),
// the functions of sim/model.h and read_keepstone_log read the state of the
// running device directly.
#pragma once

#include "sim/model.h"
#include "sim/models/keepstone.h"

#include <string>
#include <vector>

namespace ks_sim::testing {

struct run_result {
    int status = -1;     // exit status, or 128 + signal
    std::string output;  // standard output and standard error together
};

struct run_options {
    bool same_boot = false;  // continue the last boot
    bool mount_var = false;  // /var already mounted
    double sleep_scale = 0;  // sleeps inside return at once by default
};

class device {
public:
    // A new device; with an image, its files are copied in at the first run.
    explicit device(const std::string &image = "");
    ~device();
    device(const device &) = delete;
    device &operator=(const device &) = delete;

    const std::string &root() const { return root_; }
    std::string state_dir() const { return root_ + "/.ks-sim"; }
    // A path of the device as the host sees it.
    std::string host_path(const std::string &device_path) const { return root_ + device_path; }

    // Runs a program (found by the sandbox) with its arguments on the device.
    run_result run(const std::vector<std::string> &argv, const run_options &opt = {}) const;
    // Runs a shell script (/bin/sh -c) on the device.
    run_result shell(const std::string &script, const run_options &opt = {}) const;

    // Files of the device (created with their directories).
    void write_file(const std::string &device_path, const std::string &content) const;
    std::string read_file(const std::string &device_path) const;

    // Faults of the models ("faults" state file).
    void arm_fault(const std::string &name, long value = 0) const;
    void disarm_fault(const std::string &name) const;

    // What the models recorded in the last boot.
    std::vector<keepstone_event> kernel_log() const;
    std::vector<std::string> run_records(const std::string &name) const;

private:
    std::string root_;
    std::string image_;
};

// The sandbox program of this build.
const char *sandbox_program();

}  // namespace ks_sim::testing
