// The Printers page: one ticked item per exposed printer; a tick or clear by
// the user stores the printer's flag, a tick set by the program stores nothing.
#include <windows.h>

#include "tests/ui/window_fixture.h"
#include "ui/check_list.h"
#include "ui/control_ids.h"

namespace {

class PrintersPage : public WindowTest {
protected:
    HWND List() const { return Control(kCheckListBox1); }
    bool Ticked(int index) const { return IsItemTicked(List(), index); }

    // A press and release of the left button, at x within item index.
    void Click(int index, int x)
    {
        const int height = static_cast<int>(SendMessageA(List(), LB_GETITEMHEIGHT, 0, 0));
        const LPARAM point = MAKELPARAM(x, index * height + height / 2);
        SendMessageA(List(), WM_LBUTTONDOWN, MK_LBUTTON, point);
        SendMessageA(List(), WM_LBUTTONUP, 0, point);
        Pump();
    }
    void ClickBox(int index)
    {
        Click(index, static_cast<int>(SendMessageA(List(), LB_GETITEMHEIGHT, 0, 0)) / 2);
    }
};

TEST_F(PrintersPage, ListsThePrintersTickedUnlessHidden)
{
    store.values["Printer:Label Printer"] = StoredValue::Int(5);
    BuildAndShow();
    ASSERT_EQ(SendMessageA(List(), LB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(CheckItemText(List(), 0), "Office Laser");
    EXPECT_EQ(CheckItemText(List(), 1), "Label Printer");
    EXPECT_TRUE(Ticked(0));
    EXPECT_FALSE(Ticked(1));
    // Filling the list is no click: the hidden flag stays as it was.
    EXPECT_EQ(store.values["Printer:Label Printer"], StoredValue::Int(5));
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(0));
}

TEST_F(PrintersPage, AClickOnTheBoxClearsAndTicksAndStoresTheFlag)
{
    BuildAndShow();
    ClickBox(0);
    EXPECT_FALSE(Ticked(0));
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(1));
    ClickBox(0);
    EXPECT_TRUE(Ticked(0));
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(0));
    EXPECT_TRUE(alerts.empty());
}

TEST_F(PrintersPage, AClickOnTheNameSelectsWithoutToggling)
{
    BuildAndShow();
    store.writes.clear();
    Click(1, 100);
    EXPECT_TRUE(Ticked(1));
    EXPECT_EQ(SendMessageA(List(), LB_GETCURSEL, 0, 0), 1);
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(PrintersPage, TheSpaceBarTogglesTheCurrentItem)
{
    BuildAndShow();
    SendMessageA(List(), LB_SETCURSEL, 1, 0);
    SendMessageA(List(), WM_CHAR, ' ', 0);
    Pump();
    EXPECT_FALSE(Ticked(1));
    EXPECT_EQ(store.values["Printer:Label Printer"], StoredValue::Int(1));
}

TEST_F(PrintersPage, ATickSetByTheProgramStoresNothing)
{
    BuildAndShow();
    store.writes.clear();
    SetItemTicked(List(), 0, false);
    Pump();
    EXPECT_TRUE(store.writes.empty());
}

TEST_F(PrintersPage, AFailedWriteIsShownAndTheTickGoesBackToWhatIsStored)
{
    BuildAndShow();
    store.failingWrites = {"Printer:Office Laser"};
    ClickBox(0);
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0], "Failed to set data for 'Printer:Office Laser'");
    EXPECT_TRUE(Ticked(0));
    EXPECT_EQ(store.values["Printer:Office Laser"], StoredValue::Int(0));
}

}  // namespace
