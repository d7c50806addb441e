// The print spooler calls the poll makes, behind a link-time seam: the program
// links the winspool implementation, the tests a recording double.
#pragma once

#include <cstdint>

namespace spooler {

using PrinterHandle = void*;

// Shaped like the spooler's level-1 document information.
struct DocInfo1 {
    const char* DocName;
    const char* OutputFile;
    const char* Datatype;
};

bool OpenPrinterA(const char* printerName, PrinterHandle* handle);
// The spooler's job id, 0 on failure.
uint32_t StartDocPrinterA(PrinterHandle handle, uint32_t level, const DocInfo1* docInfo);
bool StartPagePrinter(PrinterHandle handle);
bool WritePrinter(PrinterHandle handle, const void* data, uint32_t length, uint32_t* written);
bool EndPagePrinter(PrinterHandle handle);
bool EndDocPrinter(PrinterHandle handle);
bool ClosePrinter(PrinterHandle handle);
// Discards the document being spooled, so a failed job never prints half.
bool AbortPrinter(PrinterHandle handle);

}  // namespace spooler
