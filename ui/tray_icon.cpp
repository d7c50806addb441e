#include "ui/tray_icon.h"


#include "ui/control_ids.h"

// The shell's first form of the record, which every Windows version takes.
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the tray record's first form is 88 bytes");

bool NotifyTray(HWND window, HICON icon, TrayAction action)
{
    NOTIFYICONDATAA data = {};
    data.cbSize = NOTIFYICONDATAA_V1_SIZE;
    data.hWnd = window;
    data.uID = kTrayIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayCallbackMessage;
    if (action == TrayAction::Modify) {
        data.hIcon = icon;
        lstrcpynA(data.szTip, kMainWindowCaption, 64);
    }
    return Shell_NotifyIconA(static_cast<DWORD>(action), &data) != FALSE;
}

HMENU BuildTrayMenu()
{
    HMENU menu = CreatePopupMenu();
    AppendMenuA(menu, MF_STRING, kMnuProperties, "Properties");
    AppendMenuA(menu, MF_STRING, kMnuExit, "Exit");
    return menu;
}

void PopUpTrayMenu(HWND window, HMENU menu, POINT at)
{
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window, nullptr);
    // Lets the menu close properly when it was opened from the tray.
    PostMessageA(window, WM_NULL, 0, 0);
}
