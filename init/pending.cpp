#include "init/pending.h"

#include "init/log.h"

#include <cstdlib>

// ---- get_vdata_hash: the software certificate cannot be read.
int get_vdata_hash(uint8_t *)
{
    return -1;
}
