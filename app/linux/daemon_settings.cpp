#include "app/linux/daemon_settings.h"

#include <memory>

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
    LoadSettingsAtStart(*file, window, &showPanel);
    UseSettingsStore(file.get());
    CurrentFile = std::move(file);
    return true;
}
