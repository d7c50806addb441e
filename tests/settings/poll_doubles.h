// Link-time doubles for what the poll timer's tick calls: the client, the poll
// and the display functions. They record what the tick did.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/poll_cycle.h"

struct SetupCall {
    std::string host;
    int32_t port;
    std::string computerName;
    std::string cipher;
    std::string proxy;  // "host:port" handed to SetProxy; empty: never called
};

struct PollSeen {
    bool callbacksAreTheDisplay;  // OnProgress, OnStatus, OnLog of the window
    int clientsAlive;
    bool setUpFirst;
};

struct TickRecord {
    int clientsCreated = 0;
    int clientsDestroyed = 0;
    std::vector<SetupCall> setups;
    std::vector<PollSeen> polls;
    std::vector<std::string> statusTexts;
    // How every poll ends, and the LongPoll each poll's client was given.
    PollEnd outcome;
    std::vector<int32_t> longPolls;
};

extern TickRecord Ticks;
