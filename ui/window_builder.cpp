#include "ui/window_builder.h"

#include <commctrl.h>

#include <algorithm>

namespace {

const char kPageClass[] = "TTabSheet";

struct KindTraits {
    const char* className;
    DWORD style;
    DWORD exStyle;
};

KindTraits TraitsOf(ControlKind kind)
{
    const DWORD list = WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
    switch (kind) {
    case ControlKind::PushButton:
        return {"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0};
    case ControlKind::CheckBox:
        return {"BUTTON", WS_TABSTOP | BS_AUTOCHECKBOX, 0};
    case ControlKind::TabControl:
        return {WC_TABCONTROLA, WS_TABSTOP, 0};
    case ControlKind::TabPage:
        // Tabbing walks into the page's controls.
        return {kPageClass, WS_CLIPCHILDREN, WS_EX_CONTROLPARENT};
    case ControlKind::StatusBar:
        // Placed by the table, not docked by the control itself.
        return {STATUSCLASSNAMEA, CCS_NOPARENTALIGN | CCS_NORESIZE, 0};
    case ControlKind::Label:
        return {"STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0};
    case ControlKind::Edit:
        return {"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case ControlKind::ListBox:
        return {"LISTBOX", list, WS_EX_CLIENTEDGE};
    case ControlKind::CheckList:
        return {"LISTBOX", list | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS, WS_EX_CLIENTEDGE};
    case ControlKind::ProgressBar:
        return {PROGRESS_CLASSA, 0, 0};
    }
    return {"STATIC", 0, 0};
}

// Right-to-left reading only where the system's locale reads that way.
DWORD ReadingOrder()
{
    return GetSystemMetrics(SM_MIDEASTENABLED) ? WS_EX_RTLREADING : 0;
}

LRESULT CALLBACK PageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
        // The window handles the notifications of every control, whichever
        // page it lies on.
        return SendMessageA(GetParent(page), message, wParam, lParam);
    }
    return DefWindowProcA(page, message, wParam, lParam);
}

bool Register(const WNDCLASSEXA& windowClass)
{
    return RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// The tab control's page area, in its own coordinates. It lies below the
// tabs, so it is known once they are in.
RECT PageArea(HWND tabControl)
{
    RECT area;
    GetClientRect(tabControl, &area);
    TabCtrl_AdjustRect(tabControl, FALSE, &area);
    return area;
}

// One tab per page. The tab control comes before the pages in the tab order,
// so it lies above them; it keeps only its tabs and frame, and the page area
// is left to the pages.
void AddTabs(HWND tabControl)
{
    int index = 0;
    for (const ControlEntry& entry : kControlTable) {
        if (entry.kind != ControlKind::TabPage)
            continue;
        TCITEMA item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<char*>(entry.text);
        SendMessageA(tabControl, TCM_INSERTITEMA, index++, reinterpret_cast<LPARAM>(&item));
    }
    RECT whole;
    GetClientRect(tabControl, &whole);
    const RECT area = PageArea(tabControl);
    HRGN tabsAndFrame = CreateRectRgnIndirect(&whole);
    HRGN pages = CreateRectRgnIndirect(&area);
    CombineRgn(tabsAndFrame, tabsAndFrame, pages, RGN_DIFF);
    DeleteObject(pages);
    // The system owns the region from here on.
    SetWindowRgn(tabControl, tabsAndFrame, FALSE);
}

// The tab pages are the window's children filling the tab control's page
// area, the way property sheets place them.
void PlacePage(HWND window, HWND tabControl, HWND page)
{
    RECT area = PageArea(tabControl);
    MapWindowPoints(tabControl, window, reinterpret_cast<POINT*>(&area), 2);
    SetWindowPos(page, nullptr, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void FinishControl(const ControlEntry& entry, HWND control, const Scale& scale, HWND window, const HWND handles[])
{
    switch (entry.kind) {
    case ControlKind::Label:
        SetLabelText(control, entry.text);
        break;
    case ControlKind::ListBox:
    case ControlKind::CheckList: {
        // At least the height of a line of text, for large fonts.
        TEXTMETRICA metrics = {};
        HDC dc = GetDC(control);
        HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(control, WM_GETFONT, 0, 0)));
        GetTextMetricsA(dc, &metrics);
        SelectObject(dc, previous);
        ReleaseDC(control, dc);
        SendMessageA(control, LB_SETITEMHEIGHT, 0, std::max<LONG>(scale.Pixels(kItemHeight), metrics.tmHeight));
        break;
    }
    case ControlKind::ProgressBar:
        SendMessageA(control, PBM_SETRANGE32, 0, 100);
        break;
    case ControlKind::StatusBar:
        // Only simple mode shows the one status text.
        SendMessageA(control, SB_SIMPLE, TRUE, 0);
        break;
    case ControlKind::TabControl:
        AddTabs(control);
        break;
    case ControlKind::TabPage:
        PlacePage(window, handles[ControlRow(entry.parent)], control);
        break;
    case ControlKind::PushButton:
    case ControlKind::CheckBox:
    case ControlKind::Edit:
        break;
    }
}

}  // namespace

Scale ScreenScale()
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return Scale{dpi > 0 ? dpi : 96};
}

HFONT CreateWindowFont(const Scale& scale)
{
    LOGFONTA font = {};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof(font), &font);
    font.lfHeight = -MulDiv(kFontPoints, scale.dpi, 72);
    font.lfWidth = 0;
    return CreateFontIndirectA(&font);
}

