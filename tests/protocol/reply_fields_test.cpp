#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "protocol/reply_fields.h"
#include "transport/decimal.h"

namespace {

// Splits a copy of reply with the poll's table size; the fields as strings.
std::vector<std::string> Split(const std::string& reply, int capacity = kReplyFieldTableSize)
{
    std::vector<char> text(reply.begin(), reply.end());
    text.push_back(0);
    std::vector<char*> table(static_cast<size_t>(capacity), nullptr);
    int count = SplitReplyFields(text.data(), table.data(), capacity);
    std::vector<std::string> fields;
    for (int i = 0; i < count; ++i)
        fields.push_back(table[static_cast<size_t>(i)]);
    EXPECT_EQ(table[static_cast<size_t>(count)], nullptr) << "the entry after the last field is null";
    return fields;
}

using Fields = std::vector<std::string>;

struct SplitCase {
    const char* name;
    std::string reply;
    Fields fields;
};

const SplitCase kSplitCases[] = {
    {"query reply without final line end", "SPOOL\r\njob7.spl\r\n512\r\nReport\r\nOffice Laser\r\n42",
     {"SPOOL", "job7.spl", "512", "Report", "Office Laser", "42"}},
    {"final line end gives an empty last field", "SPOOL\r\njob7.spl\r\n512\r\nReport\r\nOffice Laser\r\n42\r\n",
     {"SPOOL", "job7.spl", "512", "Report", "Office Laser", "42", ""}},
    {"blank line is no field", "OK\r\n\r\n17", {"OK", "17"}},
    {"leading blanks of a later line are dropped", "OK\r\n  17", {"OK", "17"}},
    {"trailing blanks stay", "OK  \r\n17 ", {"OK  ", "17 "}},
    {"blanks inside a field stay", "a b\r\nc  d", {"a b", "c  d"}},
    {"leading line end gives an empty field 0", "\r\nOK\r\n17", {"", "OK", "17"}},
    {"no separator is one field", "EMPTY", {"EMPTY"}},
    {"empty reply is one empty field", "", {""}},
    {"bare LF and tab separate", "a\nb\tc", {"a", "b", "c"}},
    {"entities decoded per field", "R&amp;D\r\n&LT;x&Gt;\r\n&apos;&quot;", {"R&D", "<x>", "'\""}},
    {"single pass: &amp;lt; becomes &lt;", "&amp;lt;", {"&lt;"}},
    {"lone ampersand and numeric reference stay", "Q&A\r\n&#233;\r\nend", {"Q&A", "&#233;", "end"}},
    {"entity cut off by the end stays", "x&amp", {"x&amp"}},
    // Bytes 0x80-0xFF are ANSI letters: a name holding them comes back whole
    // and the fields after it keep their numbers.
    {"high bytes are text", "SPOOL\r\nf\r\n3\r\nCaf\xE9 \xFF\x80\r\nB\xFCro Drucker\r\n42",
     {"SPOOL", "f", "3", "Caf\xE9 \xFF\x80", "B\xFCro Drucker", "42"}},
    {"line starting with a high byte", "OK\r\n\xE9t\xE9", {"OK", "\xE9t\xE9"}},
};

void PrintTo(const SplitCase& c, std::ostream* out)
{
    *out << c.name;
}

class SplitReplyFieldsTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitReplyFieldsTest, GivesTheFields)
{
    EXPECT_EQ(Split(GetParam().reply), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(Replies, SplitReplyFieldsTest, ::testing::ValuesIn(kSplitCases),
                         [](const ::testing::TestParamInfo<SplitCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != 0; ++c)
                                 name += isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

TEST(SplitReplyFields, FieldsBeyondTheTableAreDroppedAndNothingIsWrittenPastIt)
{
    std::string reply;
    for (int i = 0; i < 12; ++i)
        reply += "line" + std::to_string(i) + "\r\n";
    std::vector<char> text(reply.begin(), reply.end());
    text.push_back(0);
    char sentinel = 0;
    char* table[12];
    for (char*& entry : table)
        entry = &sentinel;

    int count = SplitReplyFields(text.data(), table, kReplyFieldTableSize);

    ASSERT_EQ(count, 9);
    EXPECT_STREQ(table[0], "line0");
    EXPECT_STREQ(table[8], "line8") << "the last field kept ends at its own line";
    EXPECT_EQ(table[9], nullptr);
    EXPECT_EQ(table[10], &sentinel);
    EXPECT_EQ(table[11], &sentinel);
}

TEST(SplitReplyFields, SmallTablesHoldOnlyTheClosingNull)
{
    char text[] = "a\r\nb";
    char* table[2] = {text, text};
    EXPECT_EQ(SplitReplyFields(text, table, 1), 0);
    EXPECT_EQ(table[0], nullptr);
    EXPECT_EQ(table[1], text);
    EXPECT_EQ(SplitReplyFields(text, table, 0), 0);
}

TEST(SplitReplyFields, ReturnsTheFieldCount)
{
    char text[] = "OK\r\n17\r\n";
    char* table[kReplyFieldTableSize];
    EXPECT_EQ(SplitReplyFields(text, table, kReplyFieldTableSize), 3);
}

struct UnescapeCase {
    std::string text;
    std::string decoded;
};

TEST(XmlUnescape, DecodesTheFiveEntitiesInOnePass)
{
    const UnescapeCase cases[] = {
        {"R&amp;D", "R&D"},
        {"&lt;&gt;&amp;&apos;&quot;", "<>&'\""},
        {"&LT;&Amp;&QUOT;", "<&\""},
        {"&amp;lt;", "&lt;"},
        {"&amp;amp;", "&amp;"},
        {"Q&A", "Q&A"},
        {"&#39;&#233;", "&#39;&#233;"},
        {"&", "&"},
        {"&lt", "&lt"},
        {"&apos", "&apos"},
        {"&nbsp;", "&nbsp;"},
        {"\xE9&amp;\xFF", "\xE9&\xFF"},
        {"", ""},
    };
    for (const UnescapeCase& c : cases) {
        char out[64];
        EXPECT_EQ(XmlUnescape(out, c.text.c_str()), out);
        EXPECT_EQ(std::string(out), c.decoded) << c.text;
    }
}

TEST(XmlUnescape, WorksInPlace)
{
    char text[] = "a&amp;b&lt;c&quot;";
    XmlUnescape(text, text);
    EXPECT_STREQ(text, "a&b<c\"");
}

// Numeric fields are read with the atoi rule.
TEST(ReplyNumbers, FollowTheAtoiRule)
{
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"0042", 42}, {"12abc", 12}, {"", 0}, {"abc", 0}, {"-1", -1}, {"+7", 7}, {" \t9", 9}, {"4294967297", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecimalValue(c.text), c.value) << c.text;
}

}  // namespace
