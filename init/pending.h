// Steps of the boot sequence whose services are still being built. Each
// answers as its service does when that service is absent: the hardware
// cannot be opened, nothing verifies, no list can be opened. A step's block
// goes away when the real step lands.
#pragma once

#include <cstddef>
#include <cstdint>

// The software certificate (its reader is still being built).
int get_vdata_hash(uint8_t hash[20]);
