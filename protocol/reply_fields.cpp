#include "protocol/reply_fields.h"

namespace {

// Bytes are compared as unsigned: 0x80-0xFF are letters of the ANSI code page
// (accented document and printer names), never separators.
bool IsSeparator(unsigned char c)
{
    return c >= 0x01 && c <= 0x1F;
}

unsigned char LowerAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// True when text begins with entity, letters compared without case. The NUL
// at the end of text never matches, so a cut-off entity is no match.
bool StartsWithEntity(const unsigned char* text, const char* entity)
{
    for (; *entity != 0; ++text, ++entity) {
        if (LowerAscii(*text) != static_cast<unsigned char>(*entity))
            return false;
    }
    return true;
}

struct Entity {
    const char* text;
    char character;
};

// In this order: the first match wins.
const Entity kEntities[] = {
    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'},
};

int Length(const char* text)
{
    int length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

}  // namespace

char* XmlUnescape(char* out, const char* text)
{
    const unsigned char* read = reinterpret_cast<const unsigned char*>(text);
    char* write = out;
    while (*read != 0) {
        const Entity* found = nullptr;
        if (*read == '&') {
            for (const Entity& entity : kEntities) {
                if (StartsWithEntity(read, entity.text)) {
                    found = &entity;
                    break;
                }
            }
        }
        // One pass: a decoded character is never looked at again, so
        // "&amp;lt;" stays "&lt;".
        if (found != nullptr) {
            *write++ = found->character;
            read += Length(found->text);
        } else {
            *write++ = static_cast<char>(*read++);
        }
    }
    *write = 0;
    return out;
}

int SplitReplyFields(char* text, char** table, int capacity)
{
    if (capacity < 1)
        return 0;
    const int maxFields = capacity - 1;
    int count = 0;
    unsigned char* position = reinterpret_cast<unsigned char*>(text);
    if (maxFields > 0) {
        table[count++] = text;
        for (;;) {
            while (*position != 0 && !IsSeparator(*position))
                ++position;
            if (*position == 0)
                break;
            *position++ = 0;
            // A run of line breaks, blank lines and leading blanks is one break.
            while (*position != 0 && *position <= 0x20)
                ++position;
            // The table is full: the field just ended was the last one kept.
            if (count == maxFields)
                break;
            table[count++] = reinterpret_cast<char*>(position);
            if (*position == 0)
                break;
        }
    }
    table[count] = nullptr;
    for (int i = 0; i < count; ++i)
        XmlUnescape(table[i], table[i]);
    return count;
}
