// The application id of a process and the signature text: "b-" and base64
// or "x-" and lowercase hex of the 20 signature bytes, then "-" and the
// token that made the signature.
#include "crypto/crypto_internal.h"
#include "crypto/tarvo_crypto.h"

#include "creds/creds.h"
#include "support/tarvo_common.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char UNKNOWN_APPLICATION_ID[] = "unknown.unknown.";
constexpr const char AID_PREFIX[] = "AID::";
// The longest application id kept, and room for the longest credential
// text (the kernel's texts have a 16-bit length) and its terminator.
constexpr size_t APPLICATION_ID_MAX = 511;
constexpr size_t APPLICATION_ID_ROOM = 65536;

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the 20 bytes of the hex form from p; false at the first pair that
// is not two hex digits (the bytes before it stay in out). Never reads
// past the end of the text.
bool read_hex_signature(const char *&p, unsigned char *out)
{
    for (int i = 0; i < TARVO_CRYPTO_SIGNATURE_LENGTH; i++) {
        int high = hex_value(p[0]);
        if (high < 0)
            return false;
        int low = hex_value(p[1]);
        if (low < 0)
            return false;
        out[i] = (unsigned char)(high << 4 | low);
        p += 2;
    }
    return true;
}

// Whether the text is the one form the writer gives the bytes: a base64
// text that only decodes to them (padding bits set, white space inside)
// is another text for the same signature and is refused.
bool canonical_base64(const std::string &text, const unsigned char *bytes, size_t length)
{
    char *again = base64_encode(bytes, unsigned(length));
    bool same = again && text == again;
    free(again);
    return same;
}

// Reads the base64 form, which runs to the next '-' or the end, from p.
bool read_base64_signature(const char *&p, unsigned char *out)
{
    const char *end = strchr(p, '-');
    if (!end)
        end = p + strlen(p);
    std::string part(p, size_t(end - p));
    unsigned char *bytes = nullptr;
    int n = base64_decode(part.c_str(), &bytes);
    bool ok = n == TARVO_CRYPTO_SIGNATURE_LENGTH &&
              canonical_base64(part, bytes, TARVO_CRYPTO_SIGNATURE_LENGTH);
    if (ok)
        memcpy(out, bytes, TARVO_CRYPTO_SIGNATURE_LENGTH);
    free(bytes);
    p = end;
    return ok;
}

}  // namespace

void process_application_id(int pid, char **out)
{
    if (!out)
        return;
    *out = nullptr;
    creds_handle own = creds_for_task(pid);
    if (own) {
        // The match stops at the first text that does not fit its buffer,
        // matching or not: with room for every text the kernel can give,
        // only a real "AID::" credential is found, and it is then cut
        // after 511 characters.
        std::vector<char> text(APPLICATION_ID_ROOM);
        int n = creds_match(own, "AID::*", text.data(), text.size());
        if (n >= 0 && size_t(n) < text.size() &&
            strncmp(text.data(), AID_PREFIX, strlen(AID_PREFIX)) == 0) {
            text[std::min(size_t(n), APPLICATION_ID_MAX)] = '\0';
            for (char *c = text.data(); *c; c++)
                if (*c == '/')
                    *c = '.';
            *out = strdup(text.data());
        }
        creds_release(own);
    }
    if (!*out)
        *out = strdup(UNKNOWN_APPLICATION_ID);
}

int tarvo_crypto_format_signature(const unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH],
                                  int format, const char *token, char **out)
{
    crypto_process_check();
    if (!signature || !out) {
        errno = EINVAL;
        return -1;
    }
    std::string text;
    if (format == 1) {
        char *b64 = base64_encode(signature, TARVO_CRYPTO_SIGNATURE_LENGTH);
        if (!b64) {
            errno = ENOMEM;
            return -1;
        }
        text = "b-";
        text += b64;
        free(b64);
    } else {
        text = "x-";
        append_hex(text, signature, TARVO_CRYPTO_SIGNATURE_LENGTH);
    }
    char *own_id = nullptr;
    if (!token) {
        process_application_id(getpid(), &own_id);
        token = own_id ? own_id : UNKNOWN_APPLICATION_ID;
    }
    text += '-';
    text += token;
    free(own_id);
    *out = strdup(text.c_str());
    if (!*out) {
        errno = ENOMEM;
        return -1;
    }
    return int(text.size());
}

int tarvo_crypto_parse_signature(const char *text,
                                 unsigned char signature[TARVO_CRYPTO_SIGNATURE_LENGTH],
                                 char **token)
{
    crypto_process_check();
    if (!signature) {
        errno = EINVAL;
        return 1;
    }
    bool ok = text && (text[0] == 'b' || text[0] == 'x') && text[1] == '-';
    if (ok) {
        const char *p = text + 2;
        ok = text[0] == 'x' ? read_hex_signature(p, signature)
                            : read_base64_signature(p, signature);
        if (ok && *p == '\0')
            return 0;
        if (ok && *p == '-') {
            p++;
            size_t length = strcspn(p, "\n");
            char *copy = strndup(p, length);
            if (!copy) {
                errno = ENOMEM;
                return 1;
            }
            if (token)
                *token = copy;
            else
                free(copy);
            return 0;
        }
    }
    CRYPTO_ERROR("malformed signature '%s'", shown(text));
    return 1;
}

void tarvo_crypto_unknown_application_id(const void *, char **out)
{
    crypto_process_check();
    if (out)
        *out = strdup(UNKNOWN_APPLICATION_ID);
}
