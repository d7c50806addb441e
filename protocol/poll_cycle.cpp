#include "protocol/poll_cycle.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "protocol/complement.h"
#include "protocol/printer_list.h"
#include "protocol/reply_fields.h"
#include "protocol/service_path.h"
#include "protocol/spooler.h"
#include "transport/ascii.h"
#include "transport/decimal.h"
#include "transport/print_client.h"

int32_t ComputerToken = -1;
int32_t RegistrationCountdown = 0;
bool LogCleared = false;

namespace {

// A poll's working storage lives on its stack; nothing is allocated.
constexpr int32_t kDocumentSize = 8192;
constexpr int32_t kReplySize = 4096;
constexpr int32_t kBlockSize = 4096;
constexpr int32_t kPollsBetweenRegistrations = 10;

constexpr char kXmlContentType[] = "Content-Type: application/xml";

// Fields of the printlist and qryspool replies.
constexpr int kTokenField = 1;
constexpr int kFileField = 1;
constexpr int kSizeField = 2;
constexpr int kDocumentNameField = 3;
constexpr int kPrinterField = 4;
constexpr int kJobIdField = 5;

// Every request document carries at most one reply field (shorter than the
// reply buffer) and the cipher, so it always fits the document buffer whole.
static_assert(kDocumentSize > kReplySize + kCipherCapacity + 100, "request documents must fit");

// Resets the progress display, closes the connection and gives the poll's
// failure result; the failure text has been reported already.
int ClosePoll(PrintClient* client)
{
    client->OnProgress(0, 0);
    client->SocketClose();
    return 1;
}

int EndPoll(PrintClient* client, const char* text)
{
    client->ReportError(text);
    return ClosePoll(client);
}

// The path for a request, or null when no service path was found: then the
// request fails at once, before a byte of it is sent, and takes its own
// failure path after the discovery's text.
const char* PathFor(PrintClient* client, const char* functionName)
{
    const char* path = RequestPath(client, functionName);
    return path[0] != 0 ? path : nullptr;
}

int Post(PrintClient* client, const char* functionName, const char* document, char* reply, int32_t capacity,
         int32_t* length)
{
    const char* path = PathFor(client, functionName);
    if (path == nullptr)
        return 1;
    return client->httpRequest(path, kXmlContentType, document, nullptr, 0, reply, capacity, length);
}

// Posts a document whose reply is read as text into the reply buffer. The
// capacity leaves a byte for the NUL behind the longest reply that is taken.
int PostForText(PrintClient* client, const char* functionName, const char* document, char* reply)
{
    int32_t length = 0;
    int result = Post(client, functionName, document, reply, kReplySize - 1, &length);
    reply[length] = 0;
    return result;
}

// What a failure leaves open in the spooler; the failure ends exactly that.
enum class JobStage { PrinterOpen, DocumentEnding, DocumentStarted, PageStarted };

int FailJob(PrintClient* client, spooler::PrinterHandle handle, JobStage stage, const char* text)
{
    // The service hands an unacknowledged job out again on a later poll, so
    // nothing of a started document may come out of the printer.
    if (stage != JobStage::PrinterOpen)
        spooler::AbortPrinter(handle);
    // Results are not tested: the poll ends whatever they say.
    switch (stage) {
    case JobStage::PageStarted:
        spooler::EndPagePrinter(handle);
        [[fallthrough]];
    case JobStage::DocumentStarted:
        spooler::EndDocPrinter(handle);
        [[fallthrough]];
    case JobStage::DocumentEnding:
    case JobStage::PrinterOpen:
        spooler::ClosePrinter(handle);
    }
    return EndPoll(client, text);
}

int Register(PrintClient* client, char* document, char* reply, char** fields)
{
    // Set before the request: a failed registration waits like a good one,
    // unless no token is held yet.
    RegistrationCountdown = kPollsBetweenRegistrations;
    client->OnStatus("Printer List");
    if (BuildPrinterList(client, document, kDocumentSize) != 0)
        return ClosePoll(client);
    if (PostForText(client, "printlist", document, reply) != 0)
        return EndPoll(client, "httpRequest \"rmtprt.aspx?func=printlist\" failed");
    if (SplitReplyFields(reply, fields, kReplyFieldTableSize) <= kTokenField)
        return EndPoll(client, "Printer list reply holds no computer token");
    ComputerToken = DecimalValue(fields[kTokenField]);
    client->OnProgress(3, 10);
    return 0;
}

int32_t ProgressPosition(int64_t offset)
{
    return offset > INT32_MAX ? INT32_MAX : static_cast<int32_t>(offset);
}

// At most this many bytes of requests are in flight, whatever BlocksInFlight
// says: any receive buffer takes them in, so sending never waits on a server
// that waits, in turn, for its responses to be read.
constexpr int32_t kRequestBytesInFlight = 65536;

// The offsets of the spool data requests sent and not yet answered, oldest
// first: the responses come in this order.
class RequestedOffsets {
public:
    int32_t Count() const { return count_; }
    void Add(int64_t offset) { offsets_[(first_ + count_++) % kMostBlocksInFlight] = offset; }
    int64_t TakeOldest()
    {
        const int64_t offset = offsets_[first_];
        first_ = (first_ + 1) % kMostBlocksInFlight;
        --count_;
        return offset;
    }
    void Clear() { count_ = 0; }

private:
    int64_t offsets_[kMostBlocksInFlight] = {};
    int32_t first_ = 0;
    int32_t count_ = 0;
};

int WriteBlockRequest(char* document, char* const* fields, int64_t offset, const char* cipher)
{
    return snprintf(document, kDocumentSize, "<spooldata file='%s' offset='%d' blocksize='%d' encode='%s' />",
                    fields[kFileField], static_cast<int>(offset), static_cast<int>(kBlockSize), cipher);
}

// How many block requests this job keeps in flight: one at a time unless the
// connection is kept and the setting asks for more.
int32_t BlocksInFlightFor(PrintClient* client, const char* path, char* const* fields, int32_t size, char* document)
{
    int32_t limit = client->BlocksInFlight;
    if (!KeepAlive || limit <= 1 || size <= kBlockSize)
        return 1;
    if (limit > kMostBlocksInFlight)
        limit = kMostBlocksInFlight;
    // The longest request of the job names its last offset.
    WriteBlockRequest(document, fields, size - 1, client->Cipher);
    const int32_t requestBytes = client->RequestLength(path, kXmlContentType, document);
    const int32_t fitting = requestBytes > 0 ? kRequestBytesInFlight / requestBytes : 1;
    return fitting < 1 ? 1 : (fitting < limit ? fitting : limit);
}

// Prints the job named by the query reply's fields as one RAW document.
int PrintJob(PrintClient* client, char* const* fields, char* document, unsigned char* block)
{
    const int32_t size = DecimalValue(fields[kSizeField]);
    spooler::PrinterHandle handle = nullptr;
    if (!CheckExposedPrinter(client, fields[kPrinterField]))
        return ClosePoll(client);
    if (!spooler::OpenPrinterA(fields[kPrinterField], &handle))
        return EndPoll(client, "OpenPrinter failed");

    const spooler::DocInfo1 docInfo = {fields[kDocumentNameField], nullptr, "RAW"};
    client->OnLog(docInfo.DocName);
    if (spooler::StartDocPrinterA(handle, 1, &docInfo) == 0)
        return FailJob(client, handle, JobStage::PrinterOpen, "StartDocPrinter failed");
    if (!spooler::StartPagePrinter(handle))
        return FailJob(client, handle, JobStage::DocumentStarted, "StartPagePrinter failed");

    client->OnProgress(0, size);
    client->OnStatus("Printing");
    const char* path = size > 0 ? PathFor(client, "spooldata") : "";
    if (path == nullptr)
        return FailJob(client, handle, JobStage::PageStarted, "httpRequest failed");
    int32_t inFlightLimit = BlocksInFlightFor(client, path, fields, size, document);

    // The service decides each block's length; the loop ends once the bytes
    // received reach or pass the size. 64 bits, as the last block may pass it.
    // Requests ahead of the bytes received assume whole blocks; a shorter
    // block makes the responses to the requests past it useless, and they
    // are read and dropped while the requests go on from the true offset.
    // No request is left unanswered at the end: the requests after the last
    // block would lie a whole block past it, at or past the size.
    int64_t offset = 0;
    int64_t nextOffset = 0;
    RequestedOffsets requested;
    // Responses read on the present connection.
    int32_t answeredOnConnection = 0;
    // The server ended the connection with requests unanswered: they go again,
    // on a new connection, from the true offset. A server that ends its
    // connections after every response (or every few) would cost each of
    // them a window of requests sent in vain, so the rest of the job keeps
    // no more in flight than the ended connection answered.
    auto resendOnNewConnection = [&] {
        requested.Clear();
        nextOffset = offset;
        if (inFlightLimit > answeredOnConnection)
            inFlightLimit = answeredOnConnection > 1 ? answeredOnConnection : 1;
        answeredOnConnection = 0;
    };
    while (offset < size) {
        // Each request after a response read, so the server is never sent
        // more than it has room for while its responses wait to be read. A
        // connection that lost requests (a failed send) gets no more: the
        // read below meets its failure. One that takes no more requests
        // still delivers the responses owed.
        while (nextOffset < size && requested.Count() < inFlightLimit &&
               client->RequestsUnanswered == requested.Count()) {
            WriteBlockRequest(document, fields, nextOffset, client->Cipher);
            const int sent = client->SendRequest(path, kXmlContentType, document);
            if (sent == kConnectionEnding)
                break;
            if (sent != 0)
                return FailJob(client, handle, JobStage::PageStarted, "httpRequest failed");
            requested.Add(nextOffset);
            nextOffset += kBlockSize;
        }
        const int64_t requestedOffset = requested.TakeOldest();
        int32_t received = 0;
        const int read = client->ReadResponse(nullptr, 0, reinterpret_cast<char*>(block), kBlockSize, &received);
        if (read == kConnectionEnded) {
            resendOnNewConnection();
            continue;
        }
        if (read != 0)
            return FailJob(client, handle, JobStage::PageStarted, "httpRequest failed");
        ++answeredOnConnection;
        if (requestedOffset == offset) {
            // An empty block would ask for the same offset again without end.
            if (received <= 0)
                return FailJob(client, handle, JobStage::PageStarted, "httpRequest failed");
            ComplementBlock(block, received);
            uint32_t written = 0;
            if (!spooler::WritePrinter(handle, block, static_cast<uint32_t>(received), &written))
                return FailJob(client, handle, JobStage::PageStarted, "WritePrinter failed");
            if (written != static_cast<uint32_t>(received))
                return FailJob(client, handle, JobStage::PageStarted, "Invalid size writen");
            offset += received;
            client->OnProgress(ProgressPosition(offset), size);
            // A service that answers short once may do so at every block,
            // and each short block costs every request sent past it: the
            // rest of the job goes one request at a time.
            if (received < kBlockSize) {
                nextOffset = offset;
                inFlightLimit = 1;
            }
        }
        // A response that announced the connection's close leaves the
        // requests sent after it unanswered.
        if (client->RequestsUnanswered != requested.Count())
            resendOnNewConnection();
        if (client->Socket == kNoSocket)
            answeredOnConnection = 0;
    }

    if (!spooler::EndPagePrinter(handle))
        return FailJob(client, handle, JobStage::DocumentStarted, "EndPagePrinter failed");
    if (!spooler::EndDocPrinter(handle))
        return FailJob(client, handle, JobStage::DocumentEnding, "EndDocPrinter failed");
    spooler::ClosePrinter(handle);
    return 0;
}

// Asks for a job; with LongPoll the service may hold its answer that long,
// and the read waits that long beyond its usual time-out.
int QuerySpool(PrintClient* client, char* document, char* reply)
{
    const int token = static_cast<int>(ComputerToken);
    if (client->LongPoll > 0)
        snprintf(document, kDocumentSize, "<qryspool cputok='%d' wait='%d'/>", token,
                 static_cast<int>(client->LongPoll));
    else
        snprintf(document, kDocumentSize, "<qryspool cputok='%d'/>", token);
    client->HeldReplyMilliseconds = client->LongPoll * 1000;
    const int result = PostForText(client, "qryspool", document, reply);
    client->HeldReplyMilliseconds = 0;
    return result;
}

}  // namespace

