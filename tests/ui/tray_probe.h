// Asks the shell about the client's tray icon, in this process or another.
#pragma once

#include <windows.h>

// Whether the shell holds the window's icon: only an existing icon can be
// modified, and a modify that names no field changes nothing.
bool TrayIconExists(HWND window);
