// Builds the main window and its controls from the control table, scaled to
// the screen's dots per inch.
#pragma once

#include <windows.h>

#include "ui/control_table.h"

struct Scale {
    int dpi;
    int Pixels(int at96) const { return MulDiv(at96, dpi, 96); }
};

// The screen's dots per inch, which the program declares it handles itself.
Scale ScreenScale();

// The platform's interface font at the window's point size.
HFONT CreateWindowFont(const Scale& scale);

// Registers the window's class under kMainWindowClass, and the tab pages'.
bool RegisterWindowClasses(HINSTANCE instance, WNDPROC windowProc, HICON bigIcon, HICON smallIcon);

// A fixed single border without border icons, centred on the screen, with the
// client area of the table. creationData reaches WM_NCCREATE.
HWND CreateMainWindow(HINSTANCE instance, const Scale& scale, void* creationData);

// Creates every control of the table, in order, into handles (one per row);
// the tab pages become the tab control's pages. False when one failed.
bool BuildControls(HWND window, HINSTANCE instance, const Scale& scale, HFONT font, HWND handles[]);

// Gives a label the text and resizes it to fit, as labels do.
void SetLabelText(HWND label, const char* text);
