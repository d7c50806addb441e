// The display functions the poll reports through: progress, status text and
// the spooler-events list, as the Status page shows them.
#include <windows.h>
#include <commctrl.h>

#include <climits>
#include <map>
#include <string>

#include "tests/ui/window_fixture.h"
#include "ui/control_ids.h"
#include "ui/display.h"

namespace {

using Display = WindowTest;

// Logs "line 1" to "line count".
void LogLines(int count)
{
    for (int line = 1; line <= count; ++line)
        OnLog(("line " + std::to_string(line)).c_str());
}

struct ProgressCase {
    int32_t position;
    int32_t maximum;
    const char* size;
    const char* percent;
    int barMaximum;
    int barPosition;
};

const ProgressCase kProgressCases[] = {
    {0, 0, "0", "0%", 0, 0},
    {1, 10, "10", "10%", 10, 1},
    {4, 10, "10", "40%", 10, 4},
    {10, 10, "10", "100%", 10, 10},
    {1, 3, "3", "33%", 3, 1},
    // The product needs more than 32 bits.
    {30000000, 60000000, "60000000", "50%", 60000000, 30000000},
    {INT32_MAX, INT32_MAX, "2147483647", "100%", INT32_MAX, INT32_MAX},
    {INT32_MAX, 1, "1", "214748364700%", 1, 1},
    // Above the maximum the label goes past 100 and the bar stays full.
    {15, 10, "10", "150%", 10, 10},
    // Truncated toward zero.
    {-3, 10, "10", "-30%", 10, 0},
    {-1, 3, "3", "-33%", 3, 0},
    // A maximum below the bar's minimum: the bar shows an empty range.
    {5, -5, "-5", "0%", 0, 0},
    {INT32_MIN, INT32_MIN, "-2147483648", "0%", 0, 0},
};

TEST_F(Display, ProgressLabelsAndBarFollowEachReport)
{
    BuildAndShow();
    EXPECT_EQ(Text(kLbProgress), "0 %");
    EXPECT_EQ(Text(kLbSize), "0");
    HWND bar = Control(kProgressBar1);
    for (const ProgressCase& c : kProgressCases) {
        SCOPED_TRACE(std::to_string(c.position) + " of " + std::to_string(c.maximum));
        OnProgress(c.position, c.maximum);
        EXPECT_EQ(Text(kLbSize), c.size);
        EXPECT_EQ(Text(kLbProgress), c.percent);
        EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), c.barMaximum);
        EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, TRUE, 0), 0);
        EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), c.barPosition);
    }
}

TEST_F(Display, ProgressLabelsGrowToShowTheirWholeText)
{
    BuildAndShow();
    OnProgress(INT32_MAX, 1);
    HWND label = Control(kLbProgress);
    char text[32] = {};
    GetWindowTextA(label, text, sizeof(text));
    HDC dc = GetDC(label);
    HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0)));
    SIZE extent = {};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &extent);
    SelectObject(dc, previous);
    ReleaseDC(label, dc);
    RECT rect;
    GetClientRect(label, &rect);
    EXPECT_GE(rect.right, extent.cx);
}

// The changes sent to each control on this thread, counted through a hook.
std::map<HWND, int> changes;

LRESULT CALLBACK CountChanges(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && (call->message == WM_SETTEXT || call->message == PBM_SETPOS ||
                              call->message == PBM_SETRANGE32 || call->message == SB_SETTEXTA))
        ++changes[call->hwnd];
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST_F(Display, AJobChangesOnlyWhatTheScreenShowsDifferentlyAndEndsShownWhole)
{
    BuildAndShow();
    changes.clear();
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, CountChanges, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    // A 16 MiB job reported block by block, as the poll does.
    const int32_t size = 16 << 20;
    OnProgress(0, size);
    OnStatus("Printing");
    for (int32_t offset = 4096; offset <= size; offset += 4096) {
        OnProgress(offset, size);
        OnStatus("Printing");
    }
    OnStatus("Printing complete");
    UnhookWindowsHookEx(hook);

    // Not four changes for each of 4096 blocks: the size once, 0% to 100%,
    // the range once and the bar at most once a pixel or percent, and two
    // status texts.
    RECT bar;
    GetClientRect(Control(kProgressBar1), &bar);
    EXPECT_EQ(changes[Control(kLbSize)], 1);
    EXPECT_EQ(changes[Control(kLbProgress)], 101);
    EXPECT_LE(changes[Control(kProgressBar1)], 1 + bar.right + 101);
    EXPECT_EQ(changes[Control(kStatusBar1)], 2);

    EXPECT_EQ(Text(kLbSize), "16777216");
    EXPECT_EQ(Text(kLbProgress), "100%");
    EXPECT_EQ(SendMessageA(Control(kProgressBar1), PBM_GETPOS, 0, 0), size);
    char text[64] = {};
    SendMessageA(Control(kStatusBar1), SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "Printing complete");
}

