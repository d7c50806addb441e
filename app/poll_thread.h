// The tray program's polls, each on a thread of its own, so that no wait for
// the server holds up the window. The thread owns the poll and everything it
// touches; it gets a copy of the settings, and what the poll shows comes to
// the window's thread as posted messages carrying copies, in the order the
// poll showed it (progress reports close together as the last of them). The
// poll's end comes the same way, after everything it showed. The window's
// thread never waits for a poll, but to end the program.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>

#include "settings/client_settings.h"

struct HeldProgress;

class PollThread {
public:
    // The poll to run (RunPoll, or a test's) and what it returned.
    using Poll = int (*)(const SettingsValues& settings);
    using Ended = std::function<void(int result)>;

    // On the window's thread, after Windows Sockets have started: from here on
    // the polls' waits watch for Stop. ended runs on this thread, from its
    // message loop, once a poll has ended.
    PollThread(Poll poll, Ended ended);
    // Ends a poll still running as Stop does, for a short while at most.
    ~PollThread();
    PollThread(const PollThread&) = delete;
    PollThread& operator=(const PollThread&) = delete;

    // From Start until its end has come back to this thread.
    bool Running() const { return thread_ != nullptr; }
    // Starts one poll over this copy of the settings. False when no thread
    // could be started; nothing runs then.
    bool Start(const SettingsValues& settings);
    // For the program's end: every wait of the poll for the server ends at
    // once (transport/socket_shim.h), and with it the poll, its job aborted
    // and not acknowledged. Waits at most milliseconds for the thread; true
    // when no poll runs any more. Later polls would end at once too.
    bool Stop(DWORD milliseconds);

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static DWORD WINAPI ThreadMain(void* start);
    void ShowHeldProgress();
    void PollEnded(LONG number, int result);
    void Forget();

    Poll poll_;
    Ended ended_;
    HWND messages_ = nullptr;  // a message-only window of the window's thread
    HANDLE thread_ = nullptr;
    LONG number_ = 0;  // of the latest poll, so an end that comes late is known
    std::shared_ptr<HeldProgress> held_;  // the latest poll's
};
