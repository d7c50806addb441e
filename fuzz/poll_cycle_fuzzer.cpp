// Runs whole polls against a peer that answers each request with the next
// reply the input scripts, and prints to the spooler double. The connections
// are kept in memory (memory_socket.h), so a poll costs no kernel round trip.
// After every poll: each printer handle, document and page opened was closed
// once, no socket is left open, and the job was acknowledged only when every
// block was written whole and the document ended.
//
// Input: a flags byte, a byte naming the spooler call to fail and when, then
// replies, each a two-byte big-endian length and that many bytes. The peer
// closes the connection once the last reply is sent.
// Flags: bit 0 keep-alive off; bit 1 a token is held (no registration);
// bit 2 the service path is already known (no ping).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/memory_socket.h"
#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/inventory_double.h"
#include "tests/support/doubles/spooler_double.h"
#include "transport/print_client.h"

namespace {

using spooler_double::Call;

int CountOf(Call call, bool succeeded)
{
    int count = 0;
    for (const spooler_double::Record& record : spooler_double::Calls()) {
        if (record.call == call && record.succeeded == succeeded)
            ++count;
    }
    return count;
}

int CountOf(Call call)
{
    return CountOf(call, true) + CountOf(call, false);
}

// Every stage of the spooler that was entered is left exactly once.
void CheckSpoolerBalanced()
{
    if (CountOf(Call::OpenPrinter, true) != CountOf(Call::ClosePrinter))
        abort();
    if (CountOf(Call::StartDocPrinter, true) != CountOf(Call::EndDocPrinter))
        abort();
    if (CountOf(Call::StartPagePrinter, true) != CountOf(Call::EndPagePrinter))
        abort();
    bool pageOpen = false;
    for (const spooler_double::Record& record : spooler_double::Calls()) {
        if (record.call == Call::StartPagePrinter && record.succeeded)
            pageOpen = true;
        if (record.call == Call::EndPagePrinter)
            pageOpen = false;
        if (record.call == Call::WritePrinter && !pageOpen)
            abort();
    }
}

// An acknowledged job was spooled whole: every write took all its bytes,
// nothing was discarded, and the document ended.
void CheckAcknowledgement(const std::vector<std::string>& functions, int result)
{
    bool acknowledged = false;
    for (const std::string& function : functions)
        acknowledged = acknowledged || function == "printed";
    if (result == 0 && !acknowledged)
        abort();
    if (!acknowledged)
        return;
    if (CountOf(Call::AbortPrinter) != 0 || CountOf(Call::EndDocPrinter, true) != 1)
        abort();
    for (const spooler_double::Record& record : spooler_double::Calls()) {
        if (record.call == Call::WritePrinter && (!record.succeeded || record.reportedWritten != record.bytes.size()))
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    const uint8_t failure = data[1];
    std::vector<std::string> replies;
    for (size_t at = 2; at + 2 <= size;) {
        size_t length = static_cast<size_t>(data[at]) << 8 | data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        replies.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }

    KeepAlive = (flags & 1) == 0;
    ComputerToken = (flags & 2) != 0 ? 5 : -1;
    RegistrationCountdown = (flags & 2) != 0 ? 5 : 0;
    LogCleared = false;
    if ((flags & 4) != 0)
        snprintf(ServicePrefix, sizeof ServicePrefix, "%s", ".00010101000000000000/system/rmtprt.aspx?func=");
    else
        ServicePrefix[0] = 0;
    // Waits end at once on memory connections; short time-outs keep any
    // deadline the client counts by the clock short as well.
    TransportTimeouts = {5, 5};

    display_recorder::Reset();
    spooler_double::Reset();
    // The low three bits pick the spooler call (0: none), the rest when.
    if ((failure & 7) != 0)
        spooler_double::FailCall(static_cast<Call>((failure & 7) - 1), 1 + (failure >> 3) % 4);
    inventory_double::Reset();
    inventory_double::SetPrinters({"Office Laser", "R&D Printer"});

    memory_socket::Script(std::move(replies));
    int result;
    {
        PrintClient client;
        display_recorder::Attach(&client);
        client.Setup("127.0.0.1", 7000, "PC01", "cipher");
        result = RunPollCycle(&client);
    }
    if (memory_socket::OpenConnections() != 0)
        abort();
    CheckSpoolerBalanced();
    CheckAcknowledgement(memory_socket::Functions(), result);
    return 0;
}
