#include "settings/settings_form.h"

#include <atomic>

#include "protocol/printer_inventory.h"
#include "settings/client_settings.h"
#include "settings/computer_name.h"
#include "settings/integer_text.h"
#include "settings/setting_limits.h"
#include "settings/setting_rules.h"
#include "settings/settings_store.h"

namespace {

const char kShowStartUpPanel[] = "ShowStartUpPanel";
const char kComputerName[] = "ComputerName";
const char kPort[] = "Port";
const char kPollFreq[] = "PollFreq";
const char kUrl[] = "Url";
const char kCipher[] = "Cipher";
const char kUseTls[] = "UseTls";
const char kProxy[] = "Proxy";
const char kBlocksInFlight[] = "BlocksInFlight";
const char kLongPoll[] = "LongPoll";

const int32_t kDefaultPort = 7000;
const int32_t kDefaultPollFreq = 30;
const char kDefaultCipher[] = "k2vd9qa3m1t74p6n";

// Read by the tray program's poll thread while the window's thread may let
// go of the key.
std::atomic<SettingsStore*> FlagStore{nullptr};

SettingsOutcome FailedWrite(const std::string& valueName)
{
    return {SettingsOutcome::WriteFailed, FailedWriteText(valueName)};
}

// A missing integer takes its default, which is written back. False when
// that write failed.
bool LoadInteger(SettingsStore& store, const char* name, int32_t defaultValue, int32_t* setting)
{
    if (store.ReadInteger(name, setting))
        return true;
    *setting = defaultValue;
    return store.WriteInteger(name, defaultValue);
}

// A setting the client never writes; a value outside its range counts as
// missing.
int32_t ReadAdministratorSetting(SettingsStore& store, const char* name, int32_t minimum, int32_t maximum,
                                 int32_t missing)
{
    int32_t value = 0;
    if (store.ReadInteger(name, &value) && value >= minimum && value <= maximum)
        return value;
    return missing;
}

// Whether the flag hides its printer: any non-zero value does. A missing flag
// is created as 0, exposed; *createFailed tells whether that write failed.
bool ReadHideFlag(SettingsStore& store, const std::string& valueName, bool* createFailed)
{
    *createFailed = false;
    int32_t flag = 0;
    if (store.ReadInteger(valueName.c_str(), &flag))
        return flag != 0;
    *createFailed = !store.WriteInteger(valueName.c_str(), 0);
    return false;
}

}  // namespace

SettingsOutcome LoadSettingsAtStart(SettingsStore& store, SettingsView& view, bool* showPanel)
{
    // The window may stay visible at the very first start, or when the value
    // was set from outside; the client itself only ever writes 0.
    int32_t showStartUpPanel = 0;
    if (store.ReadInteger(kShowStartUpPanel, &showStartUpPanel)) {
        *showPanel = showStartUpPanel != 0;
    } else {
        *showPanel = true;
        if (!store.WriteInteger(kShowStartUpPanel, 0))
            return FailedWrite(kShowStartUpPanel);
    }

    // Written back always, so the name found at the first start stays in use
    // even when the computer is renamed later.
    ClientSettings.ComputerName = store.ReadText(kComputerName);
    if (ClientSettings.ComputerName.empty())
        ClientSettings.ComputerName = ComputerNameOfThisPc();
    view.SetEditText(SettingsEdit::Cpu, ClientSettings.ComputerName);
    if (!store.WriteText(kComputerName, ClientSettings.ComputerName))
        return FailedWrite(kComputerName);

    view.SetEditText(SettingsEdit::User, WindowsUserName());

    if (!LoadInteger(store, kPort, kDefaultPort, &ClientSettings.Port))
        return FailedWrite(kPort);
    view.SetEditText(SettingsEdit::Port, std::to_string(ClientSettings.Port));

    if (!LoadInteger(store, kPollFreq, kDefaultPollFreq, &ClientSettings.PollFreq))
        return FailedWrite(kPollFreq);
    view.SetEditText(SettingsEdit::PollFreq, std::to_string(ClientSettings.PollFreq));

    ClientSettings.Url = store.ReadText(kUrl);
    view.SetEditText(SettingsEdit::Url, ClientSettings.Url);
    if (!store.WriteText(kUrl, ClientSettings.Url))
        return FailedWrite(kUrl);

    ClientSettings.Cipher = store.ReadText(kCipher);
    if (ClientSettings.Cipher.empty())
        ClientSettings.Cipher = kDefaultCipher;
    view.SetEditText(SettingsEdit::Cipher, ClientSettings.Cipher);
    if (!store.WriteText(kCipher, ClientSettings.Cipher))
        return FailedWrite(kCipher);

    // Not written back: a key from before the setting existed stays as it is.
    int32_t useTls = 0;
    ClientSettings.UseTls = store.ReadInteger(kUseTls, &useTls) && useTls != 0;
    view.SetUseTlsTicked(ClientSettings.UseTls);

    // Not written back either; missing or empty connects straight.
    ClientSettings.Proxy = store.ReadText(kProxy);
    view.SetEditText(SettingsEdit::Proxy, ClientSettings.Proxy);

    // Administrators' settings, with no field in the window: missing or out
    // of range, one block at a time and queries answered at once.
    ClientSettings.BlocksInFlight =
        ReadAdministratorSetting(store, kBlocksInFlight, kBlocksInFlightMinimum, kBlocksInFlightMaximum, 1);
    ClientSettings.LongPoll = ReadAdministratorSetting(store, kLongPoll, kLongPollMinimum, kLongPollMaximum, 0);

    view.ShowFirstPage(SettingsComplete(ClientSettings) ? FirstPage::Status : FirstPage::Settings);
    if (!view.HasPrintersPage())
        return SettingsOutcome();

    const PrinterNameList printers = ListInstalledPrinters();
    for (int32_t i = 0; i < printers.count; ++i) {
        const std::string flagName = kPrinterFlagPrefix + std::string(printers.names[i]);
        bool createFailed;
        const bool hidden = ReadHideFlag(store, flagName, &createFailed);
        if (createFailed)
            return FailedWrite(flagName);
        view.AddPrinter(printers.names[i], !hidden);
    }
    return SettingsOutcome();
}

