// The factory's software certificate for the simulated device, made by the
// tools that play the factory (make_sample_device, ks-sim sw-cert): the
// header fields the boot prints, the named SHA-1 entries, and the MAC of
// the manufacturer's key that the simulated secure side checks at the
// import (service 83). The key never leaves the simulator's library: the
// signing is asked of the simulator loaded into the process.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace ks_sim {

struct sw_cert_entry {
    std::string name;         // at most 11 characters
    unsigned char sha1[20];
};

inline void sw_cert_put_u32(std::string &block, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        block[offset + size_t(i)] = char(value >> (8 * i));
}

// A version-3 certificate (header of 1116 bytes, the count at 1112) with
// the entries in their order; unsigned.
inline std::string sw_cert_build(const std::vector<sw_cert_entry> &entries)
{
    std::string c(1116, '\0');
    sw_cert_put_u32(c, 0, 0x53574331);    // magic
    sw_cert_put_u32(c, 4, 1);             // key index
    sw_cert_put_u32(c, 24, 1116);         // header size
    sw_cert_put_u32(c, 340, 3);           // header version
    sw_cert_put_u32(c, 344, 0x56444154);  // sub magic
    sw_cert_put_u32(c, 976, 3);           // certificate version
    sw_cert_put_u32(c, 980, 1796860800);  // timestamp
    sw_cert_put_u32(c, 1112, uint32_t(entries.size()));
    for (const sw_cert_entry &e : entries) {
        std::string entry(32, '\0');
        memcpy(&entry[0], e.name.data(), e.name.size() < 11 ? e.name.size() : 11);
        memcpy(&entry[12], e.sha1, 20);
        c += entry;
    }
    return c;
}

// Signs the certificate with the manufacturer's key through the simulator
// of this process; false off the simulated device or when the key cannot
// be had.
inline bool sw_cert_sign(std::string &cert)
{
    using sign_fn = int (*)(uint8_t *, uint32_t);
    void *sym = dlsym(RTLD_DEFAULT, "ks_sim_sign_sw_cert");
    if (!sym)
        return false;
    sign_fn sign = reinterpret_cast<sign_fn>(sym);
    return sign(reinterpret_cast<uint8_t *>(&cert[0]), uint32_t(cert.size())) == 0;
}

}  // namespace ks_sim
