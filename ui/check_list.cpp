#include "ui/check_list.h"

#include <commctrl.h>
#include <uxtheme.h>
#include <vssym32.h>

namespace {

const UINT_PTR kSubclassId = 1;

// The box is as tall as the item and sits at its left edge; the text follows
// after a small gap.
int BoxSide(const RECT& item)
{
    return item.bottom - item.top;
}

int TextGap(const RECT& item)
{
    return BoxSide(item) / 4 + 1;
}

void Toggle(HWND list, int index, CheckListOwner* owner)
{
    SetItemTicked(list, index, !IsItemTicked(list, index));
    owner->CheckListClicked(list, index);
}

// A press lands on the box only inside the item's first BoxSide pixels.
int ItemWhoseBoxIsAt(HWND list, LPARAM point)
{
    const LRESULT hit = SendMessageA(list, LB_ITEMFROMPOINT, 0, point);
    if (HIWORD(hit) != 0)
        return -1;
    const int index = LOWORD(hit);
    RECT item;
    if (SendMessageA(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item)) == LB_ERR)
        return -1;
    const int x = static_cast<short>(LOWORD(point));
    return x - item.left < BoxSide(item) ? index : -1;
}

LRESULT CALLBACK CheckListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
{
    CheckListOwner* owner = reinterpret_cast<CheckListOwner*>(data);
    switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        // The list box selects the item first, as for any click; a second
        // press of a double click toggles again.
        const int index = ItemWhoseBoxIsAt(list, lParam);
        const LRESULT result = DefSubclassProc(list, message, wParam, lParam);
        if (index >= 0)
            Toggle(list, index, owner);
        return result;
    }
    case WM_CHAR:
        // The space bar toggles the current item instead of searching for a
        // name that starts with a blank.
        if (wParam == ' ') {
            const int index = static_cast<int>(SendMessageA(list, LB_GETCARETINDEX, 0, 0));
            if (index >= 0 && index < SendMessageA(list, LB_GETCOUNT, 0, 0))
                Toggle(list, index, owner);
            return 0;
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(list, CheckListProc, kSubclassId);
        break;
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

void DrawBox(HWND list, HDC dc, const RECT& box, bool ticked)
{
    HTHEME theme = OpenThemeData(list, L"BUTTON");
    if (theme != nullptr) {
        DrawThemeBackground(theme, dc, BP_CHECKBOX, ticked ? CBS_CHECKEDNORMAL : CBS_UNCHECKEDNORMAL, &box, nullptr);
        CloseThemeData(theme);
        return;
    }
    RECT inner = box;
    InflateRect(&inner, -1, -1);
    DrawFrameControl(dc, &inner, DFC_BUTTON, DFCS_BUTTONCHECK | (ticked ? DFCS_CHECKED : 0));
}

}  // namespace

void AttachCheckList(HWND list, CheckListOwner* owner)
{
    SetWindowSubclass(list, CheckListProc, kSubclassId, reinterpret_cast<DWORD_PTR>(owner));
}

void AddCheckItem(HWND list, const char* text, bool ticked)
{
    const LRESULT index = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    if (index >= 0)
        SendMessageA(list, LB_SETITEMDATA, index, ticked ? 1 : 0);
}

bool IsItemTicked(HWND list, int index)
{
    const LRESULT data = SendMessageA(list, LB_GETITEMDATA, index, 0);
    return data != LB_ERR && data != 0;
}

std::string CheckItemText(HWND list, int index)
{
    const LRESULT length = SendMessageA(list, LB_GETTEXTLEN, index, 0);
    if (length < 0)
        return std::string();
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const LRESULT copied = SendMessageA(list, LB_GETTEXT, index, reinterpret_cast<LPARAM>(&text[0]));
    text.resize(copied < 0 ? 0 : static_cast<size_t>(copied));
    return text;
}

void SetItemTicked(HWND list, int index, bool ticked)
{
    SendMessageA(list, LB_SETITEMDATA, index, ticked ? 1 : 0);
    RECT item;
    if (SendMessageA(list, LB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&item)) != LB_ERR)
        InvalidateRect(list, &item, TRUE);
}

void DrawCheckItem(const DRAWITEMSTRUCT& item)
{
    if (item.itemID == static_cast<UINT>(-1))
        return;
    const HWND list = item.hwndItem;
    const HDC dc = item.hDC;
    const RECT& area = item.rcItem;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;

    RECT box = {area.left, area.top, area.left + BoxSide(area), area.bottom};
    FillRect(dc, &box, GetSysColorBrush(COLOR_WINDOW));
    DrawBox(list, dc, box, IsItemTicked(list, static_cast<int>(item.itemID)));

    RECT text = {box.right, area.top, area.right, area.bottom};
    FillRect(dc, &text, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    const std::string name = CheckItemText(list, static_cast<int>(item.itemID));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    text.left += TextGap(area);
    DrawTextA(dc, name.c_str(), -1, &text, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = {box.right, area.top, area.right, area.bottom};
        DrawFocusRect(dc, &focus);
    }
}
