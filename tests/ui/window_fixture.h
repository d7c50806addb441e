// A main window built inside the test program, on the tests' desktop, over a
// settings key in memory and a made-up computer.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/settings/settings_doubles.h"
#include "ui/main_window.h"

class WindowTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the window, which loads the settings from store.
    void Build();
    // Builds the window and shows it the way the program's start does.
    void BuildAndShow();
    // Handles the messages waiting for this thread's windows.
    void Pump();

    HWND Window() const { return form->Handle(); }
    HWND Control(ControlId id) const { return form->Control(id); }
    std::string Text(ControlId id) const;
    bool Visible() const { return IsWindowVisible(Window()) != FALSE; }

    MemoryStore store;
    std::unique_ptr<TfrmMain> form;
    // What the window told the user, in order.
    static std::vector<std::string> alerts;
    // Whether the window ended the message loop, and with which code.
    bool quitPosted = false;
    WPARAM quitCode = 0;

private:
    static void RecordAlert(HWND owner, const char* text);
};
