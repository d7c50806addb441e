// The main window's controls as data: what the window is built from, the way
// a window resource would describe it.
#pragma once

#include "ui/control_ids.h"

enum class ControlKind {
    PushButton, CheckBox, TabControl, TabPage, StatusBar, Label, Edit, ListBox, CheckList, ProgressBar
};

struct ControlEntry {
    ControlId id;
    const char* name;
    ControlKind kind;
    // The window itself (0) or the tab page the control lies on.
    int parent;
    // Pixels at 96 dots per inch, relative to the parent. Tab pages fill the
    // tab control's page area instead; labels size themselves to their text.
    int left, top, width, height;
    const char* text;
    bool disabled;
};

// In creation order, which is also the tab order: the OK button, the tab
// control, each page followed by its controls, then the status bar.
constexpr int kControlCount = 28;
extern const ControlEntry kControlTable[kControlCount];

// The window's client area at 96 dots per inch.
constexpr int kClientWidth = 374;
constexpr int kClientHeight = 363;
// List item height at 96 dots per inch.
constexpr int kItemHeight = 13;
// The window's font: the platform's interface font at this many points.
constexpr int kFontPoints = 8;

// The row of a control in the table; -1 for an identifier not in it.
int ControlRow(int id);
