// The secure side behind "/dev/omap_sec": a non-blocking device that takes
// a service selection (ioctl 0x4004B500, the service number by value), the
// announced argument length and the argument writes, runs the service once
// all arguments have arrived and queues its response: the ROM word, the
// PA word (services from 256 up) or a filler word, then the results. A
// read takes at most what is queued; an empty queue gives EAGAIN. Bytes
// left in the queue survive a new selection, so a client that does not
// drain sees them in its next response.
//
// Configuration: state file "omap_sec.conf", lines "key=value":
//   mode=N                 ROM word of service 85 (default 1)
//   rdc0= rdc1= rdc2=      the debug-control words of service 84 (default 0)
//   id=HEX                 the 8 identity bytes of service 86
//                          (default 3521436587092143)
//   random_seed=N          seed of the byte stream of service 80
//   info20=HEX info52=HEX  the answers of services 81 and 577
//   object.ID=HEX          numbered object ID (services 579 and 578)
//   object.ID.length=L     length word service 579 answers for ID (signed)
//   object.ID.size=M       length word service 578 answers before the data
//   device_key=HEX         the device key of the file-protection services
//                          (default: the key in state file "omap_sec.key",
//                          mode 0600, made at its first use and kept with
//                          the device; a key that cannot be read fails the
//                          services with PA 0x02)
//
// Object store and certificates (kept for the boot in run file
// "omap_sec.objects"): service 3 stores an object (length, 16-byte name
// field, data) and answers its handle; 4 reads it (handle, name field:
// length and data), 5 releases it (both answer ROM 0x0A for an unknown
// handle or another name); 496, 576 and 580 import the NPC, CCC
// and HWC certificate stored under a handle (PA 0x22 no such object, 0x1F
// an object of another name, 0x21 an empty one); 83 imports a software
// certificate (length, certificate, 0) only when it carries the MAC of
// the manufacturer's key (below), else it answers ROM 0x0A and records
// nothing. Imports are recorded in run file
// "omap_sec.imports": "NPC HANDLE LENGTH SHA1" or "SW LENGTH SHA1". What a
// request leaves (stored, released, imported) is kept only when its answer,
// injected faults included, is a success.
//
// File protection (896 to 901): arguments id length, id, [name length,
// name], total input length, [second input length], output length, the
// inputs; response: the output, then the result word R. Keys come from the
// device key and the program id (for 900 the name when one is given). 896
// and 897 seal the data (R = output length), 898 opens a sealed form (R =
// the data's length; PA 0x09 when it does not open under the id), 899 and
// 901 answer a 20-byte MAC (R = 20), 900 answers the verdict word 1 (valid)
// or 3 (mismatch) as its 4-byte output. An output length other than the
// service's answers PA 0x06.
//
// Faults ("faults" state file, names "omap_sec.X"):
//   open=ERRNO             both kinds of open fail with ERRNO
//   open_nofollow=ERRNO    only an open with O_NOFOLLOW fails with ERRNO
//   select=ERRNO           the selection fails with ERRNO
//   select_result=N        the selection returns N (> 0) and selects nothing
//   short_write=K          the K-th write of a request (1: the length word)
//                          takes one byte fewer
//   rom=V                  ROM word V (for 85: the mode), filler, no results
//   pa=V                   PA word V (services from 256 up), no results
//   no_second_word         the response ends after the ROM word
//   short_response=K       the last K bytes of the response are missing
//   leftover=K             K bytes 0xEE follow the response
//   result=R               the result word of a file-protection answer is R
//   empty_read_zero        a read of the empty queue returns 0, not EAGAIN
//   service=N              the request faults above apply only to service N
//
// Transcript: every call, one record each in state file
// "omap_sec.transcript": "open rdwr nonblock nofollow" (" = -ERRNO" on
// failure), "select N" (" = R" unless 0), "ioctl 0x..." (other requests),
// "write HEX" (" = R" unless all taken), "read LEN HEX", "read LEN EAGAIN",
// "read LEN EOF", "close"; and "framing N: WHY" when a request breaks the
// service's layout (answered with PA 0x05, or ROM 0x0A below 256).
#pragma once

#include "sim/model.h"

#include <cstdint>
#include <string>

