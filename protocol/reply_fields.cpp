#include "protocol/reply_fields.h"

#include <cstring>

#include "transport/ascii.h"

namespace {

// Bytes are compared as unsigned: 0x80-0xFF are letters of the ANSI code page
// (accented document and printer names), never separators.
bool IsSeparator(unsigned char c)
{
    return c >= 0x01 && c <= 0x1F;
}

struct Entity {
    const char* text;
    char character;
};

// In this order: the first match wins.
const Entity kEntities[] = {
    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'},
};

}  // namespace

char* XmlUnescape(char* out, const char* text)
{
    const unsigned char* read = reinterpret_cast<const unsigned char*>(text);
    char* write = out;
    while (*read != 0) {
        const Entity* found = nullptr;
        if (*read == '&') {
            for (const Entity& entity : kEntities) {
                // A cut-off entity meets the text's NUL and is no match.
                if (StartsWithNoCase(reinterpret_cast<const char*>(read), entity.text)) {
                    found = &entity;
                    break;
                }
            }
        }
        // One pass: a decoded character is never looked at again, so
        // "&amp;lt;" stays "&lt;".
        if (found != nullptr) {
            *write++ = found->character;
            read += strlen(found->text);
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
