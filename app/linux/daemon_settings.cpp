#include "app/linux/daemon_settings.h"

#include <memory>

#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
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

bool SameServer(const SettingsValues& one, const SettingsValues& other)
{
    return one.Url == other.Url && one.Port == other.Port && one.UseTls == other.UseTls;
}

}  // namespace

bool LoadDaemonSettings(const char* path, std::string* message, bool* registersAgain)
{
    std::unique_ptr<ConfFile> file(new ConfFile);
    if (!LoadConfFile(path, file.get(), message))
        return false;
    // The Windows program's start-up load. It cannot fail here: the file
    // store takes every write back without keeping it.
    NoWindow window;
    bool showPanel = false;
    const SettingsValues before = ClientSettings;
    LoadSettingsAtStart(*file, window, &showPanel);
    const bool sameServer = SameServer(before, ClientSettings);
    *registersAgain = CurrentFile == nullptr || !sameServer || before.ComputerName != ClientSettings.ComputerName ||
                      !CurrentFile->HidesTheSamePrinters(*file);
    if (*registersAgain) {
        ComputerToken = -1;
        RegistrationCountdown = 0;
    }
    // The new server may answer under another of the service paths.
    if (!sameServer)
        ServicePrefix[0] = 0;
    UseSettingsStore(file.get());
    CurrentFile = std::move(file);
    return true;
}
