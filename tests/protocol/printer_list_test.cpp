#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/printer_list.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/inventory_double.h"
#include "transport/print_client.h"

namespace {

constexpr int32_t kPollDocumentSize = 8192;

class PrinterListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        inventory_double::Reset();
        display_recorder::Reset();
        client_.Setup("127.0.0.1", 7000, "PC01", "cipher");
        display_recorder::Attach(&client_);
    }

    // Builds into a buffer of capacity bytes followed by guard bytes that must
    // stay untouched.
    std::string Build(int32_t capacity = kPollDocumentSize, int* result = nullptr)
    {
        std::vector<char> buffer(static_cast<size_t>(capacity) + 64, '#');
        int built = BuildPrinterList(&client_, buffer.data(), capacity);
        if (result != nullptr)
            *result = built;
        for (size_t i = static_cast<size_t>(capacity); i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], '#') << "written past the capacity at " << i;
        if (built != 0)
            return std::string();
        EXPECT_NE(memchr(buffer.data(), 0, static_cast<size_t>(capacity)), nullptr);
        return std::string(buffer.data());
    }

    std::vector<std::string> LogTexts()
    {
        std::vector<std::string> texts;
        for (const DisplayEvent& event : display_recorder::Events()) {
            if (event.kind == DisplayEvent::Log)
                texts.push_back(event.text);
        }
        return texts;
    }

    PrintClient client_;
};

TEST_F(PrinterListTest, ListsEveryPrinterWithItsEscapedNameAndHideFlag)
{
    inventory_double::SetPrinters({"Office Laser", "R&D Printer"});
    inventory_double::SetFlag("Printer:R&D Printer", 1);

    EXPECT_EQ(Build(), "<list cpu='PC01' user='JSMITH'>\r\n"
                       " <printer name='Office Laser' hide='0'/>\r\n"
                       " <printer name='R&amp;D Printer' hide='1'/>\r\n"
                       "</list>");
}

TEST_F(PrinterListTest, NoPrintersGivesOpeningAndClosingOnly)
{
    EXPECT_EQ(Build(), "<list cpu='PC01' user='JSMITH'>\r\n</list>");
}

TEST_F(PrinterListTest, ComputerAndUserNamesGoInUnescaped)
{
    client_.Setup("127.0.0.1", 7000, "Bob's & Co", "cipher");
    inventory_double::SetUser("O'HARA<&>");
    EXPECT_EQ(Build(), "<list cpu='Bob's & Co' user='O'HARA<&>'>\r\n</list>");
}

TEST_F(PrinterListTest, AnyNonZeroFlagIsHiddenAndAMissingFlagIsCreatedAsExposed)
{
    inventory_double::SetPrinters({"Seven", "New"});
    inventory_double::SetFlag("Printer:Seven", 7);

    std::string document = Build();

    EXPECT_NE(document.find("name='Seven' hide='1'"), std::string::npos);
    EXPECT_NE(document.find("name='New' hide='0'"), std::string::npos);
    EXPECT_EQ(inventory_double::CreatedFlags(), std::vector<std::string>{"Printer:New"});
    EXPECT_EQ(inventory_double::FlagValue("Printer:New"), 0);
}

TEST_F(PrinterListTest, AFlagThatCannotBeStoredEndsTheDocumentWithTheSettingsText)
{
    inventory_double::SetPrinters({"Known", "Fresh"});
    inventory_double::SetFlag("Printer:Known", 0);
    inventory_double::FailFlagWrites(true);

    int result = 0;
    Build(kPollDocumentSize, &result);

    EXPECT_EQ(result, 1);
    const std::string text = "Failed to set data for 'Printer:Fresh'";
    EXPECT_EQ(display_recorder::Events(), (std::vector<DisplayEvent>{StatusEvent(text), LogEvent(text)}));
}

TEST_F(PrinterListTest, NeverEndsWithALineEnd)
{
    inventory_double::SetPrinters({"A"});
    std::string document = Build();
    ASSERT_GE(document.size(), 7u);
    EXPECT_EQ(document.substr(document.size() - 7), "</list>");
}

TEST_F(PrinterListTest, LengthFollowsTheLayout)
{
    const std::vector<std::string> names = {"Office Laser", "R&D", "x"};
    inventory_double::SetPrinters(names);
    // 23 + names, 30 + escaped name per printer, 7 for the closing.
    size_t expected = 23 + 4 + 6 + 7 + (30 + 12) + (30 + 7) + (30 + 1);
    EXPECT_EQ(Build().size(), expected);
}

