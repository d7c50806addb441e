#include "settings/setting_limits.h"

#include "settings/client_settings.h"

namespace {

std::string TooLong(const char* field, size_t limit)
{
    return std::string(field) + " longer than " + std::to_string(limit) + " characters";
}

}  // namespace

std::string OverlongSetting(const SettingsValues& settings)
{
    // In the order the client takes them: host, computer name, cipher.
    if (settings.Url.size() > kServerNameLimit)
        return TooLong("Server name", kServerNameLimit);
    if (settings.ComputerName.size() > kComputerNameLimit)
        return TooLong("Computer name", kComputerNameLimit);
    if (settings.Cipher.size() > kCipherLimit)
        return TooLong("Cipher string", kCipherLimit);
    return std::string();
}
