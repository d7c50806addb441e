#include "app/service_main.h"

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "app/command_line.h"
#include "app/event_lines.h"
#include "app/event_log.h"
#include "app/exit_codes.h"
#include "app/headless_loop.h"
#include "app/poll_timer.h"
#include "app/service_signals.h"
#include "app/winsock_start.h"
#include "settings/client_settings.h"
#include "settings/settings_form.h"
#include "settings/win32/registry_store.h"
#include "ui/display.h"

namespace {

char kServiceName[] = "webprint";
// A stop ends the process within 2 s: a poll that no wait of its own ends
// in time (a connect, a name look-up, a spooler that does not answer) ends
// with the process after this long.
const DWORD kStopDeadlineMilliseconds = 1500;

const char kNotAService[] =
    "webprint.exe /service runs only as the Windows service \"webprint\", started by the service\r\n"
    "control manager. Install the service with either package, as an administrator:\r\n"
    "  webprint-setup-" WEBPRINT_VERSION ".exe /S /SERVICE=1 /SERVER=print.example.com\r\n"
    "  msiexec /i webprint-" WEBPRINT_VERSION ".msi /qn SERVICE=1 SERVER=print.example.com\r\n"
    "The installers start it; later: sc start webprint, sc stop webprint.\r\n";

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
CRITICAL_SECTION StatusLock;
DWORD CheckPoint = 0;
bool StoppedReported = false;
HANDLE LoopEnded = nullptr;
bool PollCutShort = false;

void ReportState(DWORD state, DWORD serviceExitCode = 0, DWORD waitHint = 0)
{
    EnterCriticalSection(&StatusLock);
    // The stop's deadline may have reported the end already.
    if (!StoppedReported) {
        SERVICE_STATUS status = {};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status.dwWin32ExitCode = serviceExitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = serviceExitCode;
        status.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : ++CheckPoint;
        status.dwWaitHint = waitHint;
        StoppedReported = state == SERVICE_STOPPED;
        SetServiceStatus(StatusHandle, &status);
    }
    LeaveCriticalSection(&StatusLock);
}

EventLines Events(WriteEvent);

void NoProgress(int32_t, int32_t)
{
}

void StatusEvent(const char* text)
{
    Events.Status(text);
}

void LogEvent(const char* text)
{
    Events.Event(text);
}

void NoClearLog()
{
}

const DisplayFunctions kEventLogDisplay = {NoProgress, StatusEvent, LogEvent, NoClearLog};

RegistryStore* SettingsKey = nullptr;
std::string LoggedState;

// Loads the settings as the window does at its start, defaults written back.
// The key is opened afresh, in case it was deleted and created again, and
// watched before it is read: a change made meanwhile is read again. Only
// values that differ are written back, so the reading wakes the loop at
// most once of its own (when it wrote a missing value).
void LoadSettings()
{
    SettingsKey->Reopen();
    WatchSettingsKey();
    NoSettingsView view;
    bool showPanel = false;
    const SettingsOutcome outcome = LoadSettingsAtStart(*SettingsKey, view, &showPanel);
    if (outcome.kind != SettingsOutcome::Done)
        WriteEvent(LogLevel::Error, outcome.message);
}

// Logs what the settings make of the service, when it is news.
void LogState(const char* what)
{
    const char* missing = MissingSetting(ClientSettings);
    const std::string state = missing != nullptr ? std::string("not polling: ") + missing + " in HKLM\\" +
                                                       kSettingsKeyPath + " (read again when it changes)"
                                                 : PollingDescription();
    if (state == LoggedState)
        return;
    LoggedState = state;
    WriteEvent(missing != nullptr ? LogLevel::Warning : LogLevel::Info, std::string(what) + ": " + state);
}

// Any write to the key wakes the service, its own printer flags included:
// only settings that changed are polled with at once. The printers' hide
// flags are not compared: after any write the next poll registers afresh,
// which costs one request.
bool ReloadSettings()
{
    const SettingsValues inForce = ClientSettings;
    LoadSettings();
    RegisterAfreshAfterChanges(inForce, false);
    LogState("Settings read again");
    return !SameSettings(inForce, ClientSettings);
}

void ServiceTick(PollTimer& timer)
{
    Events.BeginPoll();
    Timer1Timer(timer);
    // A stop cuts the poll short with failures of its own making: the stop's
    // own line tells of it instead.
    if (ServiceStopRequested())
        PollCutShort = true;
    Events.EndPoll(PollCutShort);
}

int WINAPI StartUpFailure(HWND, LPCSTR text, LPCSTR, UINT)
{
    WriteEvent(LogLevel::Error, text);
    return IDOK;
}

DWORD WINAPI EndAtTheStopDeadline(void*)
{
    if (WaitForSingleObject(LoopEnded, kStopDeadlineMilliseconds) == WAIT_OBJECT_0)
        return 0;
    WriteEvent(LogLevel::Warning, "webprint service stopped; a poll that did not end in time ended with the process");
    ReportState(SERVICE_STOPPED);
    TerminateProcess(GetCurrentProcess(), kExitNormal);
    return 0;
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        if (!ServiceStopRequested()) {
            ReportState(SERVICE_STOP_PENDING, 0, kStopDeadlineMilliseconds + 500);
            RequestServiceStop();
            const HANDLE deadline = CreateThread(nullptr, 0, EndAtTheStopDeadline, nullptr, 0, nullptr);
            if (deadline != nullptr)
                CloseHandle(deadline);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPSTR*)
{
    StatusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ControlHandler, nullptr);
    if (StatusHandle == nullptr)
        return;
    ReportState(SERVICE_START_PENDING, 0, 3000);
    DisplayWithoutWindow(&kEventLogDisplay);
    RegistryStore settingsKey;
    settingsKey.WriteOnlyChanges();
    SettingsKey = &settingsKey;
    UseSettingsStore(&settingsKey);
    if (StartWindowsSockets({WSAStartup, WSACleanup, StartUpFailure}) != kExitNormal || !StartServiceSignals()) {
        ReportState(SERVICE_STOPPED, kExitStartUpFailure);
        return;
    }
    LoadSettings();
    LogState("webprint service " WEBPRINT_VERSION " started");
    ReportState(SERVICE_RUNNING);

    RunHeadlessLoop({WaitForService, ReloadSettings, ServiceTick});
    Events.End();

    WriteEvent(LogLevel::Info, PollCutShort ? "webprint service stopped; the poll in progress was cut short"
                                            : "webprint service stopped");
    SetEvent(LoopEnded);
    UseSettingsStore(nullptr);
    ReportState(SERVICE_STOPPED);
}

// A program of the GUI subsystem has no console of its own: it writes to the
// standard error it was given, else to the console of the command prompt that
// started it.
void WriteToConsole(const char* text)
{
    HANDLE out = GetStdHandle(STD_ERROR_HANDLE);
    if ((out == nullptr || out == INVALID_HANDLE_VALUE) && AttachConsole(ATTACH_PARENT_PROCESS))
        out = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

}  // namespace

bool IsServiceRequest(const char* commandLine)
{
    return CommandLineIs(commandLine, "/service");
}

int RunService()
{
    InitializeCriticalSection(&StatusLock);
    LoopEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYA services[] = {{kServiceName, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(services))
        return kExitNormal;
    WriteToConsole(kNotAService);
    return kExitNotStartedAsService;
}
