#include "init/pending.h"

#include "init/log.h"

#include <cstdlib>

// ---- load_rd_certificate: the certificate import fails.
int load_rd_certificate()
{
    return -1;
}

// ---- get_vdata_hash: the software certificate cannot be read.
int get_vdata_hash(uint8_t *)
{
    return -1;
}
