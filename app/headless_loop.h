// The poll timer without a window, as the Linux daemon and the Windows
// service run it: one tick when the timer is due, and between ticks a wait
// that a stop or a reload request cuts short. A stop also ends the waits of a
// running poll (transport/socket_shim.h), so the loop ends within moments
// wherever it was.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/poll_timer.h"
#include "settings/client_settings.h"

using SteadyClock = std::chrono::steady_clock;

enum class Wake { Due, Stop, Reload };

// A window timer's rules: ticks at a fixed period from the moment the
// interval was set, the first one a second after start.
class HeadlessTimer final : public PollTimer {
public:
    uint32_t Interval() override { return interval_; }
    void SetInterval(uint32_t milliseconds) override;
    // The loop's own thread runs the poll to its end; the next one is due at
    // once when the poll asks for it (NextPollAtOnce).
    void StartPoll(const SettingsValues& settings) override
    {
        if (RunPoll(settings) != 0)
            TickNow();
    }
    SteadyClock::time_point Due() const { return due_; }
    // New settings are tried at once, not at the end of the old period.
    void TickNow() { due_ = SteadyClock::now(); }
    // Periods that passed while a tick ran give one tick at once and no more,
    // as a window timer's do.
    void TickStartedAt(SteadyClock::time_point start);

private:
    uint32_t interval_ = 1000;
    SteadyClock::time_point due_ = SteadyClock::now() + std::chrono::milliseconds(1000);
};

// What the loop needs of its platform.
struct HeadlessPlatform {
    // Waits until the deadline, or less for a stop or reload request; a stop
    // wins over a reload.
    Wake (*waitUntil)(SteadyClock::time_point deadline);
    // Reads the settings again; true when it took settings that the next
    // poll, due at once, should try.
    bool (*reload)();
    // One tick: Timer1Timer with the platform's logging around it.
    void (*tick)(PollTimer& timer);
};

// Runs until a stop request.
void RunHeadlessLoop(const HeadlessPlatform& platform);

// After the settings were read again into ClientSettings: when they change
// what the service knows of this computer (server, port, TLS, computer name
// or hidden printers), the next poll registers afresh and never queries with
// the old name's token; after a change of server it finds the service path
// again too. True when the next poll registers afresh.
bool RegisterAfreshAfterChanges(const SettingsValues& inForce, bool samePrintersHidden);

// The time left until the deadline for a platform's wait call: rounded up,
// so a wait never ends just before its deadline, and at most a day.
int WaitMilliseconds(SteadyClock::time_point deadline);

// For the log, what complete settings make the poller do: "polling
// HOST:PORT every N s as NAME, user USER", with ", each query held up to N s"
// after the period when LongPoll is set.
std::string PollingDescription();
