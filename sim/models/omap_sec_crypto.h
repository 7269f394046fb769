// What the simulated secure side computes for its file-protection services,
// under a device key and a program id: a 20-byte MAC (HMAC-SHA1) and an
// authenticated encryption whose output has the length the client expects
// (16-byte nonce, the data padded with zeros to whole 16-byte blocks and
// masked with an HMAC-SHA1 key stream, a 16-byte tag of 12 MAC bytes and
// the data length). Nothing here claims to be what a real device does; it
// only has to be keyed, deterministic and tamper-evident, and to need no
// library in the interposer.
#pragma once

#include <cstdint>
#include <string>

namespace ks_sim {

std::string omap_sec_sha1(const std::string &data);
std::string omap_sec_hmac_sha1(const std::string &key, const std::string &data);

// The MAC of data under the program id's key.
std::string omap_sec_mac(const std::string &device_key, const std::string &id,
                         const std::string &data);
// The protected form of data: 16 + roundup16(size) + 16 bytes.
std::string omap_sec_seal(const std::string &device_key, const std::string &id,
                          const std::string &nonce16, const std::string &data);
// The data (padded to whole blocks) of a protected form made under the
// same id, and its original length in *length; false when the form was
// made under another key or id, or was changed.
bool omap_sec_open_sealed(const std::string &device_key, const std::string &id,
                          const std::string &sealed, std::string &data, uint32_t *length);

}  // namespace ks_sim
