// State files a process keeps open between simulated requests.
//
// A model records, counts and looks things up on every request; opening
// and closing its state files each time is most of what such a request
// costs. A kept file stays open (O_CLOEXEC) for the life of the process and
// is checked before each use: one whose name was removed or replaced (a new
// boot emptied run/, a test deleted the file) is opened again by name, so
// the process never records into a file nobody can see. (A file moved
// away to another name still has a name and stays the one kept.) After fork the
// child reopens its own: flock locks belong to the open file description,
// which a child must not share with its parent. A child made by a bare
// clone system call runs no fork handlers; a use that takes flock locks
// asks for a description of this very process (locking) and pays one
// getpid for it.
#pragma once

#include <string>
#include <string_view>
#include <sys/stat.h>

namespace ks_sim {

class kept_file;

// Exclusive use of one kept file within the process for the life of the
// object (threads of one process share a descriptor, so flock alone cannot
// keep them apart). Nested uses of different files are fine; a second use
// of the same file from the same thread would wait for itself.
class kept_use {
public:
    // flags as for open(2); O_CREAT makes the missing directories above
    // the path too. O_CLOEXEC is always added. locking: the caller will
    // flock the descriptor. Only the first use of a file allocates (its
    // entry in the process's table).
    kept_use(std::string_view path, int flags, bool locking = false);
    ~kept_use();
    kept_use(const kept_use &) = delete;
    kept_use &operator=(const kept_use &) = delete;

    // The open descriptor, or -errno when the file cannot be opened.
    int fd() const { return fd_; }
    // The status fstat gave when the descriptor was checked.
    const struct stat &status() const { return st_; }

private:
    kept_file *file_;
    int fd_;
    struct stat st_ {};
};

}  // namespace ks_sim
