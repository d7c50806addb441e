// One whole poll against a forked misbehaving service, with what the hardening
// suites check after it: time taken, descriptors, spooler calls and the
// requests the service read.
#pragma once

#include <string>
#include <vector>

#include "tests/hardening/forked_peer.h"
#include "tests/support/doubles/display_recorder.h"

// The job every script serves: ten bytes in two blocks, the second chunked.
extern const std::string kJobBytes;
extern const std::vector<std::string> kJobBlocks;

// Every byte inverted, as the service sends spool data.
std::string Complemented(const std::string& bytes);

// The responses of a first poll that registers, finds the job, fetches both
// blocks and acknowledges it: printlist, qryspool, spooldata x2, printed.
std::vector<ScriptedResponse> CompleteExchange();
extern const char* const kRequestNames[5];

struct PollOutcome {
    int result = -1;
    double seconds = 0;
    std::vector<std::string> requests;  // as the service read them
    int descriptorsBefore = 0;
    int descriptorsAfterPoll = 0;       // the client still exists
    int descriptorsAfterClient = 0;     // the client destroyed
    bool socketHeld = false;            // the client held a socket after the poll
};

// Resets the process-wide protocol and transport state (keep-alive as
// given), the doubles, and runs one poll against the script. With pauseAt,
// the poll waits at that display event until more bytes are waiting on its
// connection (at most a second), so they surely arrived before the poll goes
// on: a second answer is then there before the next request is sent.
PollOutcome RunPoll(const std::vector<ScriptedResponse>& script, bool keepAlive,
                    const DisplayEvent* pauseAt = nullptr);

// The time-outs RunPoll sets: a stalled server costs one of these per read.
constexpr int kHeadTimeoutMilliseconds = 150;
