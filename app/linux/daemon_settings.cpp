#include "app/linux/daemon_settings.h"

#include <memory>

#include "settings/client_settings.h"
#include "settings/conffile/conf_file.h"
#include "settings/settings_form.h"

namespace {

// The file in force; the hide flags are read from it at every registration.
std::unique_ptr<ConfFile> CurrentFile;

}  // namespace

bool LoadDaemonSettings(const char* path, std::string* message)
{
    std::unique_ptr<ConfFile> file(new ConfFile);
    if (!LoadConfFile(path, file.get(), message))
        return false;
    // The Windows program's start-up load. It cannot fail here: the file
    // store takes every write back without keeping it.
    NoSettingsView window;
    bool showPanel = false;
    LoadSettingsAtStart(*file, window, &showPanel);
    UseSettingsStore(file.get());
    CurrentFile = std::move(file);
    return true;
}
