// The service's text replies: one field per line, XML entities decoded.
#pragma once

#include <cstdint>

// Room for nine fields and the closing null entry.
constexpr int kReplyFieldTableSize = 10;

// Cuts text in place into fields at runs of control characters (0x01-0x1F;
// blanks after a break are skipped too) and decodes each field's entities.
// Writes at most capacity - 1 field pointers and a null after the last; extra
// fields are dropped. Returns the number of fields.
int SplitReplyFields(char* text, char** table, int capacity);

// Decodes &lt; &gt; &amp; &apos; &quot; (any letter case) in one pass; out may
// be text itself, as the output is never longer.
char* XmlUnescape(char* out, const char* text);
