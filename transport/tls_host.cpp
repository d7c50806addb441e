#include "transport/tls_host.h"

#include <cstring>

#include "transport/tls_reasons.h"

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

bool ReadTlsHost(const char* host, bool* dotted, unsigned char address[4], char* reason, int reasonCapacity)
{
    *dotted = IsDottedAddress(host);
    if (*dotted && !ReadPlainDottedAddress(host, address)) {
        DescribeTlsFailure(TlsFailure::AddressNotPlain, host, reason, reasonCapacity);
        return false;
    }
    return true;
}
