#include "settings/client_settings.h"

SettingsValues ClientSettings;

bool SameSettings(const SettingsValues& one, const SettingsValues& other)
{
    return one.Url == other.Url && one.Port == other.Port && one.PollFreq == other.PollFreq &&
           one.ComputerName == other.ComputerName && one.Cipher == other.Cipher && one.UseTls == other.UseTls &&
           one.BlocksInFlight == other.BlocksInFlight && one.Proxy == other.Proxy &&
           one.LongPoll == other.LongPoll;
}

const char* MissingSetting(const SettingsValues& settings)
{
    if (settings.PollFreq == 0)
        return "PollFreq is 0";
    if (settings.Url.empty())
        return "Url is not set";
    if (settings.Port == 0)
        return "Port is 0";
    if (settings.ComputerName.empty())
        return "ComputerName is empty";
    return nullptr;
}

bool SettingsComplete(const SettingsValues& settings)
{
    return MissingSetting(settings) == nullptr;
}
