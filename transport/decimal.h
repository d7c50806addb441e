#pragma once

#include <cstdint>

// Reads a number the way C's atoi does: leading white space, one optional sign,
// decimal digits up to the first other character; no digits gives 0. Values
// outside 32 bits wrap around instead of being undefined.
int32_t DecimalValue(const char* text);
