// Timer1: a timer of the main window whose ticks run Timer1Timer on the GUI
// thread, from the message loop. The polls it starts run on a thread of
// their own, one at a time.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/poll_thread.h"
#include "app/poll_timer.h"

class WindowTimer final : public PollTimer {
public:
    // Starts with the first interval of 1000 ms; it stops with the window.
    // Each poll runs poll (RunPoll, or a test's) on a thread of its own.
    WindowTimer(HWND window, PollThread::Poll poll);
    ~WindowTimer() override;
    WindowTimer(const WindowTimer&) = delete;
    WindowTimer& operator=(const WindowTimer&) = delete;

    uint32_t Interval() override;
    void SetInterval(uint32_t milliseconds) override;
    void StartPoll(const SettingsValues& settings) override;

    // For the program's end: cuts a running poll short and waits for it at
    // most milliseconds; true when no poll runs any more.
    bool EndPoll(DWORD milliseconds);

private:
    static void CALLBACK Tick(HWND window, UINT message, UINT_PTR id, DWORD time);
    void TickUnlessPolling();
    void PollEnded(int atOnce);

    HWND window_;
    uint32_t interval_ = 0;
    PollThread polls_;
    // A tick came while a poll ran.
    bool tickWaiting_ = false;
};
