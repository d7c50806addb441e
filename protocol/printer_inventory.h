// What the protocol needs to know about the computer, behind a link-time seam:
// the installed printers, the user and each printer's hide flag.
#pragma once

#include <cstdint>

// The names stay valid until the next call. The storage is reused from call to
// call, so a warmed-up poll allocates nothing.
struct PrinterNameList {
    const char* const* names;
    int32_t count;
    // The list could not be read at all. Windows gives an empty list then;
    // CUPS tells it apart, so a scheduler that is down is not registered as
    // a computer without printers.
    bool failed = false;
};

// Local printers and printer connections, in the platform's order; empty when
// the enumeration fails.
PrinterNameList ListInstalledPrinters();

// The user the process runs as, ASCII letters in capitals.
const char* WindowsUserName();

// Whether the printer whose hide flag is the value valueName ("Printer:" +
// printer name) is hidden. A missing flag is created as 0, exposed; when that
// write fails, *createFailed is set and the answer is false.
bool IsPrinterHidden(const char* valueName, bool* createFailed);
