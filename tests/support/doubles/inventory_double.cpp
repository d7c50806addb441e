#include "tests/support/doubles/inventory_double.h"

#include <map>

#include "protocol/printer_inventory.h"

namespace inventory_double {
namespace {

std::vector<std::string> Printers;
std::vector<const char*> PrinterNames;
std::string User;
std::map<std::string, int> Flags;
std::vector<std::string> Created;
bool FailWrites = false;
bool FailList = false;

}  // namespace

void Reset()
{
    Printers.clear();
    User = "JSMITH";
    Flags.clear();
    Created.clear();
    FailWrites = false;
    FailList = false;
}

void SetPrinters(const std::vector<std::string>& names)
{
    Printers = names;
}

void SetUser(const std::string& name)
{
    User = name;
}

void SetFlag(const std::string& valueName, int value)
{
    Flags[valueName] = value;
}

void FailFlagWrites(bool fail)
{
    FailWrites = fail;
}

void FailListing(bool fail)
{
    FailList = fail;
}

bool HasFlag(const std::string& valueName)
{
    return Flags.count(valueName) != 0;
}

int FlagValue(const std::string& valueName)
{
    return Flags.at(valueName);
}

const std::vector<std::string>& CreatedFlags()
{
    return Created;
}

}  // namespace inventory_double

using namespace inventory_double;

PrinterNameList ListInstalledPrinters()
{
    PrinterNames.clear();
    for (const std::string& name : Printers)
        PrinterNames.push_back(name.c_str());
    return PrinterNameList{PrinterNames.data(), static_cast<int32_t>(PrinterNames.size()), FailList};
}

const char* WindowsUserName()
{
    return User.c_str();
}

bool IsPrinterHidden(const char* valueName, bool* createFailed)
{
    *createFailed = false;
    auto flag = Flags.find(valueName);
    if (flag != Flags.end())
        return flag->second != 0;
    if (FailWrites) {
        *createFailed = true;
        return false;
    }
    Flags[valueName] = 0;
    Created.push_back(valueName);
    return false;
}
