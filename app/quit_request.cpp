#include "app/quit_request.h"

#include "app/command_line.h"
#include "app/exit_codes.h"
#include "app/single_instance.h"
#include "ui/control_ids.h"

namespace {

// A client ends within 2 s of its "Exit", a poll in progress included; an
// older version's poll held its only thread for up to its time-outs.
const DWORD kInstallerWaitMilliseconds = 30000;
const DWORD kWindowPollMilliseconds = 50;

}  // namespace

bool IsQuitRequest(const char* commandLine)
{
    return CommandLineIs(commandLine, "/quit");
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
            if (!ClientRunningInSession())
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
