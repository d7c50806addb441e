// The client's one settings key, behind a seam: the program uses the registry,
// the tests an in-memory double.
#pragma once

#include <cstdint>
#include <string>

// A printer's hide flag is the value named this prefix and the printer's name.
constexpr char kPrinterFlagPrefix[] = "Printer:";

// What the user is told when writing the value valueName failed, wherever
// the write was.
inline std::string FailedWriteText(const std::string& valueName)
{
    return "Failed to set data for '" + valueName + "'";
}

class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // Present only when the value exists and is an integer (REG_DWORD).
    virtual bool ReadInteger(const char* name, int32_t* value) = 0;
    // A string value (REG_SZ or REG_EXPAND_SZ, unexpanded) up to its first NUL;
    // empty when missing, of another type or unreadable.
    virtual std::string ReadText(const char* name) = 0;
    // Both replace a value of any other type; false when the write failed.
    virtual bool WriteInteger(const char* name, int32_t value) = 0;
    virtual bool WriteText(const char* name, const std::string& value) = 0;
};
