// The main window as built from its control table, its show and hide rules,
// OK, the tray icon and "Exit".
#include <windows.h>
#include <commctrl.h>

#include "settings/client_settings.h"
#include "tests/ui/tray_probe.h"
#include "tests/ui/window_fixture.h"
#include "ui/control_ids.h"
#include "ui/tray_icon.h"
#include "ui/window_builder.h"

namespace {

RECT RectIn(HWND control, HWND parent)
{
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// Shown among its siblings, whether or not the window itself is.
bool Shown(HWND control)
{
    return (GetWindowLongA(control, GWL_STYLE) & WS_VISIBLE) != 0;
}

void ClickOk(HWND button)
{
    SendMessageA(button, BM_CLICK, 0, 0);
}

using MainWindow = WindowTest;

TEST_F(MainWindow, HasAFixedBorderWithoutBorderIconsAndIsCentred)
{
    Build();
    char className[64] = {};
    GetClassNameA(Window(), className, sizeof(className));
    EXPECT_STREQ(className, "TfrmMain");
    char caption[64] = {};
    GetWindowTextA(Window(), caption, sizeof(caption));
    EXPECT_STREQ(caption, "Tarnwick Web Printing Client");

    const LONG style = GetWindowLongA(Window(), GWL_STYLE);
    EXPECT_TRUE(style & WS_CAPTION);
    EXPECT_FALSE(style & (WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));

    const Scale scale = ScreenScale();
    RECT client;
    GetClientRect(Window(), &client);
    EXPECT_EQ(client.right, scale.Pixels(374));
    EXPECT_EQ(client.bottom, scale.Pixels(363));

    RECT frame;
    GetWindowRect(Window(), &frame);
    EXPECT_NEAR((frame.left + frame.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((frame.top + frame.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);
}

TEST_F(MainWindow, EveryControlOfTheTableSitsOnItsParentWhereTheTableSays)
{
    Build();
    const Scale scale = ScreenScale();
    for (const ControlEntry& entry : kControlTable) {
        if (entry.kind == ControlKind::TabPage)
            continue;
        SCOPED_TRACE(entry.name);
        HWND control = Control(entry.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(GetDlgCtrlID(control), entry.id);
        HWND parent = entry.parent == 0 ? Window() : Control(static_cast<ControlId>(entry.parent));
        ASSERT_EQ(GetParent(control), parent);
        const RECT rect = RectIn(control, parent);
        EXPECT_EQ(rect.left, scale.Pixels(entry.left));
        EXPECT_EQ(rect.top, scale.Pixels(entry.top));
        if (entry.kind == ControlKind::Label) {
            char text[64] = {};
            GetWindowTextA(control, text, sizeof(text));
            EXPECT_STREQ(text, entry.text);
            continue;
        }
        EXPECT_EQ(rect.right - rect.left, scale.Pixels(entry.width));
        EXPECT_EQ(rect.bottom - rect.top, scale.Pixels(entry.height));
    }
    EXPECT_FALSE(IsWindowEnabled(Control(kEdUser)));
}

TEST_F(MainWindow, HasTheStatusSettingsAndPrintersPagesInThisOrder)
{
    Build();
    HWND tabs = Control(kPageControl1);
    ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
    const char* const captions[] = {"Status", "Settings", "Printers"};
    for (int i = 0; i < 3; ++i) {
        char text[32] = {};
        TCITEMA item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = sizeof(text);
        SendMessageA(tabs, TCM_GETITEMA, i, reinterpret_cast<LPARAM>(&item));
        EXPECT_STREQ(text, captions[i]);
    }
}

TEST_F(MainWindow, ChoosingATabShowsItsPageOnly)
{
    BuildAndShow();
    HWND tabs = Control(kPageControl1);
    const ControlId pages[] = {kTbStatus, kTbSettings, kTabSheet1};
    for (int chosen = 0; chosen < 3; ++chosen) {
        // As a click on the tab does: the tab control tells the window.
        SendMessageA(tabs, TCM_SETCURFOCUS, chosen, 0);
        Pump();
        for (int page = 0; page < 3; ++page)
            EXPECT_EQ(Shown(Control(pages[page])), page == chosen) << chosen << " " << page;
    }
}

TEST_F(MainWindow, TabGoesFromOkToTheTabsAndThroughTheSettingsFieldsInTheirOrder)
{
    BuildAndShow();
    ASSERT_TRUE(IsWindowVisible(Control(kTbSettings)));
    // The disabled user field is passed over.
    const ControlId order[] = {kPageControl1, kEdUrl,     kEdPort,  kEdPollFreq, kEdCpu,
                               kEdCipher,     kChkUseTls, kEdProxy, kBtnOk};
    HWND current = Control(kBtnOk);
    for (ControlId expected : order) {
        current = GetNextDlgTabItem(Window(), current, FALSE);
        EXPECT_EQ(GetDlgCtrlID(current), expected);
    }
    // The tabs come first, yet the page's fields are what shows and takes clicks.
    RECT field;
    GetWindowRect(Control(kEdUrl), &field);
    EXPECT_EQ(WindowFromPoint(POINT{(field.left + field.right) / 2, (field.top + field.bottom) / 2}),
              Control(kEdUrl));
}

TEST_F(MainWindow, ActivationGivesTheFocusBackToTheControlThatHadIt)
{
    BuildAndShow();
    EXPECT_EQ(GetFocus(), Control(kEdUrl)) << "the first field of the shown page";

    SetFocus(Control(kEdPollFreq));
    // As a message box over the window does.
    HWND box = CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, Window(), nullptr, nullptr,
                               nullptr);
    SetActiveWindow(box);
    Pump();
    ASSERT_NE(GetFocus(), Control(kEdPollFreq));
    DestroyWindow(box);
    SetActiveWindow(Window());
    Pump();
    EXPECT_EQ(GetFocus(), Control(kEdPollFreq));
}

TEST_F(MainWindow, FirstStartStaysVisibleWithTheTrayIconUp)
{
    BuildAndShow();
    EXPECT_TRUE(form->ShowPanel);
    EXPECT_TRUE(Visible());
    EXPECT_TRUE(TrayIconExists(Window()));
    EXPECT_TRUE(IsWindowVisible(Control(kTbSettings)));
}

TEST_F(MainWindow, WithoutShowPanelTheFirstPaintHidesTheWindow)
{
    store.values["ShowStartUpPanel"] = StoredValue::Int(0);
    BuildAndShow();
    EXPECT_FALSE(form->ShowPanel);
    EXPECT_FALSE(Visible());
    EXPECT_TRUE(TrayIconExists(Window()));
}

TEST_F(MainWindow, ShowingItOtherwiseThanByPropertiesLastsUntilTheNextPaint)
{
    store.values["ShowStartUpPanel"] = StoredValue::Int(0);
    BuildAndShow();
    ShowWindow(Window(), SW_SHOW);
    UpdateWindow(Window());
    EXPECT_FALSE(Visible());
}

TEST_F(MainWindow, PropertiesShowsTheWindowForGood)
{
    store.values["ShowStartUpPanel"] = StoredValue::Int(0);
    BuildAndShow();
    SendMessageA(Window(), WM_COMMAND, kMnuProperties, 0);
    Pump();
    EXPECT_TRUE(form->ShowPanel);
    EXPECT_TRUE(Visible());
    RedrawWindow(Window(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    EXPECT_TRUE(Visible());
}

TEST_F(MainWindow, OkStoresTheSettingsAndHidesTheWindow)
{
    BuildAndShow();
    SetWindowTextA(Control(kEdUrl), "print.example.com");
    SetWindowTextA(Control(kEdPort), "0x1b58");
    ClickOk(Control(kBtnOk));
    Pump();
    EXPECT_TRUE(alerts.empty());
    EXPECT_FALSE(form->ShowPanel);
    EXPECT_FALSE(Visible());
    EXPECT_EQ(store.values["Url"], StoredValue::Str("print.example.com"));
    EXPECT_EQ(ClientSettings.Port, 7000);
    // The edits keep what was typed.
    EXPECT_EQ(Text(kEdPort), "0x1b58");
}

TEST_F(MainWindow, TheTlsBoxAndTheProxyFieldShowTheStoredSettingsAndOkStoresThem)
{
    store.values["UseTls"] = StoredValue::Int(1);
    store.values["Proxy"] = StoredValue::Str("proxy.example:3128");
    BuildAndShow();
    EXPECT_EQ(Text(kChkUseTls), "Use TLS (HTTPS)");
    EXPECT_EQ(SendMessageA(Control(kChkUseTls), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(Text(kEdProxy), "proxy.example:3128");
    // As a click does: the box clears itself.
    SendMessageA(Control(kChkUseTls), BM_CLICK, 0, 0);
    SetWindowTextA(Control(kEdProxy), "");
    ClickOk(Control(kBtnOk));
    Pump();
    EXPECT_EQ(store.values["UseTls"], StoredValue::Int(0));
    EXPECT_FALSE(ClientSettings.UseTls);
    EXPECT_EQ(store.values["Proxy"], StoredValue::Str(""));
}

TEST_F(MainWindow, ARefusedOkSaysWhyAndKeepsTheWindowUp)
{
    BuildAndShow();
    SetWindowTextA(Control(kEdUrl), std::string(64, 'h').c_str());
    ClickOk(Control(kBtnOk));
    Pump();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_NE(alerts[0].find("63"), std::string::npos) << alerts[0];
    EXPECT_TRUE(form->ShowPanel);
    EXPECT_TRUE(Visible());
    EXPECT_EQ(store.values.count("Url"), 1u);
    EXPECT_EQ(store.values["Url"], StoredValue::Str(""));
}

TEST_F(MainWindow, AFailedWriteOnOkIsShownAndTheWindowStaysUp)
{
    BuildAndShow();
    store.failingWrites = {"Port"};
    ClickOk(Control(kBtnOk));
    Pump();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "Failed to set data for 'Port'");
    EXPECT_TRUE(Visible());
}

TEST_F(MainWindow, AFailedWriteAtStartIsShownAndTheSettingsPageStays)
{
    store.values["Url"] = StoredValue::Str("print.example.com");
    store.everyWriteFails = true;
    BuildAndShow();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "Failed to set data for 'ShowStartUpPanel'");
    EXPECT_EQ(SendMessageA(Control(kPageControl1), TCM_GETCURSEL, 0, 0), kPageSettings);
    EXPECT_TRUE(Visible());
}

TEST_F(MainWindow, CompleteSettingsOpenOnTheStatusPage)
{
    store.values["Url"] = StoredValue::Str("print.example.com");
    Build();
    EXPECT_EQ(SendMessageA(Control(kPageControl1), TCM_GETCURSEL, 0, 0), kPageStatus);
    EXPECT_TRUE(Shown(Control(kTbStatus)));
    EXPECT_FALSE(Shown(Control(kTbSettings)));
}

TEST_F(MainWindow, TheIconComesBackWhenTheShellStartsAgain)
{
    BuildAndShow();
    // A shell that starts again has an empty tray.
    ASSERT_TRUE(NotifyTray(Window(), nullptr, TrayAction::Delete));
    ASSERT_FALSE(TrayIconExists(Window()));
    SendMessageA(Window(), RegisterWindowMessageA("TaskbarCreated"), 0, 0);
    EXPECT_TRUE(TrayIconExists(Window()));
}

// Refuses to create the status bar, so the window cannot be built.
LRESULT CALLBACK RefuseStatusBar(int code, WPARAM wParam, LPARAM lParam)
{
    char className[64] = {};
    if (code == HCBT_CREATEWND && GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof(className)) &&
        lstrcmpiA(className, STATUSCLASSNAMEA) == 0)
        return 1;
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(MainWindow, AWindowThatCannotBeBuiltLeavesTheMessageLoopRunning)
{
    HHOOK hook = SetWindowsHookExA(WH_CBT, RefuseStatusBar, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    std::unique_ptr<TfrmMain> failed = TfrmMain::Create(GetModuleHandleA(nullptr), store, nullptr);
    UnhookWindowsHookEx(hook);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(frmMain, nullptr);
    // A quit waiting here would close the box that says the window failed.
    Pump();
    EXPECT_FALSE(quitPosted);
}

TEST_F(MainWindow, ExitClosesTheWindowEndsTheLoopWithZeroAndRemovesTheIcon)
{
    store.values["ShowStartUpPanel"] = StoredValue::Int(0);
    BuildAndShow();
    HWND window = Window();
    ASSERT_TRUE(TrayIconExists(window));
    SendMessageA(window, WM_COMMAND, kMnuExit, 0);
    Pump();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(frmMain, nullptr);
    EXPECT_TRUE(quitPosted);
    EXPECT_EQ(quitCode, 0u);
    EXPECT_FALSE(TrayIconExists(window));
}

}  // namespace
