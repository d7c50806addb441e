// The window tests run on a desktop of their own. Wine shows a desktop that
// has a size in its registry as a virtual desktop: windows there hide and
// close at once, the tray icon lives on it, and programs on it find each other.
#pragma once

constexpr char kTestDesktopName[] = "webprint-tests";

// Moves the calling thread onto the test desktop, once, before it has any
// window. False when no window can be made there (no X display): the tests
// then skip.
bool EnterTestDesktop();

// The message the tests give when they skip for want of a display.
constexpr char kNoDisplay[] = "no display for windows; run the tests under Xvfb with DISPLAY set";
