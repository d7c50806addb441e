#include "app/single_instance.h"

#include <winsvc.h>

#include "ui/control_ids.h"

namespace {

const char kMutexName[] = "Local\\Morvelund.TarnwickWebPrinting.Client";
const char kServiceName[] = "webprint";
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

const char* PollingAsAServiceText()
{
    HANDLE token = nullptr;
    DWORD virtualized = 0;
    DWORD size = sizeof virtualized;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (!GetTokenInformation(token, TokenVirtualizationEnabled, &virtualized, size, &size))
            virtualized = 0;
        CloseHandle(token);
    }
    return virtualized != 0 ? "Polling as a service; changes here go to your VirtualStore copy only: Run as administrator"
                            : "Polling as a service";
}

bool ServiceIsPolling()
{
    // The service control manager's word: a named object that the service
    // held could be created first by any process, and stop every client.
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return false;
    const SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_QUERY_STATUS);
    // A service closed to this account exists all the same: only an
    // administrator can install one under that name.
    bool polling = service == nullptr && GetLastError() == ERROR_ACCESS_DENIED;
    SERVICE_STATUS status = {};
    if (service != nullptr) {
        polling = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return polling;
}