TEST_F(Display, AHiddenWindowKeepsReportsAndShowsTheLatestWhenShown)
{
    store.values["ShowStartUpPanel"] = StoredValue::Int(0);
    BuildAndShow();
    ASSERT_FALSE(Visible());
    changes.clear();
    HHOOK hook = SetWindowsHookExA(WH_CALLWNDPROC, CountChanges, nullptr, GetCurrentThreadId());
    ASSERT_NE(hook, nullptr);
    OnProgress(1, 10);
    OnStatus("Printing");
    OnProgress(3, 8);
    OnStatus("Printing complete");
    UnhookWindowsHookEx(hook);
    EXPECT_TRUE(changes.empty());

    SendMessageA(Window(), WM_COMMAND, kMnuProperties, 0);
    Pump();
    ASSERT_TRUE(Visible());
    EXPECT_EQ(Text(kLbSize), "8");
    EXPECT_EQ(Text(kLbProgress), "37%");
    EXPECT_EQ(SendMessageA(Control(kProgressBar1), PBM_GETRANGE, FALSE, 0), 8);
    EXPECT_EQ(SendMessageA(Control(kProgressBar1), PBM_GETPOS, 0, 0), 3);
    char text[64] = {};
    SendMessageA(Control(kStatusBar1), SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "Printing complete");
}

TEST_F(Display, StatusTextIsShownAcrossTheStatusBar)
{
    BuildAndShow();
    HWND bar = Control(kStatusBar1);
    OnStatus("Read socket timeout, server is maybe not active");
    EXPECT_TRUE(SendMessageA(bar, SB_ISSIMPLE, 0, 0));
    char text[128] = {};
    // In simple mode the one text is read as part 0.
    SendMessageA(bar, SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "Read socket timeout, server is maybe not active");
}

TEST_F(Display, TheEventListHoldsAtMost101Lines)
{
    Build();
    HWND list = Control(kListBox1);
    LogLines(101);
    ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 101);

    // The 102nd line starts a new, one-line list.
    OnLog("line 102");
    ASSERT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 1);
    char text[32] = {};
    SendMessageA(list, LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "line 102");
}

TEST_F(Display, ANewLineLeavesSelectionAndScrollingAlone)
{
    BuildAndShow();
    HWND list = Control(kListBox1);
    LogLines(60);
    SendMessageA(list, LB_SETCURSEL, 5, 0);
    SendMessageA(list, LB_SETTOPINDEX, 3, 0);
    OnLog("line 61");
    EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), 5);
    EXPECT_EQ(SendMessageA(list, LB_GETTOPINDEX, 0, 0), 3);
    EXPECT_EQ(SendMessageA(list, LB_GETCOUNT, 0, 0), 61);
}

TEST_F(Display, ClearLogEmptiesTheList)
{
    Build();
    OnLog("connect() failed");
    OnLog("WritePrinter failed");
    ClearLog();
    EXPECT_EQ(SendMessageA(Control(kListBox1), LB_GETCOUNT, 0, 0), 0);
}

TEST_F(Display, WithoutAWindowTheFunctionsDoNothing)
{
    Build();
    form.reset();
    ASSERT_EQ(frmMain, nullptr);
    OnProgress(1, 2);
    OnStatus("Connect");
    OnLog("connect() failed");
    ClearLog();
}

}  // namespace
