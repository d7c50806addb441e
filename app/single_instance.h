// One client per session and one poller per computer: two would race each
// other for the same jobs.
#pragma once

#include <windows.h>

class SingleInstance {
public:
    // Takes the session's named mutex, or finds that another client has it.
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    bool AnotherIsRunning() const { return anotherIsRunning_; }

private:
    HANDLE mutex_;
    bool anotherIsRunning_;
};

// True when a client of this session holds the mutex, from its first moment
// (before its window exists) to its end. Takes nothing.
bool ClientRunningInSession();

// Asks the running client to show its window, as its "Properties" does. The
// running client may still be building its window, so this waits for it a
// few seconds at most. False when no window was found.
bool ShowRunningInstance();

// What a client's status bar says meanwhile. When Windows redirects this
// process's writes to the settings key to the user's own copy (a standard
// user, or an administrator's window not started with "Run as
// administrator"), the window's changes never reach the service: it says
// where they go.
const char* PollingAsAServiceText();

// True while the service "webprint" is installed and not stopped, as the
// service control manager tells: a client started in a session then leaves
// the polling to it.
bool ServiceIsPolling();
