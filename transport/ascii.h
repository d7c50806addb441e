// Letter case and digits of ASCII only, as the C locale has them: bytes of the
// ANSI code page (0x80-0xFF) are never letters here, whatever the system's
// locale says.
#pragma once

inline unsigned char LowerAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

inline unsigned char UpperAscii(unsigned char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

// True when text begins with prefix, ASCII letters compared without case. A
// text that ends first (its NUL) never matches.
inline bool StartsWithNoCase(const char* text, const char* prefix)
{
    for (; *prefix != 0; ++text, ++prefix) {
        if (LowerAscii(static_cast<unsigned char>(*text)) != LowerAscii(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

// The value of a hexadecimal digit, -1 for any other byte.
inline int HexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = LowerAscii(c);
    return (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
}