int RunPollCycle(PrintClient* client, PollEnd* outcome)
{
    PollEnd ignored;
    if (outcome == nullptr)
        outcome = &ignored;
    *outcome = PollEnd();

    char document[kDocumentSize];
    char reply[kReplySize];
    unsigned char block[kBlockSize];
    char* fields[kReplyFieldTableSize];

    client->OnProgress(1, 10);
    client->OnStatus("Connect");
    if (client->SocketConnect() != 0) {
        // The connect step reported its own text; the client's end closes
        // whatever socket is left.
        client->OnProgress(0, 0);
        LogCleared = false;
        return 1;
    }
    // Without keep-alive every request opens its own connection; this one has
    // shown the server is reachable and would only sit idle behind them.
    if (!KeepAlive)
        client->SocketClose();
    client->OnProgress(2, 10);

    // Only connected polls count towards the next registration.
    const int32_t previousCountdown = RegistrationCountdown;
    RegistrationCountdown = previousCountdown - 1;
    if (previousCountdown <= 0 || ComputerToken == -1) {
        if (Register(client, document, reply, fields) != 0) {
            LogCleared = false;
            return 1;
        }
    }

    client->OnStatus("Query Spool");
    const std::chrono::steady_clock::time_point asked = std::chrono::steady_clock::now();
    if (QuerySpool(client, document, reply) != 0) {
        LogCleared = false;
        return EndPoll(client, "httpRequest \"rmtprt.aspx?func=qryspool\" failed");
    }
    client->OnProgress(4, 10);
    // The failure lines of earlier polls stay visible until the service
    // answers a query again.
    if (!LogCleared) {
        ClearLog();
        LogCleared = true;
    }

    // Only the first five bytes count, letters in either case; whatever
    // follows them on the line does not matter.
    if (!StartsWithNoCase(reply, "SPOOL")) {
        client->SocketClose();
        client->OnProgress(0, 0);
        client->OnStatus("Empty queue");
        outcome->how = PollEnd::EmptyQueue;
        outcome->emptyReplyMilliseconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
        return 1;
    }
    client->OnProgress(5, 10);
    if (SplitReplyFields(reply, fields, kReplyFieldTableSize) <= kJobIdField)
        return EndPoll(client, "Spool job reply has too few fields");
    if (PrintJob(client, fields, document, block) != 0)
        return 1;

    // The fields are still whole: the blocks went to their own buffer.
    snprintf(document, kDocumentSize, "<printed id='%s'/>", fields[kJobIdField]);
    // The acknowledgement's reply is never read: it may have any length.
    if (Post(client, "printed", document, nullptr, 0, nullptr) != 0) {
        // The job has printed: the progress stays full, and the client's end
        // closes the connection.
        client->ReportError("httpRequest failed");
        return 1;
    }
    client->OnStatus("Printing complete");
    client->SocketClose();
    outcome->how = PollEnd::Printed;
    return 0;
}
