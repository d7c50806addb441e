// Drives the client for tools/screenshots.sh, on the tests' desktop:
//   screenshot_driver start PROGRAM   starts the client and leaves it running
//   screenshot_driver page N          shows the window on page N (0 Status,
//                                     1 Settings, 2 Printers) and prints its
//                                     place on the screen as WIDTHxHEIGHT+X+Y
//   screenshot_driver exit            chooses "Exit" and waits for the end
// Exit code 0 on success, 1 on a usage error, 2 when the client is not there.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/ui/client_driver.h"
#include "tests/ui/test_desktop.h"
#include "ui/control_ids.h"

namespace {

HWND RunningClient()
{
    return FindWindowA(kMainWindowClass, kMainWindowCaption);
}

int Start(const char* program)
{
    ClientProcess client(program);
    if (!client.Start())
        return 2;
    // The client goes on running when this program ends.
    client.Release();
    return 0;
}

int ShowPage(int page)
{
    HWND window = RunningClient();
    if (window == nullptr)
        return 2;
    SendMessageA(window, WM_COMMAND, kMnuProperties, 0);
    SendMessageA(FindControl(window, kPageControl1), TCM_SETCURFOCUS, page, 0);
    // Painted before this returns, so the picture is complete.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Settle(window);
    RECT frame;
    GetWindowRect(window, &frame);
    std::printf("%ldx%ld+%ld+%ld\n", frame.right - frame.left, frame.bottom - frame.top, frame.left, frame.top);
    return 0;
}

int Exit()
{
    HWND window = RunningClient();
    if (window == nullptr)
        return 2;
    PostMessageA(window, WM_COMMAND, kMnuExit, 0);
    return WaitUntil([window] { return !IsWindow(window); }) ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!EnterTestDesktop()) {
        std::fprintf(stderr, "%s\n", kNoDisplay);
        return 2;
    }
    if (argc == 3 && std::strcmp(argv[1], "start") == 0)
        return Start(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "page") == 0)
        return ShowPage(std::atoi(argv[2]));
    if (argc == 2 && std::strcmp(argv[1], "exit") == 0)
        return Exit();
    std::fprintf(stderr, "usage: screenshot_driver start PROGRAM | page N | exit\n");
    return 1;
}
