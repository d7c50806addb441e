#include "settings/win32/registry_store.h"

#include <algorithm>
#include <vector>

const char kSettingsKeyPath[] = "SOFTWARE\\Morvelund\\Tarnwick Web Printing";

RegistryStore::RegistryStore(HKEY root, const char* path) : root_(root), path_(path)
{
    Reopen();
}

void RegistryStore::Reopen()
{
    Close();
    HKEY key = nullptr;
    if (RegCreateKeyExA(root_, path_, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS)
        key_ = key;
}

RegistryStore::~RegistryStore()
{
    Close();
}

void RegistryStore::Close()
{
    if (key_ == nullptr)
        return;
    RegCloseKey(key_);
    key_ = nullptr;
}

bool RegistryStore::ReadInteger(const char* name, int32_t* value)
{
    if (key_ == nullptr)
        return false;
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    // Any other type, or a DWORD of the wrong length, counts as missing.
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    *value = static_cast<int32_t>(data);
    return true;
}

std::string RegistryStore::ReadText(const char* name)
{
    if (key_ == nullptr)
        return std::string();
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExA(key_, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0)
        return std::string();
    // One spare byte, so a value stored without its NUL still ends in one.
    std::vector<char> data(size + 1, '\0');
    DWORD held = size;
    // REG_EXPAND_SZ is taken as stored: RegQueryValueExA does not expand it.
    if (RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &held) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::string();
    return std::string(data.data());
}

bool RegistryStore::Holds(const char* name, DWORD type, const BYTE* data, DWORD size)
{
    // One byte more than the value written, so a longer value cannot pass.
    std::vector<BYTE> held(size + 1);
    DWORD heldType = REG_NONE;
    DWORD heldSize = static_cast<DWORD>(held.size());
    return RegQueryValueExA(key_, name, nullptr, &heldType, held.data(), &heldSize) == ERROR_SUCCESS &&
           heldType == type && heldSize == size && std::equal(data, data + size, held.begin());
}

bool RegistryStore::Write(const char* name, DWORD type, const BYTE* data, DWORD size)
{
    if (key_ == nullptr)
        return false;
    if (writeOnlyChanges_ && Holds(name, type, data, size))
        return true;
    return RegSetValueExA(key_, name, 0, type, data, size) == ERROR_SUCCESS;
}

bool RegistryStore::WriteInteger(const char* name, int32_t value)
{
    const DWORD data = static_cast<DWORD>(value);
    return Write(name, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

bool RegistryStore::WriteText(const char* name, const std::string& value)
{
    // Stored with its terminating NUL, as the registry expects of REG_SZ.
    return Write(name, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
}
