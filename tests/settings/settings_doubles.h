// Doubles for the settings rules: a settings key in memory, the main window's
// Settings and Printers pages, and the computer's printers, user and name.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings_form.h"
#include "settings/settings_store.h"

// A value as the registry keeps it: its type and its data.
struct StoredValue {
    enum Type { Integer, Text, ExpandText, Binary } type = Integer;
    int32_t number = 0;
    std::string text;

    static StoredValue Int(int32_t number) { return {Integer, number, std::string()}; }
    static StoredValue Str(const std::string& text) { return {Text, 0, text}; }
    bool operator==(const StoredValue& other) const;
};

// Follows the key's reading rules: an integer only as Integer, a text as Text
// or ExpandText up to its first NUL; a write replaces a value of any type.
class MemoryStore : public SettingsStore {
public:
    std::map<std::string, StoredValue> values;
    std::set<std::string> failingWrites;  // value names whose write fails
    bool everyWriteFails = false;         // as when the key could not be opened
    std::vector<std::string> writes;      // every write attempted, in order

    bool ReadInteger(const char* name, int32_t* value) override;
    std::string ReadText(const char* name) override;
    bool WriteInteger(const char* name, int32_t value) override;
    bool WriteText(const char* name, const std::string& value) override;

private:
    bool WriteAllowed(const char* name);
};

class ViewDouble : public SettingsView {
public:
    std::map<SettingsEdit, std::string> edits;
    bool useTlsTicked = false;
    std::optional<FirstPage> firstPage;
    std::vector<std::pair<std::string, bool>> printers;  // name, ticked

    void SetEditText(SettingsEdit edit, const std::string& text) override { edits[edit] = text; }
    std::string EditText(SettingsEdit edit) override { return edits[edit]; }
    void SetUseTlsTicked(bool ticked) override { useTlsTicked = ticked; }
    bool UseTlsTicked() override { return useTlsTicked; }
    void ShowFirstPage(FirstPage page) override { firstPage = page; }
    void AddPrinter(const char* name, bool ticked) override { printers.emplace_back(name, ticked); }
};

// What ListInstalledPrinters and WindowsUserName give in the tests.
extern std::vector<std::string> InstalledPrinters;
extern std::string UserName;
// What ComputerNameOfThisPc gives where the test program doubles it.
extern std::string ThisComputerName;
