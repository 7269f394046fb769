// Device models of the simulated platform.
//
// The interposer (libkeepstone-sim.so, loaded with LD_PRELOAD inside the
// sandbox) asks every registered model whether it serves a path that a
// program opens. A model that does returns a file object; the interposer
// hands the program a real descriptor (a memfd) and routes read, write,
// lseek, ioctl and close on that descriptor, and stdio streams opened on
// the path, to the file object. Everything else goes to the C library.
//
// Models keep their state in files of the state directory, so that several
// processes and several boots of one device see one device. A model
// locks its state file with flock while it changes it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ks_sim {

// One open of a simulated path. Results follow the system calls: a count
// or 0 on success, -errno on failure (the interposer sets errno).
class open_file {
public:
    virtual ~open_file() = default;
    virtual ssize_t read(void *buf, size_t len);
    virtual ssize_t write(const void *buf, size_t len);
    virtual off_t lseek(off_t offset, int whence);
    // arg is the third argument of ioctl as the program passed it: a
    // pointer for most requests, a plain number for some.
    virtual int ioctl(unsigned long request, void *arg);
    // Called once at the last close of the descriptor; a model may refuse
    // here (the program sees close fail).
    virtual int close();
    // A model whose data the program maps (the framebuffer) returns a real
    // descriptor for it here; mmap and fstat then go to that descriptor.
    // -1 when there is none.
    virtual int backing_fd() const { return -1; }
};

class model {
public:
    virtual ~model() = default;
    // Name used in the state directory and by ks-sim.
    virtual const char *name() const = 0;
    // Whether this model serves the absolute path.
    virtual bool serves(std::string_view path) const = 0;
    // Opens the path. Null with errno set when the open is refused.
    virtual std::unique_ptr<open_file> open(const std::string &path, int flags,
                                            mode_t mode) = 0;
};

// Registers a model for the life of the process; models register
// themselves from a static object in their own source file.
void register_model(model *m);

// Finds the model serving a path, or null. Asking allocates nothing, so
// that the paths no model serves cost the program no memory.
model *find_model(std::string_view path);

// Directory holding the device state: $KS_SIM_STATE, else "/.ks-sim"
// (inside the sandbox's device root).
std::string state_dir();
// state_dir() + "/" + name.
std::string state_path(const std::string &name);

// Appends one record to a state file, in one write on a descriptor opened
// with O_APPEND (records of several processes never interleave). Records
// are length-prefixed (32-bit little-endian length, then the bytes), so
// binary writes keep their boundaries. Returns 0 or -errno.
// An absolute file name costs no allocation.
int append_record(std::string_view file, const void *data, size_t len);
// Reads every record of a state file in order.
int read_records(const std::string &file, std::vector<std::string> &out);

// Fault injection: a model asks whether the named fault is armed
// (state file "faults", lines "NAME" or "NAME=VALUE"); ks-sim and the test
// library arm and disarm them. Returns the value (1 when none) or 0 when
// the fault is not armed.
long fault(const std::string &name);

// --- Additions used by the models and tools of sim/ ---------------------

// Per-boot state: state_dir() + "/run/" + name. The sandbox empties the
// run directory at every start (every boot), like the kernel forgetting
// what it was given; persistent device state stays in state_dir().
std::string run_path(const std::string &name);

// The file names given to append_record and read_records may be absolute
// paths or names relative to state_dir().

// Reads or replaces a whole state file (under flock). read_state gives
// -ENOENT when the file does not exist.
int read_state(const std::string &file, std::string &out);
int write_state(const std::string &file, const std::string &data);

// Adds one to a per-boot counter kept in run_path("counters") and returns
// the new value (1 on the first call of a boot); -errno on failure.
// Models use it for faults such as "fail the n-th write".
long bump_counter(const std::string &name);

// Whether a placeholder stands at the path (lstat succeeds). A model whose
// device file the sandbox puts in place refuses an open with ENOENT when
// a test has removed the placeholder, as a missing kernel file would.
bool placeholder_exists(const std::string &path);

// Extended attributes: a handler serves attribute names for every path
// (getxattr/setxattr/fgetxattr/fsetxattr); results as the system calls,
// negative errno on failure.
class xattr_handler {
public:
    virtual ~xattr_handler() = default;
    virtual bool serves(std::string_view name) const = 0;
    virtual ssize_t get(const std::string &path, const std::string &name, void *value,
                        size_t size) = 0;
    virtual int set(const std::string &path, const std::string &name, const void *value,
                    size_t size, int flags) = 0;
};
void register_xattr_handler(xattr_handler *h);
xattr_handler *find_xattr_handler(std::string_view name);

// ks-sim subcommands a model adds (ks-sim NAME ARGS...). The command
// reads or prepares the state of the device whose state directory is
// state_dir() (ks-sim sets KS_SIM_STATE) and prints to out; it returns the
// exit status.
using command_fn = int (*)(const std::vector<std::string> &args, FILE *out);
void register_command(const char *name, const char *help, command_fn fn);
struct command_info {
    const char *name;
    const char *help;
    command_fn fn;
};
const std::vector<command_info> &commands();

// Helper for the static registration objects of sim/models/<name>.cpp.
// The model lives until the process ends (it is never destroyed), so that
// opens made while the process exits (by exit handlers, by the sanitizers'
// reports) still find it whole.
template <class M>
struct model_registration {
    M &instance;
    model_registration() : instance(*new M) { register_model(&instance); }
};

}  // namespace ks_sim