SettingsOutcome StoreSettingsOnOk(SettingsStore& store, SettingsView& view)
{
    SettingsValues edited;
    edited.ComputerName = view.EditText(SettingsEdit::Cpu);
    edited.Url = view.EditText(SettingsEdit::Url);
    edited.Cipher = view.EditText(SettingsEdit::Cipher);
    edited.Proxy = view.EditText(SettingsEdit::Proxy);
    // Checked before anything is stored, so a refused OK leaves the settings
    // and the key exactly as they were.
    const std::string overlong = OverlongSetting(edited);
    if (!overlong.empty())
        return {SettingsOutcome::Refused, overlong + ": settings not saved"};
    const std::string badProxy = ProxyProblem("Proxy ", edited.Proxy);
    if (!badProxy.empty())
        return {SettingsOutcome::Refused, badProxy + " Settings not saved."};

    // Each setting is assigned, then written, before the next is taken: a
    // failed write leaves the ones before it in effect.
    ClientSettings.Port = IntegerFromText(view.EditText(SettingsEdit::Port));
    if (!store.WriteInteger(kPort, ClientSettings.Port))
        return FailedWrite(kPort);

    const int32_t pollFreq = IntegerFromText(view.EditText(SettingsEdit::PollFreq));
    ClientSettings.PollFreq = pollFreq < 1 ? 1 : pollFreq;
    if (!store.WriteInteger(kPollFreq, ClientSettings.PollFreq))
        return FailedWrite(kPollFreq);

    ClientSettings.ComputerName = edited.ComputerName;
    if (!store.WriteText(kComputerName, ClientSettings.ComputerName))
        return FailedWrite(kComputerName);

    ClientSettings.Url = edited.Url;
    if (!store.WriteText(kUrl, ClientSettings.Url))
        return FailedWrite(kUrl);

    // An empty cipher is stored and used as it is; the default comes back
    // only at the next start.
    ClientSettings.Cipher = edited.Cipher;
    if (!store.WriteText(kCipher, ClientSettings.Cipher))
        return FailedWrite(kCipher);

    ClientSettings.UseTls = view.UseTlsTicked();
    if (!store.WriteInteger(kUseTls, ClientSettings.UseTls ? 1 : 0))
        return FailedWrite(kUseTls);

    ClientSettings.Proxy = edited.Proxy;
    if (!store.WriteText(kProxy, ClientSettings.Proxy))
        return FailedWrite(kProxy);
    return SettingsOutcome();
}

SettingsOutcome StorePrinterFlag(SettingsStore& store, const char* printerName, bool ticked)
{
    const std::string flagName = kPrinterFlagPrefix + std::string(printerName);
    if (!store.WriteInteger(flagName.c_str(), ticked ? 0 : 1))
        return FailedWrite(flagName);
    return SettingsOutcome();
}

void UseSettingsStore(SettingsStore* store)
{
    FlagStore = store;
}

bool IsPrinterHidden(const char* valueName, bool* createFailed)
{
    // Without the window's key nothing can be read, and creating the flag fails.
    SettingsStore* const store = FlagStore;
    if (store == nullptr) {
        *createFailed = true;
        return false;
    }
    return ReadHideFlag(*store, valueName, createFailed);
}
