// Steps of the boot sequence whose services are still being built. Each
// answers as its service does when that service is absent: the hardware
// cannot be opened, nothing verifies, no list can be opened. A step's block
// goes away when the real step lands.
#pragma once

#include <cstddef>
#include <cstdint>

// Security hardware start-up.
int load_rd_certificate();

// Security policy start-up.
int load_security_policy();

// Developer-mode settings.
struct developer_settings {
    uint32_t relaxed_exec_validation;
    char *developer_origin;
};
int developer_mode_load_settings(developer_settings **out);
void free_developer_settings(developer_settings *settings);

// Data-file verification and the software certificate.
int get_vdata_hash(uint8_t hash[20]);
int verify_file_signature(const char *path);
int check_file_sha1(const char *path, const uint8_t hash[20]);

// dpkg wrapper journal.
class Journal {
public:
    virtual ~Journal() = default;
    // The authenticated records and their length, or null with length 0.
    virtual const unsigned char *open(uint32_t *length) = 0;
};
Journal *create_journal(const char *path, const char *token);
