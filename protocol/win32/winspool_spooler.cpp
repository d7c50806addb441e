// The spooler seam over winspool. The ANSI calls take non-const strings but
// do not change them.
#include <windows.h>
#include <winspool.h>

#include "protocol/spooler.h"

namespace spooler {

bool OpenPrinterA(const char* printerName, PrinterHandle* handle)
{
    HANDLE opened = nullptr;
    if (!::OpenPrinterA(const_cast<char*>(printerName), &opened, nullptr))
        return false;
    *handle = opened;
    return true;
}

uint32_t StartDocPrinterA(PrinterHandle handle, uint32_t level, const DocInfo1* docInfo)
{
    DOC_INFO_1A record;
    record.pDocName = const_cast<char*>(docInfo->DocName);
    record.pOutputFile = const_cast<char*>(docInfo->OutputFile);
    record.pDatatype = const_cast<char*>(docInfo->Datatype);
    return ::StartDocPrinterA(handle, level, reinterpret_cast<BYTE*>(&record));
}

bool StartPagePrinter(PrinterHandle handle)
{
    return ::StartPagePrinter(handle) != FALSE;
}

bool WritePrinter(PrinterHandle handle, const void* data, uint32_t length, uint32_t* written)
{
    DWORD count = 0;
    BOOL ok = ::WritePrinter(handle, const_cast<void*>(data), length, &count);
    *written = count;
    return ok != FALSE;
}

bool EndPagePrinter(PrinterHandle handle)
{
    return ::EndPagePrinter(handle) != FALSE;
}

bool EndDocPrinter(PrinterHandle handle)
{
    return ::EndDocPrinter(handle) != FALSE;
}

bool ClosePrinter(PrinterHandle handle)
{
    return ::ClosePrinter(handle) != FALSE;
}

bool AbortPrinter(PrinterHandle handle)
{
    return ::AbortPrinter(handle) != FALSE;
}

}  // namespace spooler
