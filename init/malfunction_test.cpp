// The counter and language steps of the malfunction screen, on paths of a
// temporary directory. The whole screen on the fixed paths and "/dev/fb0"
// is tested inside the sandbox (malfunction_sandbox_test).
#include "init/malfunction.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class MalfunctionSteps : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/ks-malf-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        counter_ = dir_ + "/reboot_counter";
        sysrq_ = dir_ + "/sysrq-trigger";
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    static void put(const std::string &path, const std::string &text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }
    // The file's content, or "(absent)", or "(directory)".
    static std::string get(const std::string &path)
    {
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            return "(absent)";
        if (S_ISDIR(st.st_mode))
            return "(directory)";
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir_, counter_, sysrq_;
};

// Each row: the counter before, whether the boot powers off, the counter
// after and what the sysrq trigger received. The trigger stands in for
// the kernel's, which exists already: the boot never creates it.
TEST_F(MalfunctionSteps, CounterCountsBootsAndPowersOffOnTheSixth)
{
    struct row {
        const char *before;  // null: absent; "/": a directory
        bool power_off;
        const char *after;
        const char *sysrq;
    } rows[] = {
        {nullptr, false, "1\n", ""},
        {"0\n", false, "1\n", ""},
        {"4\n", false, "5\n", ""},
        {"  +3 trailing", false, "4\n", ""},
        {"5\n", true, "(absent)", "o\n"},
        {"6", true, "(absent)", "o\n"},
        // Beyond any count: powers off, never wraps around to a negative one.
        {"2147483647\n", true, "(absent)", "o\n"},
        {"99999999999999999999\n", true, "(absent)", "o\n"},
        // Corrupted or negative counters stay as they are.
        {"", false, "", ""},
        {"\n \n", false, "\n \n", ""},
        {"x5\n", false, "x5\n", ""},
        {"-\n", false, "-\n", ""},
        {"-3", false, "-3", ""},
        {"-99999999999999999999", false, "-99999999999999999999", ""},
        {"/", false, "(directory)", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.before ? r.before : "(absent)");
        rmdir(counter_.c_str());
        unlink(counter_.c_str());
        put(sysrq_, "");
        if (r.before && std::string(r.before) == "/")
            ASSERT_EQ(mkdir(counter_.c_str(), 0755), 0);
        else if (r.before)
            put(counter_, r.before);
        EXPECT_EQ(count_malfunction_boot(counter_.c_str(), sysrq_.c_str()), r.power_off);
        EXPECT_EQ(get(counter_), r.after);
        EXPECT_EQ(get(sysrq_), r.sysrq);
    }
}

TEST_F(MalfunctionSteps, FiveBootsShowThePictureAndTheSixthPowersOff)
{
    put(sysrq_, "");
    for (int boot = 1; boot <= 5; boot++) {
        EXPECT_FALSE(count_malfunction_boot(counter_.c_str(), sysrq_.c_str())) << boot;
        EXPECT_EQ(get(counter_), std::to_string(boot) + "\n");
    }
    EXPECT_TRUE(count_malfunction_boot(counter_.c_str(), sysrq_.c_str()));
    EXPECT_EQ(get(counter_), "(absent)");
    EXPECT_EQ(get(sysrq_), "o\n");
}

// When the trigger cannot be opened, the counter is gone all the same and
// the picture is to be shown; the next malfunction boot starts again at 1.
TEST_F(MalfunctionSteps, UnopenableTriggerShowsThePictureAndStartsAgain)
{
    const std::string no_trigger = dir_ + "/missing/sysrq-trigger";
    put(counter_, "5\n");
    EXPECT_FALSE(count_malfunction_boot(counter_.c_str(), no_trigger.c_str()));
    EXPECT_EQ(get(counter_), "(absent)");
    EXPECT_FALSE(count_malfunction_boot(counter_.c_str(), no_trigger.c_str()));
    EXPECT_EQ(get(counter_), "1\n");
}

// A power-off request that does not reach the kernel is no power-off: the
// picture is shown.
TEST_F(MalfunctionSteps, TriggerThatRefusesTheWriteShowsThePicture)
{
    put(counter_, "5\n");
    EXPECT_FALSE(count_malfunction_boot(counter_.c_str(), "/dev/full"));
    EXPECT_EQ(get(counter_), "(absent)");
}

TEST_F(MalfunctionSteps, CounterThatCannotBeWrittenIsReportedNotFatal)
{
    const std::string nowhere = dir_ + "/missing/reboot_counter";
    EXPECT_FALSE(count_malfunction_boot(nowhere.c_str(), sysrq_.c_str()));
    EXPECT_EQ(get(nowhere), "(absent)");
    EXPECT_EQ(get(sysrq_), "(absent)");
}

TEST_F(MalfunctionSteps, LanguageComesFromTheSettingsDocument)
{
    // The file name starts with "%g", as on the device: it must never be
    // taken for a format.
    const std::string settings = dir_ + "/%gconf.xml";
    struct row {
        const char *name;
        const char *document;  // null: no file
        const char *language;
    } rows[] = {
        {"no file", nullptr, "en"},
        {"no root", "this is not XML <", "en"},
        {"empty root", "<gconf/>", "en"},
        {"language entry",
         "<gconf><entry name=\"other\"><s>de</s></entry>"
         "<entry name=\"language\" type=\"string\"><stringvalue>fi</stringvalue></entry></gconf>",
         "fi"},
        {"attributes in any order",
         "<gconf><entry type=\"string\" mtime=\"1\" name=\"language\"><v>sv</v></entry></gconf>",
         "sv"},
        {"match without children passed over",
         "<gconf><entry name=\"language\">xx</entry>"
         "<entry name=\"language\"><v>fi</v><v>de</v></entry></gconf>",
         "fi"},
        {"value under another attribute name",
         "<gconf><entry key=\"language\"><v>fi</v></entry></gconf>", "en"},
        {"only the root's own children count",
         "<gconf><dir><entry name=\"language\"><v>fi</v></entry></dir></gconf>", "en"},
        {"content kept as written", "<gconf><entry name=\"language\"><v> fi\n</v></entry></gconf>",
         " fi\n"},
        {"larger than any settings file", nullptr, "en"},
    };
    const std::string huge = "<gconf><entry name=\"language\"><v>fi</v></entry>" +
                             std::string(2 << 20, ' ') + "</gconf>";
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        unlink(settings.c_str());
        if (r.document)
            put(settings, r.document);
        else if (std::string(r.name) == "larger than any settings file")
            put(settings, huge);
        EXPECT_EQ(read_language(settings.c_str()), r.language);
    }
}

}  // namespace
