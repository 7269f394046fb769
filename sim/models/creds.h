// The credentials module behind "/sys/kernel/security/creds/read" and the
// object-policy module behind "/sys/kernel/security/credp/policy".
//
// Credentials module, ioctl with a pointer to the request records of
// creds/creds.h:
//   0x89F0 {pid, room, list}: the credentials of a process (0 = caller) as
//          set words {UID, GID, GRP..., CAP bitmap, kernel-defined entries};
//          answers the words needed and writes them while they fit room;
//          ESRCH for an unknown process
//   0x89F3 {fd, room, list}: the same for the peer of a connected socket
//   0x89F1 {type, size, &value, buf}: value to text for capabilities (by
//          name 0-33, else by number) and application ids (type 4,
//          "AID::"); the text is copied without a
//          terminator, answer its length; ENOENT for anything else
//   0x89F2 {-1, length, &value, text}: text to value: "CAP::" and a
//          capability name, "AID::" and a name (a new name gets the next
//          value, from 1), a resource-token name of the token tree
//          ("a::b" for token b inside a) or "GRP::" and one, which is the
//          supplementary-group credential (3, id); ENOENT for anything else
// A process starts from its effective uid and gid, supplementary groups
// and effective capabilities; a set applied through the policy module
// replaces ("set") or extends ("add") it, and the token manager holds the
// "tcb" credential (3, id) given by the resource-token module.
//
// Object-policy module, ioctl with a pointer to credp_policy_request:
//   0x89F0 define, 0x89F1, 0x89F2 name requests, 0x89F3 apply to the
//   caller, 0x89F5 policy request: every request is recorded; answers 0,
//   EINVAL for a malformed record (name over 4096 bytes, negative or huge
//   count, words that do not form whole entries), EFAULT for a missing
//   name or list, ENOTTY for other commands.
//
// Per-boot state files (run_path):
//   "creds.tasks"     one record per applied set: "PID W1 W2 ..." (hex words)
//   "creds.names"     one record per kernel-defined name: "TYPE NAME"
//   "creds.requests"  one record per credentials request, e.g.
//                     "0x89F0 PID ROOM = ANSWER", "0x89F2 -1 LEN TEXT = 4 7"
//   "credp.requests"  one record per policy request:
//                     "0x89F0 flags=0x19 name=LEN:NAME count=N words=W1,W2 = 0"
//
// Faults ("faults" state file):
//   creds.open=ERRNO   opening the credentials file fails (default ENOENT)
//   creds.pad=N        every process answer carries N more words (an entry
//                      of type 0x7FFF), so it outgrows the first room
//   creds.unfit        every process answer is one word more than the room
//   creds.broken       every process answer ends in a header whose value
//                      lies past the answer
//   credp.open=ERRNO   opening the policy file fails (default ENOENT)
//   credp.fail=ERRNO   every policy request fails with ERRNO
//   credp.no_89f5      the policy request 0x89F5 is unknown (ENOTTY)
// Removing a placeholder file in the sandbox makes its open fail with
// ENOENT, as on a kernel without the module.
#pragma once

#include "sim/model.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ks_sim {

constexpr const char CREDS_READ_FILE[] = "/sys/kernel/security/creds/read";
constexpr const char CREDP_POLICY_FILE[] = "/sys/kernel/security/credp/policy";
constexpr const char CREDS_TASKS_STATE[] = "creds.tasks";
constexpr const char CREDS_NAMES_STATE[] = "creds.names";
constexpr const char CREDS_REQUESTS_STATE[] = "creds.requests";
constexpr const char CREDP_REQUESTS_STATE[] = "credp.requests";

// Open files of the two modules, without the checks of their open (faults,
// placeholder); for driving the modules directly.
std::unique_ptr<open_file> creds_read_file();
std::unique_ptr<open_file> credp_policy_file();

// Credential words of a process as the module answers them; false when
// the process is unknown.
bool creds_task_words(pid_t pid, std::vector<uint32_t> &words);
// Records the set a process now holds.
int creds_store_task(pid_t pid, const std::vector<uint32_t> &words);
// Whether words form whole entries (header count in the high 16 bits).
bool creds_whole_entries(const uint32_t *words, size_t count);
// Merges the entries of add into words: ids replaced, groups and
// capability bits joined, kernel-defined entries appended when new.
void creds_merge_words(std::vector<uint32_t> &words, const std::vector<uint32_t> &add);

}  // namespace ks_sim
