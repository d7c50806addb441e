// The program's start: one client per session, the main window (whose
// creation loads the settings), Windows Sockets 2.0, the poll timer and the
// message loop, which runs until "Exit" closes the window. With "/service"
// the service control manager starts the client as a service instead.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "app/exit_codes.h"
#include "app/poll_timer.h"
#include "app/quit_request.h"
#include "app/service_main.h"
#include "app/single_instance.h"
#include "app/window_timer.h"
#include "app/winsock_start.h"
#include "settings/win32/registry_store.h"
#include "ui/display.h"
#include "ui/main_window.h"

namespace {

// "Exit" ends the process within 2 s, a poll in progress included: this long
// for the poll to end once its waits are cut short.
const DWORD kPollEndMilliseconds = 1500;

int RunMessageLoop(HWND window)
{
    MSG message;
    BOOL received;
    while ((received = GetMessageA(&message, nullptr, 0, 0)) != 0) {
        if (received == -1)
            return kExitStartUpFailure;
        // Tab and the arrow keys move between the window's controls.
        if (IsWindow(window) && IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    // An installer's quit request and the service control manager's start
    // are the command lines the program knows; a normal start reads none.
    if (IsQuitRequest(commandLine))
        return RunQuitRequest();
    if (IsServiceRequest(commandLine))
        return RunService();

    SingleInstance session;
    if (session.AnotherIsRunning()) {
        ShowRunningInstance();
        return kExitNormal;
    }

    INITCOMMONCONTROLSEX controls = {sizeof(controls),
                                     ICC_STANDARD_CLASSES | ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    // Declared before the window, so the key is closed after the window is
    // gone and its tray icon removed.
    RegistryStore settingsKey;
    std::unique_ptr<TfrmMain> form = TfrmMain::Create(instance, settingsKey);
    if (!form) {
        MessageBoxA(nullptr, "Unable to create the main window", nullptr, MB_OK);
        return kExitStartUpFailure;
    }

    const int socketsFailure = StartWindowsSockets(PlatformSocketsLibrary());
    if (socketsFailure != kExitNormal)
        return socketsFailure;

    // Ticks start only now: a message box shown while the window was built
    // runs a message loop of its own, which must not poll before the sockets
    // are up. The first tick still comes a second after the loop starts.
    WindowTimer timer(form->Handle(), RunPoll);
    // Started by hand while the service polls: the window opens and says so.
    if (ServiceIsPolling()) {
        form->ShowPanel = true;
        OnStatus(PollingAsAServiceText());
    }
    form->ShowAtStart();
    const int exitCode = RunMessageLoop(form->Handle());
    // A poll that no wait of its own ends in time (a connect, a name look-up,
    // a spooler that does not answer) ends with the process, its job not
    // acknowledged; the window and its tray icon are gone already.
    if (!timer.EndPoll(kPollEndMilliseconds))
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}
