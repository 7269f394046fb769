// The protected file system's side of the challenge, driven directly (no
// sandbox): answers, refused challenges and the faults.
#include "sim/models/tarvofs.h"
#include "sim/models/omap_sec.h"
#include "sim/models/omap_sec_crypto.h"
#include "sim/testing/state_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <string>

namespace {

const std::string NONCE(32, '\x5a');

class TarvofsModel : public ks_sim::testing::StateDirTest {
protected:
    void SetUp() override
    {
        StateDirTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_EQ(mkdir((dir + "/run").c_str(), 0755), 0);
        put(ks_sim::OMAP_SEC_CONFIG, "device_key=000102030405060708090a0b0c0d0e0f\n");
        file = dir + "/protected";
        std::ofstream(file) << "content";
    }
    void put(const char *name, const std::string &text) { std::ofstream(dir + "/" + name) << text; }
    void arm(const std::string &faults) { put("faults", faults); }

    int challenge(const std::string &path, const std::string &value)
    {
        return h.set(path, ".tarvofs-signature", value.data(), value.size(), 0);
    }
    // The answer read back, or the negated errno as its text.
    std::string answer(const std::string &path, size_t room = 64)
    {
        std::string buf(room, '\0');
        ssize_t n = h.get(path, ".tarvofs-signature", &buf[0], room);
        return n < 0 ? "error " + std::to_string(-n) : buf.substr(0, size_t(n));
    }
    std::string mac_under(const char *token, const std::string &data)
    {
        return ks_sim::omap_sec_mac(ks_sim::omap_sec_device_key(), token, data);
    }

    ks_sim::xattr_handler &h = ks_sim::tarvofs_challenge_handler();
    std::string file;
};

TEST_F(TarvofsModel, AnswersTheFilesOwnChallenge)
{
    EXPECT_TRUE(h.serves(".tarvofs-signature"));
    EXPECT_FALSE(h.serves("user.other"));
    EXPECT_EQ(answer(file), "error " + std::to_string(ENODATA));
    ASSERT_EQ(challenge(file, file + NONCE), 0);
    EXPECT_EQ(answer(file), mac_under("tarvofs::tarvofs-verify", file + NONCE));
    EXPECT_EQ(h.get(file, ".tarvofs-signature", nullptr, 0), 20);
    EXPECT_EQ(answer(file, 19), "error " + std::to_string(ERANGE));
    // A new challenge, a new answer.
    const std::string other = file + std::string(32, '\x01');
    ASSERT_EQ(challenge(file, other), 0);
    EXPECT_EQ(answer(file), mac_under("tarvofs::tarvofs-verify", other));
}

// The attribute signs nothing but a challenge for the file itself.
TEST_F(TarvofsModel, RefusedChallenges)
{
    std::ofstream(dir + "/another") << "x";
    const struct {
        const char *what;
        std::string path, value;
        int expected;
    } cases[] = {
        {"another file's path", file, dir + "/another" + NONCE, -EINVAL},
        {"a short nonce", file, file + NONCE.substr(1), -EINVAL},
        {"a long nonce", file, file + NONCE + "x", -EINVAL},
        {"arbitrary data", file, std::string(file.size() + 32, 'd'), -EINVAL},
        {"a missing file", dir + "/missing", dir + "/missing" + NONCE, -ENOENT},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(challenge(c.path, c.value), c.expected) << c.what;
        EXPECT_EQ(answer(file), "error " + std::to_string(ENODATA)) << c.what;
    }
}

TEST_F(TarvofsModel, Faults)
{
    const std::string valid = mac_under("tarvofs::tarvofs-verify", file + NONCE);
    arm("tarvofs.forge\n");
    ASSERT_EQ(challenge(file, file + NONCE), 0);
    EXPECT_NE(answer(file), valid);
    EXPECT_EQ(answer(file).size(), 20u);

    arm("");
    ASSERT_EQ(challenge(file, file + NONCE), 0);
    arm("tarvofs.replay\n");
    ASSERT_EQ(challenge(file, file + std::string(32, '\x02')), 0);
    EXPECT_EQ(answer(file), valid);

    arm("tarvofs.size=19\n");
    EXPECT_EQ(answer(file), valid.substr(0, 19));
    arm("tarvofs.size=24\n");
    EXPECT_EQ(answer(file), valid + std::string(4, '\0'));

    arm("tarvofs.set=95\ntarvofs.get=61\n");
    EXPECT_EQ(challenge(file, file + NONCE), -95);
    EXPECT_EQ(answer(file), "error 61");
}

}  // namespace
