#include "ui/main_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include "settings/settings_store.h"
#include "ui/resource_ids.h"
#include "ui/tray_icon.h"
#include "ui/window_builder.h"

TfrmMain* frmMain = nullptr;

namespace {

// A line that arrives while the event list holds more than this many lines
// empties the list first.
const LRESULT kLogLinesKept = 100;

// The edits in SettingsEdit's order.
constexpr ControlId kSettingsEdits[] = {kEdUrl, kEdPort, kEdPollFreq, kEdCpu, kEdCipher, kEdUser, kEdProxy};
static_assert(sizeof(kSettingsEdits) / sizeof(kSettingsEdits[0]) == static_cast<size_t>(SettingsEdit::Proxy) + 1,
              "one edit for each SettingsEdit");

ControlId EditOf(SettingsEdit edit)
{
    return kSettingsEdits[static_cast<int>(edit)];
}

// Shared icons at the system's sizes, released by the system.
HICON LoadPrinterIcon(HINSTANCE instance, int side)
{
    return static_cast<HICON>(
        LoadImageA(instance, MAKEINTRESOURCEA(IDI_PRINTER), IMAGE_ICON, side, side, LR_SHARED));
}

}  // namespace

void MessageBoxAlert(HWND owner, const char* text)
{
    MessageBoxA(owner, text, kMainWindowCaption, MB_OK | MB_ICONSTOP);
}

TfrmMain::TfrmMain(SettingsStore& store, AlertFunction alert) : store_(store), alert_(alert)
{
}

TfrmMain::~TfrmMain()
{
    if (window_ != nullptr)
        DestroyWindow(window_);
    if (frmMain == this)
        frmMain = nullptr;
    DeleteObject(font_);
    DestroyMenu(popMenu_);
}

std::unique_ptr<TfrmMain> TfrmMain::Create(HINSTANCE instance, SettingsStore& store, AlertFunction alert)
{
    std::unique_ptr<TfrmMain> form(new TfrmMain(store, alert));
    frmMain = form.get();
    if (!form->Build(instance))
        return nullptr;
    form->FormCreate();
    form->created_ = true;
    return form;
}

bool TfrmMain::Build(HINSTANCE instance)
{
    const Scale scale = ScreenScale();
    const HICON bigIcon = LoadPrinterIcon(instance, GetSystemMetrics(SM_CXICON));
    trayIcon_ = LoadPrinterIcon(instance, GetSystemMetrics(SM_CXSMICON));
    if (!RegisterWindowClasses(instance, WindowProc, bigIcon, trayIcon_))
        return false;
    if (CreateMainWindow(instance, scale, this) == nullptr)
        return false;
    font_ = CreateWindowFont(scale);
    if (!BuildControls(window_, instance, scale, font_, controls_))
        return false;
    AttachCheckList(Control(kCheckListBox1), this);
    statusDisplay_.Attach(window_, Control(kLbSize), Control(kLbProgress), Control(kProgressBar1),
                          Control(kStatusBar1));
    // The shell sends this when it starts again; its tray starts empty.
    taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
    // The page the window opens on unless the settings choose another.
    SelectPage(kPageSettings);
    return true;
}

HWND TfrmMain::Control(ControlId id) const
{
    const int row = ControlRow(id);
    return row < 0 ? nullptr : controls_[row];
}

LRESULT CALLBACK TfrmMain::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        TfrmMain* form = static_cast<TfrmMain*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        form->window_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    TfrmMain* form = reinterpret_cast<TfrmMain*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (form == nullptr)
        return DefWindowProcA(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The form outlives its window; the display functions find no window.
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        form->window_ = nullptr;
        if (frmMain == form)
            frmMain = nullptr;
        return DefWindowProcA(window, message, wParam, lParam);
    }
    return form->HandleMessage(message, wParam, lParam);
}

