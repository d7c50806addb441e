// The settings work of the main window's handlers, written against a narrow
// view of the window so it runs and is tested without one.
#pragma once

#include <string>

class SettingsStore;

enum class SettingsEdit { Url, Port, PollFreq, Cpu, Cipher, User, Proxy };
enum class FirstPage { Status, Settings };

// What the settings rules need of the main window.
class SettingsView {
public:
    virtual ~SettingsView() = default;
    virtual void SetEditText(SettingsEdit edit, const std::string& text) = 0;
    virtual std::string EditText(SettingsEdit edit) = 0;
    virtual void SetUseTlsTicked(bool ticked) = 0;
    virtual bool UseTlsTicked() = 0;
    virtual void ShowFirstPage(FirstPage page) = 0;
    // Appends a printer to the Printers page; ticked means exposed.
    virtual void AddPrinter(const char* name, bool ticked) = 0;
    // Without a Printers page the load leaves the printers alone: a poller
    // reads them, and creates missing hide flags, at each registration.
    virtual bool HasPrintersPage() const { return true; }
};

// A poller without a window (the Linux daemon, the Windows service) loads
// the settings with nothing to fill.
class NoSettingsView final : public SettingsView {
public:
    void SetEditText(SettingsEdit, const std::string&) override {}
    std::string EditText(SettingsEdit) override { return std::string(); }
    void SetUseTlsTicked(bool) override {}
    bool UseTlsTicked() override { return false; }
    void ShowFirstPage(FirstPage) override {}
    void AddPrinter(const char*, bool) override {}
    bool HasPrintersPage() const override { return false; }
};

// How a handler ended. For anything but Done, message is the text to show the
// user and the handler stopped there, steps already done staying done.
struct SettingsOutcome {
    enum Kind { Done, Refused, WriteFailed } kind = Done;
    std::string message;
};

// Start-up: loads ClientSettings with their defaults, writes missing values
// back, fills the Settings page, picks the first page and fills the Printers
// page. showPanel tells whether the window may stay visible.
SettingsOutcome LoadSettingsAtStart(SettingsStore& store, SettingsView& view, bool* showPanel);

// OK: stores the Settings page into ClientSettings and the key.
SettingsOutcome StoreSettingsOnOk(SettingsStore& store, SettingsView& view);

// A printer ticked (exposed) or cleared (hidden) on the Printers page.
SettingsOutcome StorePrinterFlag(SettingsStore& store, const char* printerName, bool ticked);

// The store IsPrinterHidden reads through; set while the main window holds the key.
void UseSettingsStore(SettingsStore* store);
