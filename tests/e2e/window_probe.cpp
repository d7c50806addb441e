// Reads what the running client shows, for the end-to-end tests:
//   window_probe events   prints the spooler-events list, one line each
//   window_probe shown    exit code 0 when the window is shown, 3 while it
//                         is hidden
// Exit code 2 when the client's window is not there.
// And one thing the installer tests need of a Win32 program:
//   window_probe squat    takes the named mutex that an earlier client took
//                         as the sign of a running service, as any local
//                         process could, prints "holding", and keeps it
//                         until its standard input ends
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "ui/control_ids.h"

namespace {

int PrintEvents(HWND window)
{
    // The list lies on the Status page, which is a child of the window.
    HWND list = GetDlgItem(GetDlgItem(window, kTbStatus), kListBox1);
    if (list == nullptr)
        return 2;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        // The wide form: the narrow one returns UTF-16 bytes across processes under Wine.
        wchar_t line[1024] = {};
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) >= static_cast<LRESULT>(sizeof line / sizeof line[0]))
            continue;
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        char text[4096];
        WideCharToMultiByte(CP_UTF8, 0, line, -1, text, sizeof text, nullptr, nullptr);
        printf("%s\n", text);
    }
    return 0;
}

int HoldServiceMutex()
{
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, "Global\\Morvelund.TarnwickWebPrinting.Service");
    if (mutex == nullptr)
        return 1;
    printf("holding\n");
    fflush(stdout);
    char rest[64];
    while (fread(rest, 1, sizeof rest, stdin) > 0) {
    }
    CloseHandle(mutex);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "squat") == 0)
        return HoldServiceMutex();
    HWND window = FindWindowA(kMainWindowClass, nullptr);
    if (window == nullptr)
        return 2;
    if (argc == 2 && strcmp(argv[1], "events") == 0)
        return PrintEvents(window);
    if (argc == 2 && strcmp(argv[1], "shown") == 0)
        return IsWindowVisible(window) ? 0 : 3;
    fprintf(stderr, "usage: window_probe events|shown|squat\n");
    return 1;
}
