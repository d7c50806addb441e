// The settings key in the registry: opened (created when missing) with read
// and write access, held open until closed.
#pragma once

#include <windows.h>

#include "settings/settings_store.h"

// Under HKEY_LOCAL_MACHINE. The registry takes paths below a root without a
// leading backslash.
extern const char kSettingsKeyPath[];

class RegistryStore : public SettingsStore {
public:
    // Whether the key could be opened is not checked: without it every read
    // finds nothing and every write fails.
    explicit RegistryStore(HKEY root = HKEY_LOCAL_MACHINE, const char* path = kSettingsKeyPath);
    ~RegistryStore() override;
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // Closes the key without forcing a flush; later reads and writes fail.
    void Close();
    // Opens the key afresh, created when missing: a handle to a key that was
    // deleted reads nothing and writes nowhere, even once the key is back.
    void Reopen();
    // From now on a write that would store what the value holds already
    // (same type, same bytes) is skipped and succeeds: it would only wake
    // those watching the key for changes.
    void WriteOnlyChanges() { writeOnlyChanges_ = true; }

    bool ReadInteger(const char* name, int32_t* value) override;
    std::string ReadText(const char* name) override;
    bool WriteInteger(const char* name, int32_t value) override;
    bool WriteText(const char* name, const std::string& value) override;

private:
    bool Holds(const char* name, DWORD type, const BYTE* data, DWORD size);
    bool Write(const char* name, DWORD type, const BYTE* data, DWORD size);

    HKEY root_;
    const char* path_;
    HKEY key_ = nullptr;
    bool writeOnlyChanges_ = false;
};
