// The notification-area icon and its menu.
#pragma once

#include <windows.h>
#include <shellapi.h>

constexpr UINT kTrayIconId = 1006;
// The platform's first application message plus 100.
constexpr UINT kTrayCallbackMessage = WM_APP + 100;

enum class TrayAction : DWORD { Add = NIM_ADD, Modify = NIM_MODIFY, Delete = NIM_DELETE };

// Passes the icon's record to the shell: the icon and the tip only for Modify.
// Whether the shell took it; an Add for an icon that exists is refused.
bool NotifyTray(HWND window, HICON icon, TrayAction action);

// "Properties" and "Exit", in this order.
HMENU BuildTrayMenu();

// Opens the menu at a point in screen coordinates; the chosen item arrives as
// WM_COMMAND. The window must be the foreground window first, or the menu
// would not close when the user clicks elsewhere.
void PopUpTrayMenu(HWND window, HMENU menu, POINT at);
