#include "settings/setting_rules.h"

#include "settings/setting_limits.h"

namespace {

bool AllCharactersIn(const std::string& text, const char* allowed)
{
    return text.find_first_not_of(allowed) == std::string::npos;
}

}  // namespace

std::string NumberProblem(const std::string& name, const std::string& value, unsigned long minimum,
                          unsigned long maximum)
{
    const size_t firstSignificant = value.find_first_not_of('0');
    const std::string digits = firstSignificant == std::string::npos ? "0" : value.substr(firstSignificant);
    if (!value.empty() && AllCharactersIn(value, "0123456789") && digits.size() <= 9) {
        const unsigned long number = std::stoul(digits);
        if (number >= minimum && number <= maximum)
            return std::string();
    }
    return name + value + " is not a number from " + std::to_string(minimum) + " to " +
           std::to_string(maximum) + ".";
}

std::string LengthProblem(const std::string& name, const std::string& value, size_t limit)
{
    if (value.size() <= limit)
        return std::string();
    return name + " is " + std::to_string(value.size()) + " characters long; at most " +
           std::to_string(limit) + " are allowed.";
}

bool IsHostText(const std::string& text)
{
    return AllCharactersIn(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-_");
}

std::string HostProblem(const std::string& name, const std::string& value)
{
    if (IsHostText(value))
        return std::string();
    return name + value + " is not a host name or address (give no scheme, port or path).";
}

std::string ProxyProblem(const std::string& name, const std::string& value)
{
    if (value.empty())
        return std::string();
    const size_t colon = value.rfind(':');
    const std::string host = colon == std::string::npos ? value : value.substr(0, colon);
    if (colon == std::string::npos || host.empty() || !IsHostText(host) || host.size() > kServerNameLimit ||
        !NumberProblem("", value.substr(colon + 1), kPortMinimum, kPortMaximum).empty())
        return name + value + " is not a proxy as host:port (a host name or address of at most " +
               std::to_string(kServerNameLimit) + " characters, a port from 1 to 65535).";
    return std::string();
}

bool SplitProxy(const std::string& value, std::string* host, int32_t* port)
{
    if (value.empty() || !ProxyProblem("", value).empty())
        return false;
    const size_t colon = value.rfind(':');
    *host = value.substr(0, colon);
    const std::string digits = value.substr(colon + 1);
    *port = static_cast<int32_t>(std::stoul(digits));
    return true;
}
