// Signature text and application id (runs in the sandbox, where the
// services set themselves up and processes get credentials from the
// simulated credentials module).
#include "crypto/crypto_fixture.h"

#include "creds/creds.h"
#include "support/test_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

using CryptoSignature = CryptoTest;

const unsigned char SIG[20] = {0x00, 0x01, 0x7f, 0x80, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50,
                               0x60, 0x70, 0xa0, 0xb0, 0xc0, 0xd0, 0xe0, 0xf0, 0x0f, 0xfe};
const std::string SIG_HEX = "00017f80ff102030405060 70a0b0c0d0e0f00ffe";

std::string hex_of_sig()
{
    std::string h = SIG_HEX;
    h.erase(h.find(' '), 1);
    return h;
}

std::string formatted(int format, const char *token)
{
    char *out = nullptr;
    int n = tarvo_crypto_format_signature(SIG, format, token, &out);
    std::string s = out ? out : "";
    EXPECT_EQ(n, int(s.size()));
    free(out);
    return s;
}

// Runs the body in a child that also holds the kernel-defined credentials
// of the texts ("AID::" or "SRC::" names), in their order; the child's
// exit status is the body's result.
int in_child_with(const std::vector<std::string> &texts, const std::function<int()> &body)
{
    fflush(nullptr);
    pid_t child = test_fork();
    if (child == 0) {
        std::vector<uint32_t> add;
        for (const std::string &text : texts) {
            long value = 0;
            int type = creds_from_text(text.c_str(), &value);
            if (type < 4)
                _exit(100);
            add.push_back(uint32_t(type | 1 << 16));
            add.push_back(uint32_t(value));
        }
        if (!add.empty()) {
            creds_handle extra = creds_from_list(add.data(), int(add.size()));
            if (creds_apply_with_flags(extra, 2) != 0)
                _exit(101);
            creds_release(extra);
        }
        _exit(body());
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
int in_child_with_aid(const std::string &aid, const std::function<int()> &body)
{
    return in_child_with(aid.empty() ? std::vector<std::string>{} : std::vector<std::string>{aid},
                         body);
}
// The caller's application id, as process_application_id gives it.
std::string own_application_id()
{
    char *id = nullptr;
    process_application_id(0, &id);
    std::string text = id ? id : "(none)";
    free(id);
    return text;
}

TEST_F(CryptoSignature, BothFormsRoundTrip)
{
    const std::string b = formatted(1, "tcb");
    EXPECT_EQ(b.size(), 34u);  // "b-", 28 base64 characters, "-", "tcb"
    EXPECT_EQ(b.substr(0, 2), "b-");
    EXPECT_EQ(b.substr(29), "=-tcb");
    const std::string x = formatted(0, "tcb");
    EXPECT_EQ(x, "x-" + hex_of_sig() + "-tcb");
    EXPECT_EQ(formatted(7, "tcb"), x);  // any format but 1 is hexadecimal

    for (const std::string &text : {b, x}) {
        unsigned char sig[20] = {};
        char *token = nullptr;
        EXPECT_EQ(tarvo_crypto_parse_signature(text.c_str(), sig, &token), 0) << text;
        EXPECT_EQ(memcmp(sig, SIG, 20), 0) << text;
        ASSERT_NE(token, nullptr);
        EXPECT_STREQ(token, "tcb");
        free(token);
    }
    EXPECT_TRUE(reports().empty());
}

// The base64 text of 20 bytes with the two unused bits of its last digit
// set: it decodes to the same bytes.
std::string padding_bits_set(const std::string &b64)
{
    static const char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s = b64;
    size_t last = s.size() - 2;  // the digit before the single '='
    s[last] = digits[(strchr(digits, s[last]) - digits) | 1];
    return s;
}

TEST_F(CryptoSignature, ParseTable)
{
    const std::string hex = hex_of_sig();
    std::string upper = hex;
    for (char &c : upper)
        c = char(toupper((unsigned char)c));
    char *b64_19 = base64_encode(SIG, 19);
    char *b64_21 = base64_encode("012345678901234567890", 21);
    char *b64_20 = base64_encode(SIG, 20);
    const char *untouched = "(untouched)";
    const struct {
        std::string text;
        int result;
        const char *token;
    } cases[] = {
        {"x-" + hex, 0, untouched},
        {"x-" + upper + "-T", 0, "T"},
        {"x-" + hex + "-", 0, ""},
        {"x-" + hex + "-tcb\nmore text", 0, "tcb"},
        {"x-" + hex + "-a::b-c", 0, "a::b-c"},
        {std::string("b-") + b64_20, 0, untouched},
        {std::string("b-") + b64_20 + "-pkg::name", 0, "pkg::name"},
        {"x-" + hex.substr(0, 39), 1, untouched},
        {"x-" + hex.substr(0, 38), 1, untouched},
        {"x-" + hex.substr(0, 38) + "g0", 1, untouched},
        {"x-" + hex + "tcb", 1, untouched},
        {"x-" + hex.substr(0, 30) + " 1" + hex.substr(32), 1, untouched},
        {"X-" + hex, 1, untouched},
        {"B-" + std::string(b64_20), 1, untouched},
        {"x" + hex, 1, untouched},
        {"xx" + hex, 1, untouched},
        {std::string("b-") + b64_19 + "-tcb", 1, untouched},
        {std::string("b-") + b64_21 + "-tcb", 1, untouched},
        {"b--tcb", 1, untouched},
        // Another text for the same bytes: padding bits set, white space.
        {std::string("b-") + padding_bits_set(b64_20) + "-tcb", 1, untouched},
        {std::string("b-") + std::string(b64_20).insert(4, " ") + "-tcb", 1, untouched},
        {std::string("b-") + std::string(b64_20).insert(8, "\t") + "-tcb", 1, untouched},
        {"", 1, untouched},
    };
    free(b64_19);
    free(b64_21);
    free(b64_20);
    for (const auto &c : cases) {
        unsigned char sig[20] = {};
        char *token = const_cast<char *>(untouched);
        EXPECT_EQ(tarvo_crypto_parse_signature(c.text.c_str(), sig, &token), c.result) << c.text;
        EXPECT_STREQ(token, c.token) << c.text;
        if (c.result == 0) {
            EXPECT_EQ(memcmp(sig, SIG, 20), 0) << c.text;
        }
        if (token != untouched)
            free(token);
        std::vector<std::string> r = reports();
        if (c.result == 0) {
            EXPECT_TRUE(r.empty()) << c.text;
        } else {
            EXPECT_EQ(r, std::vector<std::string>{"malformed signature '" + c.text + "'"})
                << c.text;
        }
    }
    unsigned char sig[20];
    EXPECT_EQ(tarvo_crypto_parse_signature(nullptr, sig, nullptr), 1);
    EXPECT_EQ(reports(), std::vector<std::string>{"malformed signature '(null)'"});
}

TEST_F(CryptoSignature, ApplicationIdRules)
{
    // '/' becomes '.'; the prefix stays.
    EXPECT_EQ(in_child_with_aid("AID::com/example/app",
                                [] {
                                    char *id = nullptr;
                                    process_application_id(0, &id);
                                    int bad = !id || strcmp(id, "AID::com.example.app") != 0;
                                    free(id);
                                    // The signature text's default token
                                    // is the caller's id.
                                    char *text = nullptr;
                                    tarvo_crypto_format_signature(SIG, 0, nullptr, &text);
                                    const char *tail = "-AID::com.example.app";
                                    if (!text || strlen(text) < strlen(tail) ||
                                        strcmp(text + strlen(text) - strlen(tail), tail) != 0)
                                        bad |= 2;
                                    free(text);
                                    return bad;
                                }),
              0);
    // Without the credential: "unknown.unknown.".
    EXPECT_EQ(in_child_with_aid("",
                                [] {
                                    char *id = nullptr;
                                    process_application_id(0, &id);
                                    int bad = !id || strcmp(id, "unknown.unknown.") != 0;
                                    free(id);
                                    return bad;
                                }),
              0);
    // A longer id is cut after 511 characters.
    const std::string long_aid = "AID::" + std::string(600, 'a') + "/z";
    EXPECT_EQ(in_child_with_aid(long_aid,
                                [] {
                                    char *id = nullptr;
                                    process_application_id(0, &id);
                                    int bad = !id || strlen(id) != 511 ||
                                              std::string(id) != "AID::" + std::string(506, 'a');
                                    free(id);
                                    return bad;
                                }),
              0);
    // Only an "AID::" credential is the application id: another credential
    // of a kernel-defined type listed first is passed over.
    const struct {
        const char *what;
        std::vector<std::string> held;
        std::string expected;
    } cases[] = {
        {"another credential, then the id", {"7::42", "AID::pkg/app"}, "AID::pkg.app"},
        {"another credential alone", {"7::42"}, "unknown.unknown."},
    };
    for (const auto &c : cases) {
        const std::string expected = c.expected;
        EXPECT_EQ(in_child_with(c.held, [&] { return own_application_id() == expected ? 0 : 1; }),
                  0)
            << c.what;
    }

    char *unknown = nullptr;
    tarvo_crypto_unknown_application_id(nullptr, &unknown);
    ASSERT_NE(unknown, nullptr);
    EXPECT_STREQ(unknown, "unknown.unknown.");
    free(unknown);
}

}  // namespace
