#include "tests/settings/settings_doubles.h"

#include "protocol/printer_inventory.h"

std::vector<std::string> InstalledPrinters;
std::string UserName = "JSMITH";

bool StoredValue::operator==(const StoredValue& other) const
{
    return type == other.type && number == other.number && text == other.text;
}

bool MemoryStore::ReadInteger(const char* name, int32_t* value)
{
    const auto found = values.find(name);
    if (found == values.end() || found->second.type != StoredValue::Integer)
        return false;
    *value = found->second.number;
    return true;
}

std::string MemoryStore::ReadText(const char* name)
{
    const auto found = values.find(name);
    if (found == values.end() ||
        (found->second.type != StoredValue::Text && found->second.type != StoredValue::ExpandText))
        return std::string();
    return found->second.text.c_str();
}

bool MemoryStore::WriteAllowed(const char* name)
{
    writes.push_back(name);
    return !everyWriteFails && failingWrites.count(name) == 0;
}

bool MemoryStore::WriteInteger(const char* name, int32_t value)
{
    if (!WriteAllowed(name))
        return false;
    values[name] = StoredValue::Int(value);
    return true;
}

bool MemoryStore::WriteText(const char* name, const std::string& value)
{
    if (!WriteAllowed(name))
        return false;
    values[name] = StoredValue::Str(value);
    return true;
}

PrinterNameList ListInstalledPrinters()
{
    static std::vector<const char*> names;
    names.clear();
    for (const std::string& printer : InstalledPrinters)
        names.push_back(printer.c_str());
    return {names.data(), static_cast<int32_t>(names.size())};
}

const char* WindowsUserName()
{
    return UserName.c_str();
}