bool RegisterWindowClasses(HINSTANCE instance, WNDPROC windowProc, HICON bigIcon, HICON smallIcon)
{
    WNDCLASSEXA window = {};
    window.cbSize = sizeof(window);
    window.lpfnWndProc = windowProc;
    window.hInstance = instance;
    window.hIcon = bigIcon;
    window.hIconSm = smallIcon;
    window.hCursor = LoadCursor(nullptr, IDC_ARROW);
    window.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window.lpszClassName = kMainWindowClass;

    WNDCLASSEXA page = window;
    page.lpfnWndProc = PageProc;
    page.hIcon = nullptr;
    page.hIconSm = nullptr;
    page.lpszClassName = kPageClass;
    return Register(window) && Register(page);
}

HWND CreateMainWindow(HINSTANCE instance, const Scale& scale, void* creationData)
{
    // No system menu, so no close, minimise or maximise button either.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_CLIPCHILDREN;
    const DWORD exStyle = ReadingOrder();
    RECT frame = {0, 0, scale.Pixels(kClientWidth), scale.Pixels(kClientHeight)};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    return CreateWindowExA(exStyle, kMainWindowClass, kMainWindowCaption, style, left, top, width, height, nullptr,
                           nullptr, instance, creationData);
}

bool BuildControls(HWND window, HINSTANCE instance, const Scale& scale, HFONT font, HWND handles[])
{
    for (int row = 0; row < kControlCount; ++row) {
        const ControlEntry& entry = kControlTable[row];
        const KindTraits traits = TraitsOf(entry.kind);
        // A page's parent in the table is the tab control that shows it.
        const int parentRow = entry.parent == 0 ? -1 : ControlRow(entry.parent);
        if (entry.parent != 0 && (parentRow < 0 || parentRow >= row))
            return false;
        const bool onWindow = entry.parent == 0 || entry.kind == ControlKind::TabPage;
        const HWND parent = onWindow ? window : handles[parentRow];
        // Each control lies below the ones before it: the OK button above the
        // tab control, the tab control's tabs above the pages.
        DWORD style = WS_CHILD | traits.style | (onWindow ? WS_CLIPSIBLINGS : 0);
        if (entry.kind != ControlKind::TabPage)
            style |= WS_VISIBLE;
        if (entry.disabled)
            style |= WS_DISABLED;
        const HWND control = CreateWindowExA(
            traits.exStyle | ReadingOrder(), traits.className, entry.text, style, scale.Pixels(entry.left),
            scale.Pixels(entry.top), scale.Pixels(entry.width), scale.Pixels(entry.height), parent,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(entry.id)), instance, nullptr);
        if (control == nullptr)
            return false;
        handles[row] = control;
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        FinishControl(entry, control, scale, window, handles);
    }
    return true;
}

void SetLabelText(HWND label, const char* text)
{
    SetWindowTextA(label, text);
    SIZE extent = {};
    HDC dc = GetDC(label);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0)));
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
    SelectObject(dc, previous);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, extent.cx, extent.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}
