#include "init/masks.h"

#include <gtest/gtest.h>

namespace {

TEST(Masks, SourceByPrecedence)
{
    struct row {
        int initrd;
        bool developer;
        int rd;
        mask_source source;
    } rows[] = {
        {1, true, 1, MASKS_INITRD},     {1, false, 0, MASKS_INITRD},
        {0, true, 1, MASKS_DEVELOPER},  {0, true, 0, MASKS_DEVELOPER},
        {0, false, 1, MASKS_RD},        {0, false, 0, MASKS_PLAIN},
    };
    for (const row &r : rows)
        EXPECT_EQ(choose_mask_source(r.initrd, r.developer, r.rd), r.source)
            << r.initrd << r.developer << r.rd;
}

TEST(Masks, DeveloperRelaxesOnlyForOne)
{
    struct row {
        uint32_t relaxed;
        int enabled;
    } rows[] = {{0, 0x1c7}, {1, 0x1e7}, {2, 0x1c7}, {0xffffffffu, 0x1c7}};
    for (const row &r : rows) {
        enforcement_masks m = developer_masks(r.relaxed);
        EXPECT_EQ(m.enforce_mask, 7);
        EXPECT_EQ(m.enabled_mask, r.enabled) << r.relaxed;
    }
}

TEST(Masks, RdValuesAndDefaults)
{
    struct row {
        int load_result, enable, enforce;
        int enforce_mask, enabled_mask;
    } rows[] = {
        {0, -1, -1, 7, 0x147},   // both files absent, or ffffffff
        {0, 0, 0, 0, 0},         // files holding 0 write 0
        {0, 0x1ff, -1, 7, 0x1ff},
        {0, -1, 3, 3, 0x147},
        {-12, 0, 0, 7, 0x147},   // the paths could not be built
    };
    for (const row &r : rows) {
        enforcement_masks m = rd_masks(r.load_result, r.enable, r.enforce);
        EXPECT_EQ(m.enforce_mask, r.enforce_mask);
        EXPECT_EQ(m.enabled_mask, r.enabled_mask);
    }
}

}  // namespace