TEST_F(PrinterListTest, APrinterLineThatDoesNotFitIsLeftOutAndNamed)
{
    inventory_double::SetPrinters({"First", "Second Printer", "T"});
    const std::string opening = "<list cpu='PC01' user='JSMITH'>\r\n";
    const std::string first = " <printer name='First' hide='0'/>\r\n";
    const std::string third = " <printer name='T' hide='0'/>\r\n";
    // Room for the opening, the first and third lines, the closing and its NUL.
    int32_t capacity = static_cast<int32_t>(opening.size() + first.size() + third.size() + 8);

    EXPECT_EQ(Build(capacity), opening + first + third + "</list>");
    EXPECT_EQ(LogTexts(),
              std::vector<std::string>{"Printer left out of the printer list: Second Printer (list full)"});
}

TEST_F(PrinterListTest, ADocumentThatFitsExactlyIsWhole)
{
    inventory_double::SetPrinters({"P"});
    const std::string whole = "<list cpu='PC01' user='JSMITH'>\r\n <printer name='P' hide='0'/>\r\n</list>";
    EXPECT_EQ(Build(static_cast<int32_t>(whole.size() + 1)), whole);
    EXPECT_TRUE(LogTexts().empty());
    display_recorder::Reset();
    EXPECT_EQ(Build(static_cast<int32_t>(whole.size())), "<list cpu='PC01' user='JSMITH'>\r\n</list>");
    EXPECT_EQ(LogTexts().size(), 1u);
}

TEST_F(PrinterListTest, ManyLongNamesStayWithinThePollBuffer)
{
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back(std::to_string(i) + std::string(kMaxPrinterNameLength - 3, '&'));
    inventory_double::SetPrinters(names);

    std::string document = Build();

    EXPECT_LT(document.size(), static_cast<size_t>(kPollDocumentSize));
    EXPECT_EQ(document.substr(document.size() - 7), "</list>");
    // Each line holds about 1300 bytes after escaping: six fit, and one line
    // tells of the 34 left out.
    EXPECT_EQ(LogTexts(), std::vector<std::string>{"Printer left out of the printer list: " + names[6] +
                                                   " and 33 more (list full)"});
    EXPECT_EQ(inventory_double::CreatedFlags().size(), 40u) << "every printer still gets its flag";
}

TEST_F(PrinterListTest, ANameLongerThanThePlatformAllowsIsLeftOutAndNamed)
{
    const std::string tooLong(kMaxPrinterNameLength + 1, 'N');
    inventory_double::SetPrinters({tooLong, "Short"});

    EXPECT_EQ(Build(), "<list cpu='PC01' user='JSMITH'>\r\n <printer name='Short' hide='0'/>\r\n</list>");
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("(name too long)"), std::string::npos);
    EXPECT_FALSE(inventory_double::HasFlag("Printer:" + tooLong));
}

TEST_F(PrinterListTest, TheLongestNameEscapesWithinItsBuffer)
{
    const std::string name(kMaxPrinterNameLength, '"');
    inventory_double::SetPrinters({name});
    std::string escaped;
    for (int i = 0; i < kMaxPrinterNameLength; ++i)
        escaped += "&quot;";
    EXPECT_NE(Build().find("name='" + escaped + "' hide='0'"), std::string::npos);
}

TEST_F(PrinterListTest, AnOpeningThatDoesNotFitFailsWithoutWritingPastTheBuffer)
{
    inventory_double::SetUser(std::string(300, 'U'));
    int result = 0;
    Build(200, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(display_recorder::Events().back(), LogEvent("Printer list does not fit"));
}

TEST(XmlEscape, ReplacesSpecialAndControlCharacters)
{
    const struct {
        std::string text;
        std::string escaped;
    } cases[] = {
        {"R&D Printer", "R&amp;D Printer"},
        {"Bob's", "Bob&apos;s"},
        {"<\">", "&lt;&quot;&gt;"},
        {"a\tb\r\nc", "a b  c"},
        {"\x01\x1F", "  "},
        {"Caf\xE9 \x80\xFF", "Caf\xE9 \x80\xFF"},
        {"&amp;", "&amp;amp;"},
        {"", ""},
    };
    for (const auto& c : cases) {
        char out[64];
        EXPECT_EQ(XmlEscape(out, c.text.c_str()), out);
        EXPECT_EQ(std::string(out), c.escaped) << c.text;
    }
}

}  // namespace
