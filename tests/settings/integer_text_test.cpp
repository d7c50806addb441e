#include "settings/integer_text.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    int32_t expected;
};

const Case kCases[] = {
    // Decimal, with an optional sign.
    {"7000", 7000},
    {"+7000", 7000},
    {"-5", -5},
    {"-0", 0},
    {"0", 0},
    {"0000007000", 7000},
    {"70000", 70000},
    {"2147483647", INT32_MAX},
    {"-2147483648", INT32_MIN},
    // Hexadecimal prefixes, letters in either case.
    {"$1B58", 7000},
    {"$1b58", 7000},
    {"0x1b58", 7000},
    {"0X1B58", 7000},
    {"x1B58", 7000},
    {"X1b58", 7000},
    {"$7FFFFFFF", INT32_MAX},
    {"$000000000000001B58", 7000},
    // Leading blanks are skipped.
    {"  7000", 7000},
    {" $1B58", 7000},
    // Nothing may follow the digits.
    {"7000 ", 0},
    {"70x0", 0},
    {"12a", 0},
    {"1e3", 0},
    {"$1B58G", 0},
    {"7000\n", 0},
    // No digits at all.
    {"", 0},
    {" ", 0},
    {"+", 0},
    {"-", 0},
    {"$", 0},
    {"0x", 0},
    {"x", 0},
    {"abc", 0},
    // A sign belongs to decimal digits only; only blanks count as blanks.
    {"-$10", 0},
    {"$-10", 0},
    {"+0x10", 0},
    {"\t7000", 0},
    {"- 5", 0},
    // Outside the signed 32-bit range.
    {"2147483648", 0},
    {"-2147483649", 0},
    {"$80000000", 0},
    {"$FFFFFFFF", 0},
    {"99999999999999999999", 0},
};

TEST(IntegerFromText, FollowsTheToolkitRule)
{
    for (const Case& c : kCases)
        EXPECT_EQ(IntegerFromText(c.text), c.expected) << "text \"" << c.text << "\"";
}

}  // namespace
