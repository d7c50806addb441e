#include "transport/tls_host.h"

#include <cstring>

bool IsDottedAddress(const char* host)
{
    return strspn(host, "0123456789.") == strlen(host);
}

bool ReadPlainDottedAddress(const char* host, unsigned char address[4])
{
    const char* next = host;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *next++ != '.')
            return false;
        if (*next < '0' || *next > '9' || (next[0] == '0' && next[1] >= '0' && next[1] <= '9'))
            return false;
        int value = 0;
        for (; *next >= '0' && *next <= '9'; ++next) {
            value = value * 10 + (*next - '0');
            if (value > 255)
                return false;
        }
        address[part] = static_cast<unsigned char>(value);
    }
    return *next == 0;
}
