#include "init/masks.h"

mask_source choose_mask_source(int initrd_mode, bool developer_loaded, int rd_mode)
{
    if (initrd_mode)
        return MASKS_INITRD;
    if (developer_loaded)
        return MASKS_DEVELOPER;
    if (rd_mode)
        return MASKS_RD;
    return MASKS_PLAIN;
}

enforcement_masks developer_masks(uint32_t relaxed_exec_validation)
{
    return {DEFAULT_ENFORCE_MASK,
            relaxed_exec_validation == 1 ? RELAXED_ENABLED_MASK : DEFAULT_ENABLED_MASK};
}

enforcement_masks rd_masks(int load_result, int enable, int enforce)
{
    if (load_result != 0)
        return {DEFAULT_ENFORCE_MASK, RD_DEFAULT_ENABLED_MASK};
    return {enforce == -1 ? DEFAULT_ENFORCE_MASK : enforce,
            enable == -1 ? RD_DEFAULT_ENABLED_MASK : enable};
}
