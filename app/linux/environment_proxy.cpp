#include "app/linux/environment_proxy.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "settings/setting_rules.h"
#include "transport/ascii.h"
#include "transport/tls_host.h"

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(LowerAscii(static_cast<unsigned char>(c)));
    return text;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(UpperAscii(static_cast<unsigned char>(c)));
    return text;
}

// The variable's value, the lower-case name first; empty when neither is set.
std::string Variable(const std::string& lowerName, std::string* nameFound)
{
    for (const std::string& name : {lowerName, Upper(lowerName)}) {
        const char* value = getenv(name.c_str());
        if (value != nullptr && *value != 0) {
            *nameFound = name;
            return value;
        }
    }
    return std::string();
}

// An address in network order: 4 bytes for IPv4, 16 for IPv6, none when the
// text is no address.
struct Address {
    unsigned char bytes[16];
    size_t size;
};

Address ParseAddress(const std::string& text)
{
    Address address = {{}, 0};
    if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1)
        address.size = 4;
    else if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1)
        address.size = 16;
    return address;
}

// Whether the first bits of both are the same; false across families.
bool SamePrefix(const Address& one, const Address& other, size_t bits)
{
    if (one.size != other.size || bits > one.size * 8)
        return false;
    const size_t whole = bits / 8;
    const unsigned mask = (0xFF00u >> (bits % 8)) & 0xFFu;
    return memcmp(one.bytes, other.bytes, whole) == 0 &&
           (mask == 0 || ((one.bytes[whole] ^ other.bytes[whole]) & mask) == 0);
}

// One entry of no_proxy, lower case and trimmed: "name", ".name" or
// "*.name" (that name and every name below it), an address, or an address
// range as "address/bits", each with ":port" if it covers one port alone
// (an IPv6 address in brackets then).
bool EntryCovers(const std::string& entry, const std::string& name, const Address& address, int port)
{
    std::string pattern = entry;
    std::string portText;
    if (!entry.empty() && entry[0] == '[') {
        const size_t close = entry.find(']');
        if (close == std::string::npos || (close + 1 < entry.size() && entry[close + 1] != ':'))
            return false;
        pattern = entry.substr(1, close - 1);
        portText = entry.substr(std::min(close + 2, entry.size()));
    } else if (entry.find(':') != std::string::npos && entry.find(':') == entry.rfind(':')) {
        pattern = entry.substr(0, entry.find(':'));
        portText = entry.substr(entry.find(':') + 1);
    }
    if (!portText.empty() && portText != std::to_string(port))
        return false;

    const size_t slash = pattern.find('/');
    if (slash != std::string::npos) {
        const std::string bits = pattern.substr(slash + 1);
        const bool digits =
            !bits.empty() && bits.size() <= 3 && bits.find_first_not_of("0123456789") == std::string::npos;
        return digits && SamePrefix(ParseAddress(pattern.substr(0, slash)), address,
                                    static_cast<size_t>(atoi(bits.c_str())));
    }
    const Address listed = ParseAddress(pattern);
    if (listed.size != 0)
        return SamePrefix(listed, address, listed.size * 8);
    // Names never cover an address: "2.3" is no part of 10.1.2.3.
    if (address.size != 0)
        return false;
    // ".example.com" and "*.example.com" read as example.com.
    const size_t suffixStart = pattern.find_first_not_of("*.");
    if (suffixStart == std::string::npos)
        return false;
    const std::string suffix = pattern.substr(suffixStart);
    return name == suffix || (name.size() > suffix.size() &&
                              name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                              name[name.size() - suffix.size() - 1] == '.');
}

bool NoProxyCovers(const std::string& host, int port, const std::string& list)
{
    const std::string name = Lower(host);
    // The connect reads a dotted address as inet_aton does ("127.1" included).
    Address address = {{}, 0};
    in_addr dotted;
    if (IsDottedAddress(host.c_str()) && inet_aton(host.c_str(), &dotted) != 0) {
        memcpy(address.bytes, &dotted, 4);
        address.size = 4;
    }
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string entry = list.substr(start, end - start);
        start = end + 1;
        const size_t first = entry.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        const std::string pattern = Lower(entry.substr(first, entry.find_last_not_of(" \t") + 1 - first));
        if (pattern == "*" || EntryCovers(pattern, name, address, port))
            return true;
    }
    return false;
}

}  // namespace

bool ProxyFromEnvironment(const std::string& host, int port, bool tls, std::string* proxy, std::string* problem)
{
    proxy->clear();
    std::string name;
    const std::string value = Variable(tls ? "https_proxy" : "http_proxy", &name);
    std::string noProxyName;
    if (value.empty() || NoProxyCovers(host, port, Variable("no_proxy", &noProxyName)))
        return true;

    // Another scheme leaves "scheme:" here, which has no port.
    std::string authority = Lower(value.substr(0, 7)) == "http://" ? value.substr(7) : value;
    authority = authority.substr(0, authority.find('/'));
    if (authority.find(':') == std::string::npos)
        authority += ":80";
    if (authority.find('@') != std::string::npos || !ProxyProblem("", authority).empty()) {
        *problem = name + "=" + value +
                   " is no HTTP proxy webprintd can use: give http://host:port/ (no user name or password).";
        return false;
    }
    *proxy = authority;
    return true;
}
