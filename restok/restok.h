// Resource-token policy library: token requests to the kernel's
// resource-token module and the token manager start.
//
// Every request opens "/sys/kernel/security/restok/tokens" read-only, sends
// one ioctl with a record of three 32-bit words and closes the file again;
// no descriptor is kept. A tokens file that cannot be opened makes the
// request answer -1, whatever errno says.
#pragma once

#include <cstdint>

// Path of the token module's request file.
extern const char RESTOK_TOKENS_PATH[];

// Request numbers on the tokens file.
enum : unsigned long {
    RESTOK_LOOKUP = 0x89F0,
    RESTOK_DEFINE = 0x89F1,
    RESTOK_REQUEST_89F2 = 0x89F2,
    RESTOK_BE_MANAGER = 0x89F3,
};

// The record passed by pointer to ioctl. In the device's 32-bit layout the
// three fields are 32-bit words (12 bytes); the third field carries a
// pointer to the name, so on a 64-bit host it is pointer-sized.
struct restok_token_request {
    int32_t id;        // owner id, the credential value, or the first argument
    int32_t length;    // name length, or the third argument
    uintptr_t data;    // pointer to the name, or the second argument
};
#if defined(__arm__)
static_assert(sizeof(restok_token_request) == 12, "kernel record layout");
#endif

// Credential type of supplementary groups ("GRP::" translated), set before
// main runs; -1 when the text cannot be translated.
extern int restok_grp_type;

// Id of the token name, as the kernel answers lookup; -1 for a null name.
int restok_lookup(const char *name);
// Defines the name inside the token owner (0: top level); the kernel answers
// the new or existing id (> 0), 0 or negative for failure; -1 for a null
// name.
int restok_define(const char *name, int owner);
// Sends request 0x89F2 with the words (first, third, second).
int restok_request_89f2(int32_t first, int32_t second, int32_t third);
// Registers the caller as token manager with its "tcb" credential value;
// the kernel answers 0 on success.
int restok_register_manager(int value);
// Makes the calling process the token manager holding the credential of
// "tcb": 0, or a negative value (-22 when "tcb" has no credential).
int restok_be_manager();
