// A print spooler for tests: records every call with its arguments and bytes,
// and fails any call, or shortens a write, on demand.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "protocol/spooler.h"

namespace spooler_double {

enum class Call {
    OpenPrinter,
    StartDocPrinter,
    StartPagePrinter,
    WritePrinter,
    EndPagePrinter,
    EndDocPrinter,
    ClosePrinter,
    AbortPrinter,
};

struct Record {
    Call call;
    bool succeeded;
    spooler::PrinterHandle handle;  // passed in; for OpenPrinter the one handed out
    std::string printerName;        // OpenPrinter
    uint32_t level = 0;             // StartDocPrinter, with the record's three texts
    std::string docName;
    bool outputFileGiven = false;
    std::string datatype;
    std::string bytes;              // WritePrinter: the data passed
    uint32_t reportedWritten = 0;   // WritePrinter: the count reported back
};

// The handle every successful OpenPrinter hands out.
spooler::PrinterHandle OpenedHandle();

// Forgets calls and planned failures.
void Reset();

// The occurrence-th call of that kind (counted from 1 since Reset) fails.
void FailCall(Call call, int occurrence = 1);
// The occurrence-th WritePrinter succeeds but reports missing bytes fewer.
void ShortenWrite(int occurrence, uint32_t missing);
// Runs inside every StartDocPrinterA, as a driver that shows a window (a
// "save as" prompt) runs the message loop there.
void DuringStartDoc(std::function<void()> hook);

const std::vector<Record>& Calls();
// The calls by their platform names ("OpenPrinterA", "WritePrinter", ...).
std::vector<std::string> CallNames();
// What the successful writes handed over, in order.
std::string WrittenBytes();

}  // namespace spooler_double
