#include "app/linux/daemon_settings.h"

#include <memory>

#include "app/linux/environment_proxy.h"
#include "settings/client_settings.h"
#include "settings/conffile/conf_file.h"
#include "settings/settings_form.h"

namespace {

// The file in force; the hide flags are read from it at every registration.
std::unique_ptr<ConfFile> CurrentFile;

// A daemon has no window to fill.
class NoWindow final : public SettingsView {
public:
    void SetEditText(SettingsEdit, const std::string&) override {}
    std::string EditText(SettingsEdit) override { return std::string(); }
    void SetUseTlsTicked(bool) override {}
    bool UseTlsTicked() override { return false; }
    void ShowFirstPage(FirstPage) override {}
    void AddPrinter(const char*, bool) override {}
};

}  // namespace

bool LoadDaemonSettings(const char* path, std::string* message)
{
    std::unique_ptr<ConfFile> file(new ConfFile);
    if (!LoadConfFile(path, file.get(), message))
        return false;
    // The Windows program's start-up load. It cannot fail here: the file
    // store takes every write back without keeping it.
    NoWindow window;
    bool showPanel = false;
    const SettingsValues inForce = ClientSettings;
    LoadSettingsAtStart(*file, window, &showPanel);
    // Without a proxy in the file, the one the environment names, as other
    // Linux programs take it.
    if (ClientSettings.Proxy.empty() &&
        !ProxyFromEnvironment(ClientSettings.Url, ClientSettings.UseTls, &ClientSettings.Proxy, message)) {
        ClientSettings = inForce;
        return false;
    }
    UseSettingsStore(file.get());
    CurrentFile = std::move(file);
    return true;
}
