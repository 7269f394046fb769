// Test stand-in for the crypto services that protected storage calls: a
// test program that links test_crypto.cpp gets these definitions in place
// of the crypto library's (the program's own symbols come first). MACs are
// SHA-1 over the token and the data, encryption is a reversible scramble
// bound to the token, and the vdata file is a map in memory.
#pragma once

#include <map>
#include <string>

namespace fake_crypto {

extern int hw_mode;               // what tarvo_crypto_hw_mode answers (default 1)
extern bool fail_init;            // tarvo_crypto_init answers 0
extern bool fail_sign;            // tarvo_crypto_sign fails
extern bool verify_no_verdict;    // tarvo_crypto_verify gives no verdict (3)
extern bool fail_symkey;          // tarvo_crypto_generate_symkey fails
extern bool fail_save_global;     // save_global_signature records nothing
extern std::string application_id;            // process_application_id's answer
extern std::map<std::string, std::string> vdata;  // path -> hex SHA-1 recorded
extern int save_global_calls;

void reset();
// The MAC the stand-in makes of data under a token.
std::string mac(const std::string &token, const std::string &data);
// The signature text the stand-in makes of a hash text under a token, spelt
// out as a store index holds it: "b-", the MAC in base64, "-", the token.
std::string signature_text(const std::string &token, const std::string &hash_text);

}  // namespace fake_crypto
