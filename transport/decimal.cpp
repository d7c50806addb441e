#include "transport/decimal.h"

int32_t DecimalValue(const char* text)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9')
        value = value * 10u + static_cast<uint32_t>(*p++ - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}
