// The Printers page's check list: an owner-drawn list box whose items carry a
// tick (held in each item's data). Ticks set by the program are not clicks;
// a tick or clear by the user is passed to the list's owner.
#pragma once

#include <windows.h>

#include <string>

class CheckListOwner {
public:
    // The user has just ticked or cleared the item at index.
    virtual void CheckListClicked(HWND list, int index) = 0;

protected:
    ~CheckListOwner() = default;
};

// Takes over the list box's mouse and keyboard input for the ticks.
void AttachCheckList(HWND list, CheckListOwner* owner);

// Appends an item; no click is reported.
void AddCheckItem(HWND list, const char* text, bool ticked);
bool IsItemTicked(HWND list, int index);
std::string CheckItemText(HWND list, int index);
// Sets a tick without reporting a click.
void SetItemTicked(HWND list, int index, bool ticked);

// Draws one item for the list's parent, which receives WM_DRAWITEM.
void DrawCheckItem(const DRAWITEMSTRUCT& item);
