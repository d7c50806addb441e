#include "app/single_instance.h"

#include "ui/control_ids.h"

namespace {

const char kMutexName[] = "Local\\Morvelund.TarnwickWebPrinting.Client";
const char kServiceMutexName[] = "Global\\Morvelund.TarnwickWebPrinting.Service";
const int kWindowWaitSteps = 100;
const DWORD kWindowWaitStepMilliseconds = 50;

}  // namespace

SingleInstance::SingleInstance()
    : mutex_(CreateMutexA(nullptr, FALSE, kMutexName)), anotherIsRunning_(GetLastError() == ERROR_ALREADY_EXISTS)
{
}

SingleInstance::~SingleInstance()
{
    if (mutex_ != nullptr)
        CloseHandle(mutex_);
}

bool ClientRunningInSession()
{
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kMutexName);
    if (mutex == nullptr)
        return false;
    CloseHandle(mutex);
    return true;
}

bool ShowRunningInstance()
{
    for (int step = 0; step < kWindowWaitSteps; ++step) {
        const HWND window = FindWindowA(kMainWindowClass, kMainWindowCaption);
        if (window != nullptr) {
            // This process was just started by the user, so it may hand the
            // foreground on to the running client.
            DWORD processId = 0;
            GetWindowThreadProcessId(window, &processId);
            AllowSetForegroundWindow(processId);
            return PostMessageA(window, WM_COMMAND, kMnuProperties, 0) != FALSE;
        }
        Sleep(kWindowWaitStepMilliseconds);
    }
    return false;
}

ServicePresence::ServicePresence() : mutex_(CreateMutexA(nullptr, FALSE, kServiceMutexName))
{
}

ServicePresence::~ServicePresence()
{
    if (mutex_ != nullptr)
        CloseHandle(mutex_);
}

bool ServiceIsPolling()
{
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kServiceMutexName);
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return true;
    }
    // The service's object may be closed to a user's account: it exists all the same.
    return GetLastError() == ERROR_ACCESS_DENIED;
}
