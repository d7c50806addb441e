#include "settings/integer_text.h"

namespace {

int DigitValue(char c, int base)
{
    int value = 36;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'z')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

// Length of a hexadecimal prefix at position, 0 when there is none.
size_t HexPrefixLength(const std::string& text, size_t position)
{
    const char first = position < text.size() ? text[position] : '\0';
    if (first == '$' || first == 'x' || first == 'X')
        return 1;
    const char second = position + 1 < text.size() ? text[position + 1] : '\0';
    if (first == '0' && (second == 'x' || second == 'X'))
        return 2;
    return 0;
}

}  // namespace

int32_t IntegerFromText(const std::string& text)
{
    int32_t value = 0;
    return ParseIntegerText(text, &value) ? value : 0;
}

bool ParseIntegerText(const std::string& text, int32_t* value)
{
    size_t position = 0;
    while (position < text.size() && text[position] == ' ')
        ++position;

    int base = 10;
    bool negative = false;
    if (const size_t prefix = HexPrefixLength(text, position)) {
        base = 16;
        position += prefix;
    } else if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }

    // The magnitude is built in 64 bits and checked after every digit, so no
    // length of text can overflow it.
    const int64_t limit = negative ? INT64_C(2147483648) : INT64_C(2147483647);
    int64_t magnitude = 0;
    const size_t firstDigit = position;
    for (; position < text.size(); ++position) {
        const int digit = DigitValue(text[position], base);
        if (digit < 0)
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return false;
    }
    if (position == firstDigit)
        return false;
    *value = static_cast<int32_t>(negative ? -magnitude : magnitude);
    return true;
}