namespace ks_sim {

constexpr const char OMAP_SEC_PATH[] = "/dev/omap_sec";
constexpr const char OMAP_SEC_CONFIG[] = "omap_sec.conf";
constexpr const char OMAP_SEC_TRANSCRIPT[] = "omap_sec.transcript";
constexpr const char OMAP_SEC_RANDOM_COUNTER[] = "omap_sec.random";
constexpr const char OMAP_SEC_KEY[] = "omap_sec.key";
constexpr const char OMAP_SEC_MANUFACTURER_KEY[] = "omap_sec.manufacturer.key";
// Per-boot files (run_path): the object store and the certificate imports.
constexpr const char OMAP_SEC_OBJECTS[] = "omap_sec.objects";
constexpr const char OMAP_SEC_IMPORTS[] = "omap_sec.imports";
constexpr unsigned long OMAP_SEC_SELECT = 0x4004B500UL;
// Second status word of services below 256, which clients must ignore.
constexpr uint32_t OMAP_SEC_FILLER = 0xF1F1F1F1u;
// Status codes the model answers with.
constexpr uint32_t OMAP_SEC_ROM_FAIL = 0x0A;
constexpr uint32_t OMAP_SEC_ROM_NON_SUPPORTED = 0x02;
constexpr uint32_t OMAP_SEC_PA_DEFAULT_FAIL = 0x02;
constexpr uint32_t OMAP_SEC_PA_FUNC_INDEX_FAIL = 0x03;
constexpr uint32_t OMAP_SEC_PA_PARAMETERS_LENGTH_FAIL = 0x05;
constexpr uint32_t OMAP_SEC_PA_RESULTS_LENGTH_FAIL = 0x06;
constexpr uint32_t OMAP_SEC_PA_DECRYPT_FAIL = 0x09;
constexpr uint32_t OMAP_SEC_PA_CERTIFICATE_TYPE_FAIL = 0x1F;
constexpr uint32_t OMAP_SEC_PA_CERTIFICATE_LENGTH_FAIL = 0x21;
constexpr uint32_t OMAP_SEC_PA_CERTIFICATE_MISSING_FAIL = 0x22;

class omap_sec_model : public model {
public:
    const char *name() const override { return "omap_sec"; }
    bool serves(std::string_view path) const override { return path == OMAP_SEC_PATH; }
    // Opens only where the device node (the sandbox's placeholder) stands,
    // for a caller whose effective ids the node's owner and mode grant the
    // access asked for (EACCES otherwise); refuses a symbolic link there
    // when flags hold O_NOFOLLOW.
    std::unique_ptr<open_file> open(const std::string &path, int flags,
                                    mode_t mode) override;
};

// The device key the file-protection services use (see "device_key=HEX"
// above); other models that answer for the device's keys use it too.
std::string omap_sec_device_key();

// The software certificate's signature: a MAC (HMAC-SHA1) under the
// manufacturer's key, kept in state file "omap_sec.manufacturer.key"
// (mode 0600, made at its first use; never a file of the device image),
// over the text "keepstone sw certificate", a zero byte and the whole
// certificate with the MAC field zeroed, so its version, timestamp,
// counts and entries of either layout are covered. The field lies in the
// header bytes that the device's own readers leave alone.
constexpr size_t OMAP_SEC_SW_CERT_MAC_AT = 32;
constexpr size_t OMAP_SEC_SW_CERT_MAC_END = OMAP_SEC_SW_CERT_MAC_AT + 20;
std::string omap_sec_sw_cert_mac(const std::string &key, const std::string &cert);
// Whether the certificate carries the MAC of key.
bool omap_sec_sw_cert_signed(const std::string &key, const std::string &cert);

// The bytes service 80 delivers at stream position [pos, pos + n) for a
// seed: tests compute what the device handed out.
std::string omap_sec_random_bytes(uint64_t seed, uint64_t pos, size_t n);

}  // namespace ks_sim

// Writes the manufacturer's MAC into a software certificate of at least
// OMAP_SEC_SW_CERT_MAC_END bytes: the factory's tools (make_sample_device,
// ks-sim sw-cert) find it in the simulator's library; 0, or -1 when the
// certificate is too short or the key cannot be had.
extern "C" int ks_sim_sign_sw_cert(uint8_t *cert, uint32_t length);