LRESULT TfrmMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    // Like a dialog, the window keeps the focus on one of its controls: the
    // one that had it last, or the shown page's first.
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            KeepFocus();
            break;
        }
        FormActivate();
        RestoreFocus();
        return 0;
    case WM_SETFOCUS:
        RestoreFocus();
        return 0;
    case WM_SHOWWINDOW:
        // Every way of showing the window comes through here before it
        // paints: the first show, Properties, a second start.
        if (wParam)
            statusDisplay_.WindowShowing();
        break;
    case WM_PAINT: {
        // Panel1's raised edge around the client area.
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window_, &paint);
        RECT client;
        GetClientRect(window_, &client);
        DrawEdge(dc, &client, BDR_RAISEDINNER, BF_RECT);
        EndPaint(window_, &paint);
        FormPaint();
        return 0;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kBtnOk:
            if (HIWORD(wParam) == BN_CLICKED)
                btnOKClick();
            return 0;
        case kMnuProperties:
            Properties1Click();
            return 0;
        case kMnuExit:
            Shutdown1Click();
            return 0;
        }
        break;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == kPageControl1 && header->code == TCN_SELCHANGE)
            ShowSelectedPage();
        break;
    }
    case WM_DRAWITEM:
        if (wParam == kCheckListBox1) {
            DrawCheckItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
            return TRUE;
        }
        break;
    case WM_CONTEXTMENU: {
        // The window's context menu is the tray menu.
        POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        if (lParam == -1) {
            at = POINT{0, 0};
            ClientToScreen(window_, &at);
        }
        TrackPopupMenu(popMenu_, TPM_LEFTALIGN | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
        return 0;
    }
    case kTrayCallbackMessage:
        TrayMessage(lParam);
        break;
    case WM_DESTROY:
        FormDestroy();
        // Closing the main window ends the program. A window that was never
        // whole ends nothing: the quit would close the box that says so.
        if (created_)
            PostQuitMessage(0);
        return 0;
    default:
        if (message == taskbarCreated_ && taskbarCreated_ != 0 && trayIconUp_)
            PutUpTrayIcon();
        break;
    }
    return DefWindowProcA(window_, message, wParam, lParam);
}

void TfrmMain::FormCreate()
{
    popMenu_ = BuildTrayMenu();
    UseSettingsStore(&store_);
    const SettingsOutcome outcome = LoadSettingsAtStart(store_, *this, &ShowPanel);
    if (outcome.kind != SettingsOutcome::Done)
        Alert(outcome.message);
}

void TfrmMain::ShowAtStart()
{
    ShowWindow(window_, SW_SHOW);
    UpdateWindow(window_);
}

void TfrmMain::FormActivate()
{
    PutUpTrayIcon();
}

void TfrmMain::PutUpTrayIcon()
{
    // The add is refused when the icon is already there; the modify then
    // gives it its picture and tip either way.
    NotifyTray(window_, nullptr, TrayAction::Add);
    NotifyTray(window_, trayIcon_, TrayAction::Modify);
    trayIconUp_ = true;
}

void TfrmMain::KeepFocus()
{
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(window_, focus))
        lastFocus_ = focus;
}

void TfrmMain::RestoreFocus()
{
    // A control can no longer take the focus once it, or its page, is hidden
    // or it is disabled.
    bool usable = lastFocus_ != nullptr && IsChild(window_, lastFocus_) && IsWindowEnabled(lastFocus_);
    for (HWND at = lastFocus_; usable && at != window_; at = GetParent(at))
        usable = (GetWindowLongA(at, GWL_STYLE) & WS_VISIBLE) != 0;
    SetFocus(usable ? lastFocus_ : FirstControlOfShownPage());
}

HWND TfrmMain::FirstControlOfShownPage() const
{
    const LRESULT selected = SendMessageA(Control(kPageControl1), TCM_GETCURSEL, 0, 0);
    int page = 0;
    for (int row = 0, index = 0; row < kControlCount; ++row) {
        if (kControlTable[row].kind == ControlKind::TabPage && index++ == selected)
            page = kControlTable[row].id;
    }
    for (int row = 0; row < kControlCount; ++row) {
        const LONG style = GetWindowLongA(controls_[row], GWL_STYLE);
        if (page != 0 && kControlTable[row].parent == page && (style & WS_TABSTOP) && !(style & WS_DISABLED))
            return controls_[row];
    }
    return Control(kBtnOk);
}

void TfrmMain::FormPaint()
{
    if (!ShowPanel)
        ShowWindow(window_, SW_HIDE);
}

