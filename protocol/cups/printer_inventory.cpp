// The installed printers from the CUPS scheduler, and the user the process
// runs as. The hide flags come from the settings library.
#include <cups/cups.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/printer_inventory.h"
#include "transport/ascii.h"

namespace {

// Reused from call to call: a warmed-up poll allocates nothing of its own.
std::vector<std::string> NameStorage;
std::vector<const char*> PrinterNames;

}  // namespace

PrinterNameList ListInstalledPrinters()
{
    cups_dest_t* destinations = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &destinations);
    size_t used = 0;
    for (int i = 0; i < count; ++i) {
        // Instances are saved option sets of a queue, not printers of their own.
        if (destinations[i].instance != nullptr)
            continue;
        if (used == NameStorage.size())
            NameStorage.emplace_back();
        NameStorage[used++].assign(destinations[i].name);
    }
    cupsFreeDests(count, destinations);
    PrinterNames.clear();
    for (size_t i = 0; i < used; ++i)
        PrinterNames.push_back(NameStorage[i].c_str());
    return PrinterNameList{PrinterNames.data(), static_cast<int32_t>(PrinterNames.size())};
}

const char* WindowsUserName()
{
    // The same room as on Windows: 255 bytes and the NUL.
    static char userName[256];
    const passwd* entry = getpwuid(geteuid());
    userName[0] = 0;
    if (entry != nullptr)
        strncat(userName, entry->pw_name, sizeof userName - 1);
    // The C locale's upper case: only the ASCII letters change.
    for (char* c = userName; *c != 0; ++c)
        *c = static_cast<char>(UpperAscii(static_cast<unsigned char>(*c)));
    return userName;
}
