// The process-wide current settings, and when they are complete enough to poll.
#pragma once

#include <cstdint>
#include <string>

struct SettingsValues {
    std::string Url;
    int32_t Port = 0;
    int32_t PollFreq = 0;
    std::string ComputerName;
    std::string Cipher;
    // Off: plain TCP, as before the setting existed.
    bool UseTls = false;
    // Spool data requests kept on the connection before their replies; 1 is
    // one request, then its reply, as before the setting existed.
    int32_t BlocksInFlight = 1;
    // "host:port" of an HTTP proxy; empty connects straight to Url:Port.
    std::string Proxy;
    // Seconds the service may hold a query until a job comes; 0 asks at
    // once, as before the setting existed.
    int32_t LongPoll = 0;
};

// Zero and empty at start; loaded at start-up, replaced by OK.
extern SettingsValues ClientSettings;

// Whether every value is the same.
bool SameSettings(const SettingsValues& one, const SettingsValues& other);

// Every tick polls only when this holds: PollFreq, Url, Port, ComputerName.
bool SettingsComplete(const SettingsValues& settings);
// The first of those that is missing, as a short reason; null when complete.
const char* MissingSetting(const SettingsValues& settings);
