// Crypto services: signing, verification and encryption of data under a
// token, random bytes, digests, the signature text and the application id.
//
// A token names the resource token whose key context the security hardware
// uses; a token of null stands for the calling process's application id.
// Every operation but the digest helpers, tarvo_crypto_release,
// process_application_id and tarvo_crypto_symkey_length first makes sure
// that the services are set up for the calling process: a forked child
// closes its inherited hardware descriptor and sets itself up anew.
//
// Failures are reported on the error-log line under the source name
// "tarvo_crypto".
#pragma once

#include <cstddef>
#include <cstdint>

// Byte length of a signature (a hardware MAC) and of a SHA-1 digest.
#define TARVO_CRYPTO_SIGNATURE_LENGTH 20
// Largest input handed to one hardware request; larger data are signed
// and checked through their SHA-1, and refused by encryption.
#define TARVO_CRYPTO_MAX_DATA 4050

// ---- set-up and state ----

// 1 when the services are set up, with or without usable hardware; 0 when
// "/var/lib/tarvo" is missing and cannot be created.
int tarvo_crypto_init();
// Closes the hardware and forgets the process's set-up; registered with
// atexit by the set-up that opened the hardware.
void tarvo_crypto_cleanup();
// A short description of the last failure; not owned by the caller.
const char *tarvo_crypto_last_error_text();
// 3 when the security hardware cannot be used, 1 for hardware mode 1, 0
// otherwise.
int tarvo_crypto_hw_mode();
// 32: the byte length of a key from tarvo_crypto_generate_symkey.
int tarvo_crypto_symkey_length();

// ---- data under a token ----

// length when the buffer was filled with random bytes, -1 otherwise.
int tarvo_crypto_random(unsigned char *buffer, int length);
// 32 or -1. *key receives a new 32-byte block locked in memory, also when
// the random bytes could not be had; the caller wipes it and releases it
// with tarvo_crypto_release.
int tarvo_crypto_generate_symkey(unsigned char **key);
// 0 success (*ciphertext allocated, released with tarvo_crypto_release), 1
// failure (errno EINVAL for a refused argument; input over
// TARVO_CRYPTO_MAX_DATA bytes is refused). Decryption takes back every
// ciphertext that encryption makes (up to 4096 bytes).
int tarvo_crypto_encrypt(const unsigned char *plaintext, size_t size, const char *token,
                         unsigned char **ciphertext, uint32_t *result_size);
int tarvo_crypto_decrypt(const unsigned char *ciphertext, size_t size, const char *token,
                         unsigned char **plaintext, uint32_t *result_size);
// 0 with the 20-byte signature of the data, 1 failure (EACCES when the
// hardware refused the MAC).
int tarvo_crypto_sign(const unsigned char *data, size_t size, const char *token,
                      unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH]);
// 0 when the hardware gave a verdict, stored in *result (may be null): 1
// valid, 0 not valid. 3 when there is no verdict.
int tarvo_crypto_verify(const unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH],
                        const char *token, const unsigned char *data, size_t size,
                        int *result);
// Frees a buffer that the services returned; always 0.
int tarvo_crypto_release(void *buffer);

// ---- digests and file mappings ----

// 1 with the SHA-1 of the bytes in out, 0 on failure.
int digest_of_buffer(const void *data, size_t length, unsigned char out[20]);
// Maps a whole file read-only (descriptor left open in *descriptor, size in
// *length), or, without a path, *length bytes of anonymous writable memory
// (descriptor -1). Null on failure; an empty file is refused.
void *map_file(const char *path, int *descriptor, uint32_t *length);
// Releases what map_file made.
void unmap_file(void *address, uint32_t length, int descriptor);
// 1 with the SHA-1 of the whole file, 0 on failure.
int digest_of_file(const char *path, unsigned char out[20]);

// ---- signature text and application id ----

// *out = the application id of the process (0: the caller): its first
// "AID::*" credential text with '/' turned into '.', at most 511
// characters, else "unknown.unknown.". A new allocation the caller frees.
void process_application_id(int pid, char **out);
// *out = a new "b-BASE64-TOKEN" (format 1) or "x-HEX-TOKEN" (any other
// format) text; the token defaults to the caller's application id. The
// text's length, or -1 (errno EINVAL) for a missing argument.
int tarvo_crypto_format_signature(const unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH],
                                  int format, const char *token, char **out);
// 0 when the text is well formed, with the signature bytes and, when the
// text carries one, a new copy of the token (up to the first line break) in
// *token; otherwise *token is left as it was. 1 for a malformed text.
int tarvo_crypto_parse_signature(const char *text,
                                 unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH],
                                 char **token);
// *out = a new copy of "unknown.unknown."; the first argument is not used.
void tarvo_crypto_unknown_application_id(const void *unused, char **out);

// ---- file signatures ----

// Makes the file a member of the signed store "files." + token (the token
// defaults to the application id), with data as its new content when
// given (written to a temporary file that then replaces the path), and
// commits the store. Without usable hardware the hash is recorded in the
// vdata file instead and the file is not written. 0 signed, 1 failure
// (EACCES when the caller does not hold the token).
int tarvo_crypto_sign_file(const char *path, const unsigned char *data, size_t size,
                           const char *token);
// Checks the file (or data as its content) against the store "files." +
// token, or, when that store does not list it, against the vdata file. 0
// verified; 1 path or token missing; 2 no signature for the file, or the
// store belongs to another token; 3 the content does not match.
int tarvo_crypto_verify_file(const char *path, const unsigned char *data, size_t size,
                             const char *token);

// 0 when the protected file system's answer to a challenge on the file
// could be checked, with the verdict in *result (1 valid, 0 not valid); 1
// otherwise, with errno set.
int tarvo_crypto_tarvofs_challenge(const char *path, int *result);

// ---- device invariants ----

// For 0 the device's IMEI (15 digits; "12345678901234" when it cannot be
// read), for anything else "". The text belongs to the services and stays
// valid until process exit.
const char *tarvo_crypto_sysinvariant(int which);
