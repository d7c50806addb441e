// The Linux daemon's settings file: what it takes, and the line and reason of
// what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "settings/conffile/conf_file.h"

namespace {

TEST(ConfFile, TakesTheSettingsAndHideFlagsWithCommentsBlanksAndLetterCase)
{
    const std::string text =
        "\xEF\xBB\xBF# comment after the byte order mark Notepad writes\r\n"
        "  ; another\r\n"
        "\r\n"
        "  Url = print.example.com  \r\n"
        "PORT=007000\r\n"
        "pollfreq = 5 # a comment after a number\r\n"
        "Cipher = a=b#c\t# a comment after a text\r\n"
        "ComputerName = # only a comment\r\n"
        "UseTls = 1\r\n"
        "BlocksInFlight = 256\r\n"
        "LongPoll = 300\r\n"
        "Proxy = proxy.example.com:3128\r\n"
        "[ printers ]\r\n"
        "Office = Laser = 1\r\n"
        "plain = 0 # exposed\r\n"
        "hex = $10";
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
    // Only the first "=" of a setting splits it; a printer's name runs to the
    // last. A "#" starts a comment after a blank only.
    EXPECT_EQ(conf.ReadText("Cipher"), "a=b#c");
    EXPECT_TRUE(conf.ReadInteger("UseTls", &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(conf.ReadInteger("BlocksInFlight", &value));
    EXPECT_EQ(value, 256);
    EXPECT_TRUE(conf.ReadInteger("LongPoll", &value));
    EXPECT_EQ(value, 300);
    EXPECT_EQ(conf.ReadText("Proxy"), "proxy.example.com:3128");
    EXPECT_TRUE(conf.ReadInteger("Printer:office = LASER", &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(conf.ReadInteger("Printer:plain", &value));
    EXPECT_EQ(value, 0);
    EXPECT_TRUE(conf.ReadInteger("Printer:hex", &value));
    EXPECT_EQ(value, 16);
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
        {"Url = a\n\nPort = 70x0\n", 3, "Port = 70x0 is not a number from 1 to 65535."},
        {"Port = 105391", 1, "Port = 105391 is not a number from 1 to 65535."},
        {"Port = 70 00 # two numbers", 1, "Port = 70 00 is not a number from 1 to 65535."},
        {"Port = -1", 1, "Port = -1 is not a number from 1 to 65535."},
        {"Port = 0", 1, "Port = 0 is not a number from 1 to 65535."},
        {"Port = $1B58", 1, "Port = $1B58 is not a number from 1 to 65535."},
        {"Port =", 1, "Port =  is not a number from 1 to 65535."},
        {"PollFreq = -5", 1, "PollFreq = -5 is not a number from 1 to 86400."},
        {"PollFreq = 4294969", 1, "PollFreq = 4294969 is not a number from 1 to 86400."},
        {"PollFreq = 99999999999", 1, "PollFreq = 99999999999 is not a number from 1 to 86400."},
        {"BlocksInFlight = 257", 1, "BlocksInFlight = 257 is not a number from 1 to 256."},
        {"BlocksInFlight = 0", 1, "BlocksInFlight = 0 is not a number from 1 to 256."},
        {"Url = a\nLongPoll = 301", 2, "LongPoll = 301 is not a number from 0 to 300."},
        {"LongPoll = -1", 1, "LongPoll = -1 is not a number from 0 to 300."},
        {"Url = http://host", 1, "Url = http://host is not a host name or address (give no scheme, port or path)."},
        {"Url = host:7000", 1, "Url = host:7000 is not a host name or address (give no scheme, port or path)."},
        {"Url = \"host\"", 1, "Url = \"host\" is not a host name or address (give no scheme, port or path)."},
        {"Url = my host", 1, "Url = my host is not a host name or address (give no scheme, port or path)."},
        {"Proxy = proxy.example.com", 1,
         "Proxy = proxy.example.com is not a proxy as host:port (a host name or address of at most 63 characters, a "
         "port from 1 to 65535)."},
        {"Proxy = http://proxy:3128", 1,
         "Proxy = http://proxy:3128 is not a proxy as host:port (a host name or address of at most 63 characters, a "
         "port from 1 to 65535)."},
        {"Prot = 7000", 1, "unknown setting \"Prot\" (printers go under [printers])"},
        {"Url = a\n[printers]\nq = 1\nport = 7001", 4,
         "\"port\" is a setting, not a printer: settings go above the line [printers]"},
        {"Url = a\nurl = b", 2, "\"url\" is set again; it was set on line 1"},
        {"[printers]\nq = 1\nQ = 0", 3, "\"Q\" is set again; it was set on line 2"},
        {"[printer]", 1, "unknown section \"[printer]\"; the one section is [printers]"},
        {"[printers", 1, "unknown section \"[printers\"; the one section is [printers]"},
        {"Url print.example.com", 1, "expected \"Name = value\""},
        {"[printers]\n = 1", 2, "no name before \"=\""},
        {"UseTls = 2", 1, "UseTls = 2 is not 0 or 1."},
        {"[printers]\nq = yes", 2, "\"q\" needs a number, not \"yes\""},
        {"Url = " + std::string(64, 'h'), 1, "Url is 64 characters long; at most 63 are allowed."},
        {"Cipher = " + std::string(256, 'c'), 1, "Cipher is 256 characters long; at most 255 are allowed."},
        {std::string("Url = a\nCipher = x\0y\n", 21), 2, "the line holds a NUL byte"},
        // Only at the very start is it a byte order mark.
        {"Url = a\n\xEF\xBB\xBFPort = 7000", 2, "unknown setting \"\xEF\xBB\xBFPort\" (printers go under [printers])"},
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

TEST(ConfFile, TellsWhetherTwoFilesHideTheSamePrinters)
{
    auto parsed = [](const std::string& text) {
        ConfFile conf;
        int line = 0;
        std::string problem;
        EXPECT_TRUE(conf.Parse(text, &line, &problem)) << problem;
        return conf;
    };
    const ConfFile hidesA = parsed("[printers]\na = 1\nb = 0");
    EXPECT_TRUE(hidesA.HidesTheSamePrinters(parsed("Port = 1\n[printers]\nA = 5")));
    EXPECT_FALSE(hidesA.HidesTheSamePrinters(parsed("[printers]\na = 0")));
    EXPECT_FALSE(parsed("").HidesTheSamePrinters(hidesA));
}

}  // namespace
