// Runs whole polls against a peer that answers each request with the next
// reply the input scripts, and prints to the spooler double. The connections
// are kept in memory (memory_socket.h), so a poll costs no kernel round trip.
// After every poll: each printer handle, document and page opened was closed
// once, no socket is left open, and the job was acknowledged only when every
// block was written whole and the document ended. With a served job, what
// reached the spooler is the job's start: every block at its own offset.
//
// Input: a flags byte, a byte naming the spooler call to fail and when, the
// blocks in flight less one (1 to 256), the most bytes a read gives (0: all
// there are), then entries, each a two-byte big-endian length and that many
// bytes. Each request takes the next entry as its reply; the peer closes the
// connection once the last is sent.
// Flags: bit 0 keep-alive off; bit 1 a token is held (no registration);
// bit 2 the service path is already known (no ping); bit 3 a served job: a
// spooldata request takes its entry as a recipe for the block at the offset
// it names (kRecipe... below), cut from JobByte; bit 4 the served blocks
// travel as letters only, as text does (no NUL, CR or LF in them).
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
#include "tests/support/loopback_peer.h"
#include "transport/print_client.h"

namespace {

using spooler_double::Call;

bool LettersOnly = false;

// The served job's bytes: no period a block's length or offset could hide.
char JobByte(uint64_t at)
{
    const uint64_t mixed = (at + 1) * 0x9E3779B97F4A7C15ull;
    if (LettersOnly)
        return static_cast<char>(~('a' + (mixed >> 32) % 26));
    return static_cast<char>(mixed >> 56);
}

// A recipe's first byte: how the block is framed and what follows it.
constexpr uint8_t kRecipeInterimFirst = 1;    // a 100 Continue before it
constexpr uint8_t kRecipeCloseAnnounced = 2;  // "Connection: close", and the close
constexpr uint8_t kRecipeHttp10 = 4;          // an HTTP/1.0 status line
constexpr uint8_t kRecipeChunked = 8;         // one chunk and a trailer field
constexpr uint8_t kRecipeSilentClose = 16;    // a close that nothing announced
constexpr uint8_t kRecipeReset = 32;          // the close is a reset
constexpr uint8_t kRecipeShort = 64;          // the second byte sets a shorter length

// The service's reply to a spooldata request for the block at offset.
memory_socket::Answer ServedBlock(const std::string& recipe, uint64_t offset)
{
    const uint8_t shape = recipe.empty() ? 0 : static_cast<uint8_t>(recipe[0]);
    const size_t length =
        (shape & kRecipeShort) != 0 && recipe.size() > 1 ? 1 + static_cast<uint8_t>(recipe[1]) * 16u : 4096;
    std::string block(length, 0);
    for (size_t i = 0; i < length; ++i)
        block[i] = static_cast<char>(~JobByte(offset + i));

    memory_socket::Answer answer;
    answer.bytes = (shape & kRecipeHttp10) != 0 ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.1 200 OK\r\n";
    if ((shape & kRecipeCloseAnnounced) != 0)
        answer.bytes += "Connection: close\r\n";
    if ((shape & kRecipeChunked) != 0) {
        char size[16];
        snprintf(size, sizeof size, "%zx\r\n", length);
        answer.bytes += "Transfer-Encoding: chunked\r\n\r\n" + std::string(size) + block + "\r\n0\r\nChecksum: 1\r\n\r\n";
    } else {
        answer.bytes += "Content-Length: " + std::to_string(length) + "\r\n\r\n" + block;
    }
    if ((shape & kRecipeInterimFirst) != 0)
        answer.bytes.insert(0, "HTTP/1.1 100 Continue\r\n\r\n");
    answer.closeAfter = (shape & (kRecipeCloseAnnounced | kRecipeSilentClose)) != 0;
    answer.reset = (shape & kRecipeReset) != 0;
    return answer;
}

// The offset a spooldata request names, or -1. The attribute is the last of
// its name: the file name before it may hold anything.
int64_t RequestedOffset(const std::string& request)
{
    const size_t at = request.rfind(" offset='");
    return at == std::string::npos ? -1 : strtoll(request.c_str() + at + 9, nullptr, 10);
}

// Every byte handed to the spooler, in order, is the served job's byte at
// that place: no block went to a wrong offset or twice.
void CheckJobPrefix()
{
    uint64_t at = 0;
    for (const spooler_double::Record& record : spooler_double::Calls()) {
        if (record.call != Call::WritePrinter)
            continue;
        for (char byte : record.bytes) {
            if (byte != JobByte(at++))
                abort();
        }
    }
}

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
    if (size < 4)
        return 0;
    const uint8_t flags = data[0];
    const uint8_t failure = data[1];
    const int32_t blocksInFlight = 1 + data[2];
    const size_t readPiece = data[3];
    const bool servedJob = (flags & 8) != 0;
    LettersOnly = (flags & 16) != 0;
    std::vector<std::string> replies;
    for (size_t at = 4; at + 2 <= size;) {
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

    size_t nextReply = 0;
    memory_socket::Script(
        [&](const std::string& request) {
            memory_socket::Answer answer;
            if (nextReply < replies.size()) {
                const std::string& entry = replies[nextReply++];
                const int64_t offset = RequestedOffset(request);
                if (servedJob && RequestFunction(request) == "spooldata" && offset >= 0)
                    answer = ServedBlock(entry, static_cast<uint64_t>(offset));
                else
                    answer.bytes = entry;
            }
            // Nothing more will come: closing now spares the client its
            // time-out when the last reply is cut short.
            answer.closeAfter = answer.closeAfter || nextReply == replies.size();
            return answer;
        },
        readPiece);
    int result;
    {
        PrintClient client;
        display_recorder::Attach(&client);
        client.Setup("127.0.0.1", 7000, "PC01", "cipher");
        client.BlocksInFlight = blocksInFlight;
        result = RunPollCycle(&client);
    }
    if (memory_socket::OpenConnections() != 0)
        abort();
    CheckSpoolerBalanced();
    CheckAcknowledgement(memory_socket::Functions(), result);
    if (servedJob)
        CheckJobPrefix();
    return 0;
}
