// The resource-token module behind "/sys/kernel/security/restok/tokens".
//
// Requests: ioctl with a pointer to {int32 word0, int32 word1, name pointer
// or third word} (the 32-bit device layout; pointer-sized third field on a
// 64-bit host):
//   0x89F0 lookup {0, length, name}: id of the first token with the name
//          (lowest id, any owner); ENOENT when there is none
//   0x89F1 define {owner, length, name}: owner 0 is the top level, else an
//          existing id (ENOENT otherwise); the name under that owner keeps
//          its id, a new one gets the next id (ids start at 1)
//   0x89F2 {a, b, c}: recorded, answers 0
//   0x89F3 manager {value, 0, 0}: 0 when value is the id of a token named
//          "tcb" (EPERM otherwise); the calling process becomes the token
//          manager and holds the credential (GRP type, value)
//

// Per-boot state files (run_path):
//   "restok.tokens"    one record per token: "ID OWNER NAME" (decimal ids,
//                      one space each, the name's bytes to the end)
//   "restok.manager"   one record per registration: "PID VALUE"
//   "restok.requests"  one record per request: "0x89F1 OWNER LENGTH NAME"
//                      (0x89F2: "0x89F2 A B C"; manager "0x89F3 VALUE 0 0")
//                      followed by " = ANSWER"
//
// Faults ("faults" state file):
//   restok.open=ERRNO     opening the tokens file fails with ERRNO
//   restok.root_fails     defining the empty name at top level answers -1
//   restok.root_zero      ... answers 0
//   restok.tcb_fails      defining "tcb" answers -1
//   restok.manager_refuses  the manager request answers -1 (EPERM)
//   restok.new_zero=N     the N-th definition of a new token in this boot
//                         answers 0
//   restok.new_fails=N    ... answers -EINVAL; nothing is defined either way
#pragma once

#include "sim/model.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace ks_sim {

constexpr const char RESTOK_TOKENS_FILE[] = "/sys/kernel/security/restok/tokens";
constexpr const char RESTOK_TOKENS_STATE[] = "restok.tokens";
constexpr const char RESTOK_MANAGER_STATE[] = "restok.manager";
constexpr const char RESTOK_REQUESTS_STATE[] = "restok.requests";

class restok_tokens_model : public model {
public:
    const char *name() const override;
    bool serves(std::string_view path) const override;
    std::unique_ptr<open_file> open(const std::string &path, int flags, mode_t mode) override;
};

struct restok_token {
    long id;
    long owner;
    std::string name;
};

// The token tree as the state directory holds it, in id order.
std::vector<restok_token> restok_tokens();
// Id of the first token with the name, or -1.
long restok_token_id(const std::string &name);
// Id of the first token with the name inside the owner (any owner when
// owner is negative), or -1; from the index the requests use.
long restok_token_in(long owner, const std::string &name);
// The "tcb" credential value granted to the process by its last manager
// registration, or -1 when it never registered.
long restok_manager_value(pid_t pid);

}  // namespace ks_sim
