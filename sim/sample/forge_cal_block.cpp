// The attacker's tool of the tamper test: writes a configuration-area block
// from a file with the configuration-area library alone, as someone holding
// only the device's flash could (no key, no import to the secure side).
//
//   forge_cal_block NAME FILE
#include "cal/cal.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: forge_cal_block NAME FILE\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in) {
        fprintf(stderr, "forge_cal_block: cannot read %s\n", argv[2]);
        return 1;
    }
    std::string data = text.str();
    cal_context *ctx = nullptr;
    if (cal_init_rw(&ctx) != 0) {
        fprintf(stderr, "forge_cal_block: no configuration area\n");
        return 1;
    }
    int r = cal_write_block(ctx, argv[1], reinterpret_cast<const unsigned char *>(data.data()),
                            uint32_t(data.size()), 0);
    cal_release(ctx);
    if (r != 0) {
        fprintf(stderr, "forge_cal_block: cannot write %s (%d)\n", argv[1], r);
        return 1;
    }
    return 0;
}
