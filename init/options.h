// Command line of the boot program.
#pragma once

// Option state, set by parse_options and read by the boot sequence.
extern int no_flush;            // -n: the verification cache is not flushed
extern char *hashlist_path;     // -s argument, else the kernel's "hashlist" file
extern int initrd_mode;         // -i
extern char *first_argument;    // first non-option argument, or null
extern int flush_cache;         // the first non-option argument is exactly "/"
extern int developer_mode;      // developer-mode settings were loaded

// Parses "hins:" and the long forms --help, --initrd, --no-flush and
// --sha1file. Unknown options are skipped. Returns 1 right after printing
// the usage text for -h, else 0.
int parse_options(int argc, char **argv);

// Frees hashlist_path and first_argument and forgets them.
void free_options();
