// The installed printers and the user name, from the spooler and the system.
// The hide flags live with the settings and are not implemented here.
#include <windows.h>
#include <lmcons.h>
#include <winspool.h>

#include <vector>

#include "protocol/printer_inventory.h"
#include "transport/ascii.h"

namespace {

// Grown when a longer list appears, never shrunk: a warmed-up poll allocates
// nothing.
std::vector<unsigned char> EnumerationStorage;
std::vector<const char*> PrinterNames;

// EnumPrintersA into the reused storage; false when it fails. The list can
// grow between the call that measures it and the one that fills it, so a
// short buffer is measured again a few times.
bool EnumerateInto(DWORD* returned)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD needed = 0;
        BYTE* data = EnumerationStorage.empty() ? nullptr : EnumerationStorage.data();
        if (EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, data,
                          static_cast<DWORD>(EnumerationStorage.size()), &needed, returned))
            return true;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= EnumerationStorage.size())
            return false;
        EnumerationStorage.resize(needed);
    }
    return false;
}

}  // namespace

PrinterNameList ListInstalledPrinters()
{
    DWORD returned = 0;
    PrinterNames.clear();
    if (EnumerateInto(&returned)) {
        const PRINTER_INFO_4A* entries = reinterpret_cast<const PRINTER_INFO_4A*>(EnumerationStorage.data());
        for (DWORD i = 0; i < returned; ++i)
            PrinterNames.push_back(entries[i].pPrinterName);
    }
    return PrinterNameList{PrinterNames.data(), static_cast<int32_t>(PrinterNames.size())};
}

const char* WindowsUserName()
{
    // Room for the longest user name Windows allows, so none is cut.
    static char userName[UNLEN + 1];
    DWORD size = sizeof userName;
    if (!GetUserNameA(userName, &size))
        userName[0] = 0;
    // The C locale's upper case: only the ASCII letters change; bytes of the
    // ANSI code page stay as they are.
    for (char* c = userName; *c != 0; ++c)
        *c = static_cast<char>(UpperAscii(static_cast<unsigned char>(*c)));
    return userName;
}
