// Runs whole polls against a loopback peer that answers each request with the
// next reply the input scripts, and prints to the spooler double. After every
// poll: each printer handle, document and page opened was closed once, no
// socket is left open, and the job was acknowledged only when every block was
// written whole and the document ended.
//
// Input: a flags byte, a byte naming the spooler call to fail and when, then
// replies, each a two-byte big-endian length and that many bytes. The peer
// closes the connection once the last reply is sent.
// Flags: bit 0 keep-alive off; bit 1 a token is held (no registration);
// bit 2 the service path is already known (no ping).
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/inventory_double.h"
#include "tests/support/doubles/spooler_double.h"
#include "tests/hardening/process_counts.h"
#include "tests/support/loopback_peer.h"
#include "transport/print_client.h"

namespace {

using spooler_double::Call;

// Answers every request on every connection with the next scripted reply;
// Settle waits until the client's connections have all been taken and ended.
class ReplayPeer {
public:
    ReplayPeer()
    {
        listener_ = ListenOnLoopback(64, &port_);
        // Accepting runs until no connection is waiting.
        fcntl(listener_, F_SETFL, fcntl(listener_, F_GETFL) | O_NONBLOCK);
        wake_ = eventfd(0, EFD_NONBLOCK);
        thread_ = std::thread(&ReplayPeer::Run, this);
    }

    uint16_t Port() const { return port_; }

    void Script(std::vector<std::string> replies)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_ = std::move(replies);
        next_ = 0;
        functions_.clear();
        settled_ = false;
        settling_ = false;
    }

    // Once the client is gone: every connection it made has ended here.
    std::vector<std::string> Settle()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        settling_ = true;
        uint64_t one = 1;
        if (write(wake_, &one, sizeof one) != sizeof one)
            abort();
        settledSignal_.wait(lock, [this] { return settled_; });
        return functions_;
    }

private:
    void Run()
    {
        for (;;) {
            pollfd entries[2] = {{listener_, POLLIN, 0}, {wake_, POLLIN, 0}};
            poll(entries, 2, -1);
            uint64_t wakes;
            if (read(wake_, &wakes, sizeof wakes) < 0)
                wakes = 0;
            // Asked before accepting: the client was gone by then, so this
            // round takes every connection it made.
            bool settling;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                settling = settling_;
            }
            int connection;
            while ((connection = accept4(listener_, nullptr, nullptr, 0)) >= 0) {
                Serve(connection);
                close(connection);
            }
            if (settling) {
                std::lock_guard<std::mutex> lock(mutex_);
                settled_ = true;
                settledSignal_.notify_all();
            }
        }
    }

    void Serve(int connection)
    {
        std::string head;
        std::string body;
        while (ReadWholeRequest(connection, &head, &body)) {
            std::string reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                functions_.push_back(RequestFunction(head));
                if (next_ == replies_.size())
                    return;
                reply = replies_[next_++];
            }
            if (!SendAll(connection, reply.data(), reply.size()))
                return;
            // Nothing more will come: closing now spares the client its
            // time-out when the last reply is cut short.
            std::lock_guard<std::mutex> lock(mutex_);
            if (next_ == replies_.size())
                return;
        }
    }

    int listener_ = -1;
    int wake_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable settledSignal_;
    std::vector<std::string> replies_;
    size_t next_ = 0;
    std::vector<std::string> functions_;
    bool settling_ = false;
    bool settled_ = false;
    std::thread thread_;
};

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
    // Lives as long as the process: its thread never ends.
    static ReplayPeer& peer = *new ReplayPeer;
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
    // A peer that has sent all it will send closes at once: waits end early.
    TransportTimeouts = {5, 5};

    display_recorder::Reset();
    spooler_double::Reset();
    // The low three bits pick the spooler call (0: none), the rest when.
    if ((failure & 7) != 0)
        spooler_double::FailCall(static_cast<Call>((failure & 7) - 1), 1 + (failure >> 3) % 4);
    inventory_double::Reset();
    inventory_double::SetPrinters({"Office Laser", "R&D Printer"});

    peer.Script(std::move(replies));
    const int descriptorsBefore = OpenDescriptors();
    int result;
    {
        PrintClient client;
        display_recorder::Attach(&client);
        client.Setup("127.0.0.1", peer.Port(), "PC01", "cipher");
        result = RunPollCycle(&client);
    }
    const std::vector<std::string> functions = peer.Settle();
    if (OpenDescriptors() != descriptorsBefore)
        abort();
    CheckSpoolerBalanced();
    CheckAcknowledgement(functions, result);
    return 0;
}
