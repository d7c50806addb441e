#include "app/linux/daemon_settings.h"

#include <memory>

#include "app/headless_loop.h"
#include "app/linux/environment_proxy.h"
#include "settings/client_settings.h"
#include "settings/conffile/conf_file.h"
#include "settings/settings_form.h"

namespace {

// The file in force; the hide flags are read from it at every registration.
std::unique_ptr<ConfFile> CurrentFile;

}  // namespace

bool LoadDaemonSettings(const char* path, std::string* message, bool* registersAgain)
{
    std::unique_ptr<ConfFile> file(new ConfFile);
    if (!LoadConfFile(path, file.get(), message))
        return false;
    // The Windows program's start-up load. It cannot fail here: the file
    // store takes every write back without keeping it.
    NoSettingsView window;
    bool showPanel = false;
    const SettingsValues inForce = ClientSettings;
    LoadSettingsAtStart(*file, window, &showPanel);
    // Without a proxy in the file, the one the environment names, as other
    // Linux programs take it.
    if (ClientSettings.Proxy.empty() &&
        !ProxyFromEnvironment(ClientSettings.Url, ClientSettings.Port, ClientSettings.UseTls, &ClientSettings.Proxy, message)) {
        ClientSettings = inForce;
        return false;
    }
    const bool samePrintersHidden = CurrentFile != nullptr && CurrentFile->HidesTheSamePrinters(*file);
    *registersAgain = RegisterAfreshAfterChanges(inForce, samePrintersHidden);
    UseSettingsStore(file.get());
    CurrentFile = std::move(file);
    return true;
}
