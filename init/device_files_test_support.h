// Files of a simulated device for the whole-boot tests, made the way its
// secure side protects them under "tcb" for a known device key.
#pragma once

#include "sim/models/omap_sec_crypto.h"

#include <cstdint>
#include <string>

inline std::string unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline std::string le32(uint32_t v)
{
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// A developer-mode settings file with its MAC under "tcb": the entry of
// relaxed exec validation when relaxed is not 0, the origin's when it is
// not empty.
inline std::string developer_file(const std::string &device_key_hex, uint32_t relaxed,
                                  const std::string &origin)
{
    const std::string magic = std::string("tarvo developer modecfg") + char(0x1A);
    std::string entries;
    uint32_t count = 0;
    if (relaxed) {
        entries += le32(1) + le32(23) + le32(4) + "relaxed_exec_validation" + le32(relaxed);
        ++count;
    }
    if (!origin.empty()) {
        entries += le32(0) + le32(16) + le32(uint32_t(origin.size())) + "developer_origin" + origin;
        ++count;
    }
    std::string file = magic + le32(0x01000000) + le32(count) + std::string(20, '\0') + entries;
    std::string mac = ks_sim::omap_sec_mac(unhex(device_key_hex), "tcb", file);
    return file.replace(32, 20, mac);
}
