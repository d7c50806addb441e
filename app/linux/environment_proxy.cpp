#include "app/linux/environment_proxy.h"

#include <cstdlib>

#include "settings/setting_rules.h"
#include "transport/ascii.h"

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

bool NoProxyCovers(const std::string& host, const std::string& list)
{
    const std::string name = Lower(host);
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
        if (pattern == "*")
            return true;
        // ".example.com" and "*.example.com" read as example.com.
        const size_t suffixStart = pattern.find_first_not_of("*.");
        if (suffixStart == std::string::npos)
            continue;
        const std::string suffix = pattern.substr(suffixStart);
        if (name == suffix)
            return true;
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            name[name.size() - suffix.size() - 1] == '.')
            return true;
    }
    return false;
}

}  // namespace

bool ProxyFromEnvironment(const std::string& host, bool tls, std::string* proxy, std::string* problem)
{
    proxy->clear();
    std::string name;
    const std::string value = Variable(tls ? "https_proxy" : "http_proxy", &name);
    std::string noProxyName;
    if (value.empty() || NoProxyCovers(host, Variable("no_proxy", &noProxyName)))
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
