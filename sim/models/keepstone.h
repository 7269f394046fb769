// The kernel integrity module's securityfs directory
// "/sys/kernel/security/keepstone": what it received, as ks-sim and the
// tests read it back.
#pragma once

#include <string>
#include <vector>

namespace ks_sim {

// One event of the module's log, in the order the module saw them.
struct keepstone_event {
    char op;           // 'O' open, 'R' open refused, 'W' write taken, 'X' write refused,
                       // 'C' close
    std::string file;  // "hashlist", "modlist", "flush", "enforce", "enabled", "devorig"
    std::string data;  // open flags or close result as decimal text; the written bytes
};

// Reads the module's log of this boot from the given record file
// (run_path("keepstone") by default). 0 or -errno.
int read_keepstone_log(std::vector<keepstone_event> &out, const std::string &file = "");

// The bytes of the writes the module took for one of its files ("W"
// events), in order: what reached the kernel through that file.
std::vector<std::string> keepstone_writes(const std::vector<keepstone_event> &events,
                                          const std::string &file);

// Whether bytes written to the file are in the file's format; *why tells
// what is wrong. Used by the model to refuse malformed writes.
bool keepstone_valid(const std::string &file, const std::string &data, std::string *why);

// One event as a line of text: hash records and module hashes decoded.
std::string keepstone_describe(const keepstone_event &e);
// Bytes as lower-case hex digits.
std::string hex_text(const std::string &bytes);

}  // namespace ks_sim
