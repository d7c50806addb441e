// The poll timer's tick: checks the settings, keeps the timer's interval in
// step with the poll frequency, and runs one whole poll with a fresh client.
#pragma once

#include <cstdint>

// What the tick needs of the timer.
class PollTimer {
public:
    virtual ~PollTimer() = default;
    virtual uint32_t Interval() = 0;
    // Restarts the period; the tick calls it only for a changed interval.
    virtual void SetInterval(uint32_t milliseconds) = 0;
};

void Timer1Timer(PollTimer& timer);
