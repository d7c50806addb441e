// The Linux daemon's settings file: what it takes, and the line and reason of
// what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "settings/conffile/conf_file.h"

namespace {

TEST(ConfFile, TakesTheSettingsAndHideFlagsWithCommentsBlanksAndLetterCase)
{
    const std::string text =
        "# comment\r\n"
        "  ; another\r\n"
        "\r\n"
        "  Url = print.example.com  \r\n"
        "PORT=$1B58\r\n"
        "pollfreq = 5\r\n"
        "Cipher = a=b#c\r\n"
        "ComputerName =\r\n"
        "UseTls = 1\r\n"
        "[ printers ]\r\n"
        "Office = Laser = 1\r\n"
        "plain = 0";
    ConfFile conf;
    int line = 0;
    std::string problem;
    ASSERT_TRUE(conf.Parse(text, &line, &problem)) << line << ": " << problem;

    int32_t value = -1;
    EXPECT_EQ(conf.ReadText("Url"), "print.example.com");
    EXPECT_TRUE(conf.ReadInteger("Port", &value));
    EXPECT_EQ(value, 7000);
    EXPECT_TRUE(conf.ReadInteger("PollFreq", &value));
    EXPECT_EQ(value, 5);
    // Only the first "=" of a setting splits it; a printer's name runs to the last.
    EXPECT_EQ(conf.ReadText("Cipher"), "a=b#c");
    EXPECT_TRUE(conf.ReadInteger("UseTls", &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(conf.ReadInteger("Printer:office = LASER", &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(conf.ReadInteger("Printer:plain", &value));
    EXPECT_EQ(value, 0);
    // Missing, empty or of the other kind: the rules' defaults apply.
    EXPECT_FALSE(conf.ReadInteger("Printer:other", &value));
    EXPECT_FALSE(conf.ReadInteger("Url", &value));
    EXPECT_EQ(conf.ReadText("ComputerName"), "");
    EXPECT_EQ(conf.ReadText("Port"), "");
}

struct RefusedCase {
    std::string text;
    int line;
    const char* problem;
};

TEST(ConfFile, RefusesAFileAtItsFirstBadLineAndKeepsNothing)
{
    const RefusedCase cases[] = {
        {"Url = a\n\nPort = 70x0\n", 3, "\"Port\" needs a number, not \"70x0\""},
        {"PollFreq = 99999999999", 1, "\"PollFreq\" needs a number, not \"99999999999\""},
        {"Prot = 7000", 1, "unknown setting \"Prot\" (printers go under [printers])"},
        {"Url = a\nurl = b", 2, "\"url\" is set again; it was set on line 1"},
        {"[printers]\nq = 1\nQ = 0", 3, "\"Q\" is set again; it was set on line 2"},
        {"[printer]", 1, "unknown section \"[printer]\"; the one section is [printers]"},
        {"[printers", 1, "unknown section \"[printers\"; the one section is [printers]"},
        {"Url print.example.com", 1, "expected \"Name = value\""},
        {"[printers]\n = 1", 2, "no name before \"=\""},
        {"UseTls = 2", 1, "\"UseTls\" must be 0 or 1"},
        {"[printers]\nq = yes", 2, "\"q\" needs a number, not \"yes\""},
        {"Url = " + std::string(64, 'h'), 1, "Server name longer than 63 characters"},
        {"Cipher = " + std::string(256, 'c'), 1, "Cipher string longer than 255 characters"},
        {std::string("Url = a\nCipher = x\0y\n", 21), 2, "the line holds a NUL byte"},
    };
    for (const RefusedCase& refused : cases) {
        SCOPED_TRACE(refused.text);
        ConfFile conf;
        int line = 0;
        std::string problem;
        EXPECT_FALSE(conf.Parse(refused.text, &line, &problem));
        EXPECT_EQ(line, refused.line);
        EXPECT_EQ(problem, refused.problem);
        EXPECT_EQ(conf.ReadText("Url"), "");
    }
}

}  // namespace
