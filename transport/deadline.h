// A wait made of several reads that must end by one fixed time, however the
// peer spaces its bytes: each read waits only for what is left.
#pragma once

#include <chrono>

class Deadline {
public:
    explicit Deadline(int milliseconds) : end_(Clock::now() + std::chrono::milliseconds(milliseconds)) {}

    // Milliseconds left, 0 once the time has passed.
    int LeftMilliseconds() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) : 0;
    }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point end_;
};
