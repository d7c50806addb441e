#include "tests/support/doubles/spooler_double.h"

#include <map>

namespace spooler_double {
namespace {

std::vector<Record> Recorded;
std::vector<std::pair<Call, int>> PlannedFailures;
std::map<int, uint32_t> PlannedShortWrites;  // occurrence -> bytes missing
int Counts[8];
std::function<void()> StartDocHook;

int CountCall(Call call)
{
    return ++Counts[static_cast<int>(call)];
}

bool Planned(Call call, int occurrence)
{
    for (const auto& failure : PlannedFailures) {
        if (failure.first == call && failure.second == occurrence)
            return true;
    }
    return false;
}

// Counts the call and records it with the handle passed, failed when planned.
Record& Begin(Call call, spooler::PrinterHandle handle)
{
    bool fails = Planned(call, CountCall(call));
    Record record;
    record.call = call;
    record.succeeded = !fails;
    record.handle = handle;
    Recorded.push_back(record);
    return Recorded.back();
}

bool Simple(Call call, spooler::PrinterHandle handle)
{
    return Begin(call, handle).succeeded;
}

// Bytes the latest WritePrinter is planned to leave out of its count.
uint32_t MissingFromLatestWrite(uint32_t length)
{
    auto planned = PlannedShortWrites.find(Counts[static_cast<int>(Call::WritePrinter)]);
    if (planned == PlannedShortWrites.end())
        return 0;
    return planned->second < length ? planned->second : length;
}

}  // namespace

spooler::PrinterHandle OpenedHandle()
{
    static int printer;
    return &printer;
}

void Reset()
{
    Recorded.clear();
    PlannedFailures.clear();
    PlannedShortWrites.clear();
    for (int& count : Counts)
        count = 0;
    StartDocHook = nullptr;
}

void FailCall(Call call, int occurrence)
{
    PlannedFailures.emplace_back(call, occurrence);
}

void ShortenWrite(int occurrence, uint32_t missing)
{
    PlannedShortWrites[occurrence] = missing;
}

void DuringStartDoc(std::function<void()> hook)
{
    StartDocHook = std::move(hook);
}

const std::vector<Record>& Calls()
{
    return Recorded;
}

std::vector<std::string> CallNames()
{
    static const char* const kNames[] = {
        "OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter",
        "EndPagePrinter", "EndDocPrinter", "ClosePrinter", "AbortPrinter",
    };
    std::vector<std::string> names;
    for (const Record& record : Recorded)
        names.push_back(kNames[static_cast<int>(record.call)]);
    return names;
}

std::string WrittenBytes()
{
    std::string bytes;
    for (const Record& record : Recorded) {
        if (record.call == Call::WritePrinter && record.succeeded)
            bytes += record.bytes.substr(0, record.reportedWritten);
    }
    return bytes;
}

}  // namespace spooler_double

namespace spooler {

using spooler_double::Begin;
using spooler_double::Call;

bool OpenPrinterA(const char* printerName, PrinterHandle* handle)
{
    spooler_double::Record& record = Begin(Call::OpenPrinter, spooler_double::OpenedHandle());
    record.printerName = printerName;
    if (record.succeeded)
        *handle = record.handle;
    return record.succeeded;
}

uint32_t StartDocPrinterA(PrinterHandle handle, uint32_t level, const DocInfo1* docInfo)
{
    spooler_double::Record& record = Begin(Call::StartDocPrinter, handle);
    record.level = level;
    record.docName = docInfo->DocName != nullptr ? docInfo->DocName : "";
    record.outputFileGiven = docInfo->OutputFile != nullptr;
    record.datatype = docInfo->Datatype != nullptr ? docInfo->Datatype : "";
    const bool succeeded = record.succeeded;
    // The hook may start more spooler calls, which move the records.
    if (spooler_double::StartDocHook)
        spooler_double::StartDocHook();
    return succeeded ? 7u : 0u;
}

bool StartPagePrinter(PrinterHandle handle)
{
    return spooler_double::Simple(Call::StartPagePrinter, handle);
}

bool WritePrinter(PrinterHandle handle, const void* data, uint32_t length, uint32_t* written)
{
    spooler_double::Record& record = Begin(Call::WritePrinter, handle);
    record.bytes.assign(static_cast<const char*>(data), length);
    record.reportedWritten = record.succeeded ? length - spooler_double::MissingFromLatestWrite(length) : 0;
    *written = record.reportedWritten;
    return record.succeeded;
}

bool EndPagePrinter(PrinterHandle handle)
{
    return spooler_double::Simple(Call::EndPagePrinter, handle);
}

bool EndDocPrinter(PrinterHandle handle)
{
    return spooler_double::Simple(Call::EndDocPrinter, handle);
}

bool ClosePrinter(PrinterHandle handle)
{
    return spooler_double::Simple(Call::ClosePrinter, handle);
}

bool AbortPrinter(PrinterHandle handle)
{
    return spooler_double::Simple(Call::AbortPrinter, handle);
}

}  // namespace spooler
