// The toolkit's string-to-integer rule for the number edits of the Settings page.
#pragma once

#include <cstdint>
#include <string>

// Leading blanks are skipped; then either an optional sign and decimal digits,
// or a hexadecimal prefix ("$", "x" or "0x", either case) and hexadecimal
// digits. Nothing may follow, not even a blank. Text that does not convert,
// or whose value lies outside the signed 32-bit range, gives 0.
int32_t IntegerFromText(const std::string& text);

// The same rule, telling apart text that does not convert: false then, and
// value is left as it was.
bool ParseIntegerText(const std::string& text, int32_t* value);
