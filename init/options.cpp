#include "init/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int no_flush;
char *hashlist_path;
int initrd_mode;
char *first_argument;
int flush_cache;
int developer_mode;

namespace {

constexpr const char KERNEL_HASHLIST_PATH[] = "/sys/kernel/security/keepstone/hashlist";

const char USAGE[] =
    "Usage: %s [OPTION]\n"
    "  -h,--help              print help text\n"
    "  -n,--no-flush          do not flush verification cache\n"
    "  -s,--sha1file filename use file as hashlist file\n"
    "  -i,--initrd            initrd mode.\n"
    "The argument / (the root file system) flushes the verification cache (unless -n).\n"
    "-s: the file must exist; it is neither created nor truncated.\n"
    "Exit status: 0 the security hardware was opened (also after the malfunction\n"
    "state), 1 it could not be opened, 255 after -h.\n";

const option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"initrd", no_argument, nullptr, 'i'},
    {"no-flush", no_argument, nullptr, 'n'},
    {"sha1file", required_argument, nullptr, 's'},
    {nullptr, 0, nullptr, 0},
};

void replace_string(char **slot, const char *text)
{
    char *copy = strdup(text);
    if (!copy) {
        perror("keepstone-init");
        exit(1);
    }
    free(*slot);
    *slot = copy;
}

}  // namespace

int parse_options(int argc, char **argv)
{
    optind = 0;  // full re-initialisation of the parser
    bool hashlist_given = false;
    for (;;) {
        int c = getopt_long(argc, argv, "hins:", LONG_OPTIONS, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'h':
            printf(USAGE, argv[0]);
            return 1;
        case 'i':
            initrd_mode = 1;
            break;
        case 'n':
            no_flush = 1;
            break;
        case 's':
            replace_string(&hashlist_path, optarg);
            hashlist_given = true;
            printf("securityfs hashfile in %s\n", hashlist_path);
            break;
        default:
            break;  // unknown option or -s without its argument
        }
    }
    if (!hashlist_given)
        replace_string(&hashlist_path, KERNEL_HASHLIST_PATH);
    if (optind < argc) {
        replace_string(&first_argument, argv[optind]);
        flush_cache = strcmp(first_argument, "/") == 0;
    }
    return 0;
}

void free_options()
{
    free(hashlist_path);
    hashlist_path = nullptr;
    free(first_argument);
    first_argument = nullptr;
}
