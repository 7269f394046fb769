// The signature text on arbitrary bytes (inside ks-sandbox: the crypto
// services start on the simulated hardware): a text that parses formats
// back, in its own form ("b-" base64 or "x-" hex) and with its token, to
// the same text up to its first line break, and the formatted text parses
// to the same signature and token. A text without a token formats with a
// given one and parses back to the same signature.
#include "crypto/tarvo_crypto.h"
#include "fuzz/sandbox_guard.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    require_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();  // up to the first NUL, as a C string
    unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH];
    char *token = nullptr;
    if (tarvo_crypto_parse_signature(text.c_str(), signature, &token) != 0) {
        if (token)
            abort();  // a refused text leaves the token as it was
        return 0;
    }
    int format = text[0] == 'b' ? 1 : 0;
    std::string expected = text.substr(0, text.find('\n'));
    if (!token)
        expected += "-t";
    char *formatted = nullptr;
    if (tarvo_crypto_format_signature(signature, format, token ? token : "t", &formatted) < 0)
        abort();
    // Hex digits read in either case and are written in lowercase.
    if (format == 0)
        for (size_t i = 2; i < 2 + 2 * TARVO_CRYPTO_SIGNATURE_LENGTH; i++)
            expected[i] = char(tolower(static_cast<unsigned char>(expected[i])));
    if (expected != formatted)
        abort();
    unsigned char again[TARVO_CRYPTO_SIGNATURE_LENGTH];
    char *token_again = nullptr;
    if (tarvo_crypto_parse_signature(formatted, again, &token_again) != 0 ||
        memcmp(again, signature, sizeof again) != 0 || !token_again ||
        strcmp(token_again, token ? token : "t") != 0)
        abort();
    free(token_again);
    free(formatted);
    free(token);
    return 0;
}
