// One whole poll of the remote-print service: connect, register when due,
// query for a job, download and print it raw, acknowledge it.
#pragma once

#include <cstdint>

#include "settings/setting_rules.h"

struct PrintClient;

// Process-wide protocol state, from start to exit.
extern int32_t ComputerToken;          // -1 until a registration answers
extern int32_t RegistrationCountdown;  // connected polls until the next registration
extern bool LogCleared;                // the event list was emptied since the last failure

// The most spool data requests the block loop keeps in flight, the setting's
// own maximum; a client asking for more gets this many.
constexpr int32_t kMostBlocksInFlight = kBlocksInFlightMaximum;

// How a poll ended, for when the next one starts.
struct PollEnd {
    enum How { Failed, EmptyQueue, Printed } how = Failed;
    // How long the service took to answer the query with an empty queue.
    int64_t emptyReplyMilliseconds = 0;
};

// 0 when a job was printed and acknowledged, 1 otherwise (an empty queue
// too). outcome, when given, receives how the poll ended.
int RunPollCycle(PrintClient* client, PollEnd* outcome = nullptr);

// Empties the spooler-events list; the main window provides it.
void ClearLog();