void TfrmMain::FormDestroy()
{
    NotifyTray(window_, nullptr, TrayAction::Delete);
    trayIconUp_ = false;
    // The key stays with its owner, who closes it once the window is gone.
    UseSettingsStore(nullptr);
}

void TfrmMain::btnOKClick()
{
    const SettingsOutcome outcome = StoreSettingsOnOk(store_, *this);
    if (outcome.kind != SettingsOutcome::Done) {
        // The window stays up, so the user can correct the settings.
        Alert(outcome.message);
        return;
    }
    ShowPanel = false;
    ShowWindow(window_, SW_HIDE);
}

void TfrmMain::Properties1Click()
{
    ShowPanel = true;
    ShowAndBringToFront();
}

void TfrmMain::Shutdown1Click()
{
    // Closed once the menu has returned; the window is destroyed then.
    PostMessageA(window_, WM_CLOSE, 0, 0);
}

void TfrmMain::TrayMessage(LPARAM mouseMessage)
{
    if (mouseMessage != WM_LBUTTONUP)
        return;
    POINT at;
    if (GetCursorPos(&at))
        PopUpTrayMenu(window_, popMenu_, at);
    else
        ShowAndBringToFront();
}

void TfrmMain::CheckListClicked(HWND list, int index)
{
    const bool ticked = IsItemTicked(list, index);
    const SettingsOutcome outcome = StorePrinterFlag(store_, CheckItemText(list, index).c_str(), ticked);
    if (outcome.kind != SettingsOutcome::Done) {
        // The flag was not stored: show the tick that the key still holds.
        SetItemTicked(list, index, !ticked);
        Alert(outcome.message);
    }
}

void TfrmMain::ShowAndBringToFront()
{
    ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window_);
}

void TfrmMain::SelectPage(int index)
{
    SendMessageA(Control(kPageControl1), TCM_SETCURSEL, index, 0);
    ShowSelectedPage();
}

void TfrmMain::ShowSelectedPage()
{
    const LRESULT selected = SendMessageA(Control(kPageControl1), TCM_GETCURSEL, 0, 0);
    int index = 0;
    for (int row = 0; row < kControlCount; ++row) {
        if (kControlTable[row].kind == ControlKind::TabPage)
            ShowWindow(controls_[row], index++ == selected ? SW_SHOW : SW_HIDE);
    }
}

void TfrmMain::Alert(const std::string& text)
{
    alert_(window_, text.c_str());
}

void TfrmMain::ShowProgress(int32_t position, int32_t maximum)
{
    statusDisplay_.ShowProgress(position, maximum);
}

void TfrmMain::ShowStatus(const char* text)
{
    statusDisplay_.ShowStatus(text);
}

void TfrmMain::AddLogLine(const char* text)
{
    HWND list = Control(kListBox1);
    if (SendMessageA(list, LB_GETCOUNT, 0, 0) > kLogLinesKept)
        SendMessageA(list, LB_RESETCONTENT, 0, 0);
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void TfrmMain::ClearLogLines()
{
    SendMessageA(Control(kListBox1), LB_RESETCONTENT, 0, 0);
}

void TfrmMain::SetEditText(SettingsEdit edit, const std::string& text)
{
    SetWindowTextA(Control(EditOf(edit)), text.c_str());
}

std::string TfrmMain::EditText(SettingsEdit edit)
{
    HWND control = Control(EditOf(edit));
    std::string text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1, '\0');
    text.resize(static_cast<size_t>(GetWindowTextA(control, &text[0], static_cast<int>(text.size()))));
    return text;
}

void TfrmMain::ShowFirstPage(FirstPage page)
{
    SelectPage(page == FirstPage::Status ? kPageStatus : kPageSettings);
}

void TfrmMain::AddPrinter(const char* name, bool ticked)
{
    AddCheckItem(Control(kCheckListBox1), name, ticked);
}

void TfrmMain::SetUseTlsTicked(bool ticked)
{
    SendMessageA(Control(kChkUseTls), BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool TfrmMain::UseTlsTicked()
{
    return SendMessageA(Control(kChkUseTls), BM_GETCHECK, 0, 0) == BST_CHECKED;
}
