// The protected file system's challenge against the simulated file system
// and secure side (runs in the sandbox): a valid answer, forged and
// replayed answers, and the failures of each step.
#include "crypto/crypto_fixture.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

using strings = std::vector<std::string>;
using CryptoTarvofs = CryptoTest;

const char FILE_PATH[] = "/etc/protected";

TEST_F(CryptoTarvofs, AnswersAreChecked)
{
    write_file(FILE_PATH, "content\n");
    const struct {
        const char *what;
        std::string faults;
        int expected, verdict;
        std::string report;  // the last line, "" for none
    } cases[] = {
        {"a valid answer", "", 0, 1, ""},
        {"an answer under another token", "tarvofs.forge\n", 0, 0, ""},
        {"the answer to an earlier challenge", "tarvofs.replay\n", 0, 0, ""},
        {"a short answer", "tarvofs.size=19\n", 1, -1, "Invalid response (wrong size 19)"},
        {"a long answer", "tarvofs.size=21\n", 1, -1,
         std::string("Cannot get response (") + strerror(ERANGE) + ")"},
        {"no attribute support", "tarvofs.set=95\n", 1, -1,
         std::string("Cannot set challenge (") + strerror(95) + ")"},
        {"no answer", "tarvofs.get=61\n", 1, -1,
         std::string("Cannot get response (") + strerror(61) + ")"},
        {"a check the hardware cannot make", "omap_sec.service=900\nomap_sec.pa=2\n", 1, -1,
         ""},
    };
    for (const auto &c : cases) {
        // The replayed answer is that of a challenge made before.
        arm("");
        int verdict = -1;
        ASSERT_EQ(tarvo_crypto_tarvofs_challenge(FILE_PATH, &verdict), 0) << c.what;
        ASSERT_EQ(verdict, 1) << c.what;
        reports();

        arm(c.faults);
        verdict = -1;
        errno = 0;
        EXPECT_EQ(tarvo_crypto_tarvofs_challenge(FILE_PATH, &verdict), c.expected) << c.what;
        const int e = errno;
        EXPECT_EQ(verdict, c.verdict) << c.what;
        strings r = reports();
        if (c.expected == 0) {
            EXPECT_TRUE(r.empty()) << c.what;
        } else if (!c.report.empty()) {
            ASSERT_FALSE(r.empty()) << c.what;
            EXPECT_EQ(r.back(), c.report) << c.what;
        } else {
            ASSERT_FALSE(r.empty()) << c.what;
            EXPECT_EQ(r.back().rfind("Signature cannot be verified (", 0), 0u) << c.what;
            EXPECT_EQ(e, EACCES) << c.what;
        }
    }
}

TEST_F(CryptoTarvofs, ChallengeThatCannotBeMade)
{
    int verdict = 7;
    errno = 0;
    EXPECT_EQ(tarvo_crypto_tarvofs_challenge(nullptr, &verdict), 1);
    EXPECT_EQ(errno, EINVAL);
    // A file the file system does not hold.
    EXPECT_EQ(tarvo_crypto_tarvofs_challenge("/etc/missing-file", &verdict), 1);
    EXPECT_EQ(reports(),
              strings{std::string("Cannot set challenge (") + strerror(ENOENT) + ")"});
    EXPECT_EQ(verdict, 7);
    // Without random bytes no challenge goes out.
    write_file(FILE_PATH, "content\n");
    without_hardware();
    reports();
    EXPECT_EQ(tarvo_crypto_tarvofs_challenge(FILE_PATH, &verdict), 1);
    EXPECT_EQ(verdict, 7);
    strings r = reports();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0], "tarvo_crypto_random: kz4_get_random returned -1");
    for (const std::string &l : r)
        EXPECT_EQ(l.find("Cannot set challenge"), std::string::npos) << l;
}

}  // namespace
