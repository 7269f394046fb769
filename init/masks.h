// Choice of the two enforcement masks written to the kernel integrity
// module's files "enforce" and "enabled" at the end of the boot.
#pragma once

#include <cstdint>

constexpr int DEFAULT_ENFORCE_MASK = 7;
constexpr int DEFAULT_ENABLED_MASK = 0x1c7;
constexpr int RELAXED_ENABLED_MASK = 0x1e7;
constexpr int RD_DEFAULT_ENABLED_MASK = 0x147;

enum mask_source {
    MASKS_INITRD,     // both 0
    MASKS_DEVELOPER,  // from the developer-mode settings
    MASKS_RD,         // from the R&D value files
    MASKS_PLAIN,      // the defaults
};

struct enforcement_masks {
    int enforce_mask;
    int enabled_mask;
};

// Where the masks come from, in order of precedence: initrd mode, loaded
// developer settings, R&D mode, else the defaults.
mask_source choose_mask_source(int initrd_mode, bool developer_loaded, int rd_mode);

// Masks with developer settings: only relaxed_exec_validation exactly 1
// relaxes the enabled mask.
enforcement_masks developer_masks(uint32_t relaxed_exec_validation);

// Masks in R&D mode from the result of load_keepstone_rd_config and the two
// values it read (preset to -1): a failed load, or a value still at -1,
// gives that mask's R&D default.
enforcement_masks rd_masks(int load_result, int enable, int enforce);
