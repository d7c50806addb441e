// A poll against a scripted print service on loopback, with the spooler,
// inventory and display doubles, and the process-wide state reset per test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/poll_cycle.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/inventory_double.h"
#include "tests/support/doubles/spooler_double.h"
#include "tests/support/scripted_server.h"
#include "transport/print_client.h"

// The function name of a request path ("printlist", "spooldata", ...).
std::string FunctionOf(const ScriptedRequest& request);

// The offset a spooldata request names.
size_t OffsetOf(const ScriptedRequest& request);

// A status line other than 200, which fails the request.
std::string ServerError();

// Each byte inverted, as the service sends a block and the printer gets it.
std::string Complement(const std::string& bytes);

// The query reply for a job; more lines may follow.
std::string JobReply(const std::string& file, const std::string& size, const std::string& document,
                     const std::string& printer, const std::string& jobId);

class PollTest : public ::testing::Test {
public:
    static constexpr const char* kCipher = "Ab3$Cd4%Ef5&Gh6'";

    void SetUp() override;
    void TearDown() override;

    // The answers to a function, in order; the last one repeats.
    void Script(const std::string& function, std::vector<ScriptedAnswer> answers);
    void Script(const std::string& function, const std::string& okBody);
    // Serves data complemented, by the offset each spooldata request names:
    // the first blocks have the given sizes, the others are whole (4096
    // bytes, or what is left).
    void ServeBlocks(const std::string& data, const std::vector<size_t>& sizes);
    // The answer to the nth request of the function (from 1) ends its
    // connection: announced by a "Connection: close" field, or silently; with
    // reset, by a plain close with requests still unread.
    void CloseAfter(const std::string& function, int request, bool announced, bool reset = false);
    // Changes every spooldata answer (its framing, a close after it).
    void ShapeBlocks(void (*shape)(ScriptedAnswer* answer));
    // After a silent close, waits (a second at most) until it has reached the
    // client, as it has on a real link by the time the client sends again;
    // after a close with requests unread, until the server has closed.
    void AwaitSilentClose();

    // One poll with a fresh client, kept in client_ for inspection.
    int Poll();
    // One poll whose connect is refused.
    int PollUnreachable();

    std::vector<ScriptedRequest> RequestsFor(const std::string& function);
    std::vector<DisplayEvent> Events() { return display_recorder::Events(); }
    // The events since the last call of this function.
    std::vector<DisplayEvent> NewEvents();

    // Spool data requests each poll's client keeps in flight.
    int32_t blocksInFlight = 1;
    // The LongPoll each poll's client is given, and how its last poll ended.
    int32_t longPoll = 0;
    PollEnd outcome;

protected:
    std::unique_ptr<ScriptedServer> server_;
    std::unique_ptr<PrintClient> client_;

private:
    ScriptedAnswer Answer(const ScriptedRequest& request);

    std::mutex mutex_;
    std::map<std::string, std::vector<ScriptedAnswer>> script_;
    std::map<std::string, size_t> served_;
    std::string spoolFile_;
    std::map<size_t, size_t> blockSizes_;  // by offset
    std::string closingFunction_;
    int closingRequest_ = 0;
    bool closeAnnounced_ = false;
    bool closeResets_ = false;
    void (*shapeBlocks_)(ScriptedAnswer* answer) = nullptr;
    std::atomic<bool> silentCloseGiven_{false};
    std::atomic<bool> resetGiven_{false};
    size_t eventsSeen_ = 0;
};
