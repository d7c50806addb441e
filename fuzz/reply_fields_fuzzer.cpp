// Splits arbitrary reply text into fields and reads every field as a number,
// checking what the poll relies on: the table is never written past its
// capacity, every field lies inside the reply and holds no separator, entity
// decoding never lengthens a text, and numbers read as C's atoi reads them.
//
// Input: one byte whose value mod 12 is the table's capacity, then the reply.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "protocol/reply_fields.h"
#include "transport/decimal.h"

namespace {

constexpr int kTableEntries = 12;

// atoi's value where it is defined: strtoll agrees whenever no overflow can
// have happened, which DecimalValue must then match exactly.
void CheckDecimal(const char* text)
{
    errno = 0;
    long long expected = strtoll(text, nullptr, 10);
    if (errno == 0 && expected >= INT32_MIN && expected <= INT32_MAX && DecimalValue(text) != expected)
        abort();
}

void CheckUnescape(const char* text)
{
    size_t length = strlen(text);
    std::vector<char> out(length + 1);
    XmlUnescape(out.data(), text);
    if (strlen(out.data()) > length)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 8192)
        return 0;
    const int capacity = data[0] % kTableEntries;
    // Exactly the reply and its NUL, so ASan sees any step past the end.
    std::vector<char> reply(data + 1, data + size);
    reply.push_back(0);
    const char* const start = reply.data();
    const char* const end = start + strlen(start);

    CheckUnescape(start);
    CheckDecimal(start);

    char* untouched = reinterpret_cast<char*>(&reply);
    char* table[kTableEntries];
    for (char*& entry : table)
        entry = untouched;
    const int count = SplitReplyFields(reply.data(), table, capacity);

    if (capacity == 0) {
        if (count != 0)
            abort();
        return 0;
    }
    // A table of one entry holds only the closing null.
    if (count < (capacity > 1 ? 1 : 0) || count > capacity - 1 || table[count] != nullptr)
        abort();
    for (int i = count + 1; i < kTableEntries; ++i) {
        if (table[i] != untouched)
            abort();
    }
    const char* previousEnd = start;
    for (int i = 0; i < count; ++i) {
        const char* field = table[i];
        if (field < previousEnd || field > end)
            abort();
        for (const char* c = field; *c != 0; ++c) {
            if (static_cast<unsigned char>(*c) < 0x20 && *c != 0)
                abort();
        }
        // Fields after the first begin past the blanks of their line.
        if (i > 0 && field[0] == ' ')
            abort();
        previousEnd = field + strlen(field);
        CheckDecimal(field);
    }
    return 0;
}
