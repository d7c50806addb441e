// The poll timer's tick: checks the settings, keeps the timer's interval in
// step with the poll frequency, and starts one whole poll with a fresh client.
#pragma once

#include <cstdint>

#include "protocol/poll_cycle.h"
#include "settings/client_settings.h"

// What the tick needs of the timer.
class PollTimer {
public:
    virtual ~PollTimer() = default;
    virtual uint32_t Interval() = 0;
    // Restarts the period; the tick calls it only for a changed interval.
    virtual void SetInterval(uint32_t milliseconds) = 0;
    // Runs RunPoll over settings, the tick's copy of ClientSettings: the
    // headless loop to its end, the tray program on a thread of its own.
    virtual void StartPoll(const SettingsValues& settings) = 0;
};

void Timer1Timer(PollTimer& timer);

// One whole poll with a fresh client over settings that a tick has checked.
// It reads nothing of ClientSettings, so it may run on any thread while the
// window's OK replaces them. 1 when the next poll should start at once
// rather than at the timer (NextPollAtOnce), else 0.
int RunPoll(const SettingsValues& settings);

// Whether the poll after this one starts at once. Only with LongPoll set:
// after a poll that printed a job, so a queue drains job after job, and after
// an empty reply the service held for at least half of LongPoll. After a
// reply given at once, and after every failed poll, the timer decides, so a
// service that does not hold queries, or a path that cuts held requests
// short, is never polled faster than PollFreq.
bool NextPollAtOnce(const PollEnd& end, int32_t longPollSeconds);
