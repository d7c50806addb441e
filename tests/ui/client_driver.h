// Starts the real webprint.exe on the test desktop and drives it the way a
// user would: through messages to its window and its controls.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// How long the tests wait for the client at most; every wait ends as soon as
// what it waits for has happened.
constexpr DWORD kClientWaitMilliseconds = 10000;

// Checks condition until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition, DWORD milliseconds = kClientWaitMilliseconds);

// The main window of the given process on this thread's desktop, or null.
HWND FindClientWindow(DWORD processId);
// The control with this identifier anywhere inside window, or null.
HWND FindControl(HWND window, int id);

// Reads and sets another process's control text. The wide messages: under
// Wine the narrow ones return UTF-16 bytes across processes.
std::string ControlText(HWND control);
void SetControlText(HWND control, const std::string& text);
std::string ListItemText(HWND list, int index);

// Waits until the other process has handled everything sent before.
bool Settle(HWND window);

class ClientProcess {
public:
    explicit ClientProcess(const char* executable, const char* arguments = "")
        : executable_(executable), arguments_(arguments)
    {
    }
    // Ends a client that is still running.
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    // Starts the client on the test desktop.
    bool Launch();
    // Launches the client and waits until its message loop is idle. False
    // when it did not start or has no window.
    bool Start();
    // Waits for the process to end. False when it is still running.
    bool WaitForExit(DWORD* exitCode);

    // Leaves the process running when this object goes.
    void Release();

    HWND Window() const { return window_; }
    HWND Control(int id) const { return FindControl(window_, id); }
    DWORD ProcessId() const { return process_.dwProcessId; }

private:
    const char* executable_;
    const char* arguments_;
    PROCESS_INFORMATION process_ = {};
    HWND window_ = nullptr;
};
