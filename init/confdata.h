// Configuration-data protection: built-in hash entries for the start-up and
// system directories, and the check of "/etc/init.conf" against the
// reference hash that the entry tree holds for it.
#pragma once

constexpr const char INIT_CONF_PATH[] = "/etc/init.conf";

// Adds the five immutable (d) and seven protected (p) entries of the paths
// that exist; always 0.
int add_protection_entries();
// 0 when "/etc/init.conf" matches its reference hash or the tree holds none
// for it; -1 when it is missing, cannot be hashed or does not match.
int check_init_conf();
