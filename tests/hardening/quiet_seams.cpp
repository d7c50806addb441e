#include "tests/hardening/quiet_seams.h"

#include <cstring>

#include "protocol/printer_inventory.h"
#include "protocol/spooler.h"
#include "ui/display.h"

namespace quiet_seams {
namespace {

SpoolerTally Tally;
DisplayTally Shown;
uint64_t DocumentChecksum = kChecksumStart;
int PrinterToken;

void Keep(char (&into)[256], const char* text)
{
    strncpy(into, text, sizeof into - 1);
    into[sizeof into - 1] = 0;
}

}  // namespace

const SpoolerTally& Spooler()
{
    return Tally;
}

const DisplayTally& Display()
{
    return Shown;
}

void Reset()
{
    Tally = SpoolerTally();
    Shown = DisplayTally();
}

uint64_t Checksum(uint64_t checksum, const unsigned char* data, uint64_t length)
{
    for (uint64_t i = 0; i < length; ++i)
        checksum = (checksum ^ data[i]) * 1099511628211ull;
    return checksum;
}

}  // namespace quiet_seams

using namespace quiet_seams;

namespace spooler {

bool OpenPrinterA(const char* printerName, PrinterHandle* handle)
{
    if (strcmp(printerName, "Office Laser") != 0)
        return false;
    ++Tally.handlesOpen;
    *handle = &PrinterToken;
    return true;
}

uint32_t StartDocPrinterA(PrinterHandle, uint32_t, const DocInfo1*)
{
    DocumentChecksum = kChecksumStart;
    return 1;
}

bool StartPagePrinter(PrinterHandle)
{
    return true;
}

bool WritePrinter(PrinterHandle, const void* data, uint32_t length, uint32_t* written)
{
    DocumentChecksum = Checksum(DocumentChecksum, static_cast<const unsigned char*>(data), length);
    *written = length;
    return true;
}

bool EndPagePrinter(PrinterHandle)
{
    return true;
}

bool EndDocPrinter(PrinterHandle)
{
    ++Tally.documentsEnded;
    Tally.lastChecksum = DocumentChecksum;
    return true;
}

bool ClosePrinter(PrinterHandle)
{
    --Tally.handlesOpen;
    return true;
}

bool AbortPrinter(PrinterHandle)
{
    ++Tally.documentsAborted;
    return true;
}

}  // namespace spooler

PrinterNameList ListInstalledPrinters()
{
    static const char* const kNames[] = {"Office Laser", "R&D Printer"};
    return PrinterNameList{kNames, 2};
}

const char* WindowsUserName()
{
    return "JSMITH";
}

bool IsPrinterHidden(const char* valueName, bool* createFailed)
{
    *createFailed = false;
    return strcmp(valueName, "Printer:R&D Printer") == 0;
}

void OnProgress(int32_t, int32_t) {}

void OnStatus(const char* text)
{
    Keep(Shown.lastStatus, text);
}

void OnLog(const char* text)
{
    ++Shown.logLines;
    Keep(Shown.lastLog, text);
}

void ClearLog()
{
    ++Shown.logClears;
}
