#include "settings/client_settings.h"

SettingsValues ClientSettings;

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
