#include "app/quit_request.h"

#include "app/exit_codes.h"
#include "ui/control_ids.h"

namespace {

// The client's single-instance mutex: it exists from the client's first
// moment, before its window does.
const char kClientMutexName[] = "Local\\Morvelund.TarnwickWebPrinting.Client";
// A poll in progress holds the client's only thread for several seconds.
const DWORD kInstallerWaitMilliseconds = 30000;
const DWORD kWindowPollMilliseconds = 50;

bool ClientMutexExists()
{
    const HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, kClientMutexName);
    if (mutex == nullptr)
        return false;
    CloseHandle(mutex);
    return true;
}

bool IsBlank(char character) { return character == ' ' || character == '\t'; }

}  // namespace

bool IsQuitRequest(const char* commandLine)
{
    if (commandLine == nullptr)
        return false;
    while (IsBlank(*commandLine))
        ++commandLine;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, commandLine, 5, "/quit", 5) != CSTR_EQUAL)
        return false;
    commandLine += 5;
    while (IsBlank(*commandLine))
        ++commandLine;
    return *commandLine == '\0';
}

QuitOutcome QuitRunningClient(DWORD waitMilliseconds)
{
    const DWORD start = GetTickCount();
    bool ended = false;
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        const DWORD left = elapsed < waitMilliseconds ? waitMilliseconds - elapsed : 0;
        const HWND window = FindWindowA(kMainWindowClass, kMainWindowCaption);
        if (window == nullptr) {
            if (!ClientMutexExists())
                return ended ? QuitOutcome::kEnded : QuitOutcome::kNoneRunning;
            // A client still building its window, or one that is ending.
            if (left == 0)
                return QuitOutcome::kStillRunning;
            Sleep(kWindowPollMilliseconds);
            continue;
        }
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
        if (process == nullptr || PostMessageA(window, WM_COMMAND, kMnuExit, 0) == FALSE) {
            if (process != nullptr)
                CloseHandle(process);
            return QuitOutcome::kStillRunning;
        }
        const DWORD waited = WaitForSingleObject(process, left);
        CloseHandle(process);
        if (waited != WAIT_OBJECT_0)
            return QuitOutcome::kStillRunning;
        ended = true;
    }
}

int RunQuitRequest()
{
    switch (QuitRunningClient(kInstallerWaitMilliseconds)) {
    case QuitOutcome::kNoneRunning:
        return kExitNormal;
    case QuitOutcome::kEnded:
        return kExitQuitClientEnded;
    case QuitOutcome::kStillRunning:
        break;
    }
    return kExitQuitClientStillRunning;
}
