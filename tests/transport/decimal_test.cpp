#include <gtest/gtest.h>

#include "transport/decimal.h"

TEST(DecimalValue, FollowsTheAtoiRule)
{
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {
        {"0042", 42}, {"12abc", 12}, {"", 0}, {"abc", 0}, {"-1", -1}, {"+7", 7},
        {" \t\n\v\f\r99", 99}, {"- 5", 0}, {"2147483647", 2147483647},
        {"2147483648", INT32_MIN},  // wraps around instead of overflowing
        {"4294967297", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DecimalValue(c.text), c.value) << '"' << c.text << '"';
}
