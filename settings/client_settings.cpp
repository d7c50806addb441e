#include "settings/client_settings.h"

SettingsValues ClientSettings;

bool SettingsComplete(const SettingsValues& settings)
{
    return settings.PollFreq != 0 && !settings.Url.empty() && settings.Port != 0 &&
           !settings.ComputerName.empty();
}
