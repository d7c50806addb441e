// Timer1: a timer of the main window whose ticks run Timer1Timer on the GUI
// thread, from the message loop.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/poll_timer.h"

class WindowTimer final : public PollTimer {
public:
    // Starts with the first interval of 1000 ms; it stops with the window.
    explicit WindowTimer(HWND window);
    ~WindowTimer() override;
    WindowTimer(const WindowTimer&) = delete;
    WindowTimer& operator=(const WindowTimer&) = delete;

    uint32_t Interval() override;
    void SetInterval(uint32_t milliseconds) override;

private:
    static void CALLBACK Tick(HWND window, UINT message, UINT_PTR id, DWORD time);

    HWND window_;
    uint32_t interval_ = 0;
};
