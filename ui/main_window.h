// The one main window: three tab pages (Status, Settings, Printers), a status
// bar and an OK button. It is mostly hidden; the program lives in the tray.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "settings/settings_form.h"
#include "ui/check_list.h"
#include "ui/control_table.h"
#include "ui/status_display.h"

class SettingsStore;

// Tells the user why a settings change did not take.
using AlertFunction = void (*)(HWND owner, const char* text);
// The program's way: a message box over the window.
void MessageBoxAlert(HWND owner, const char* text);

class TfrmMain final : public SettingsView, private CheckListOwner {
public:
    // Builds the window and its controls, then runs FormCreate, which loads
    // the settings through store. The window is not shown yet. Null when the
    // platform could not create it.
    static std::unique_ptr<TfrmMain> Create(HINSTANCE instance, SettingsStore& store,
                                            AlertFunction alert = MessageBoxAlert);
    // Destroys the window if it still exists.
    ~TfrmMain() override;
    TfrmMain(const TfrmMain&) = delete;
    TfrmMain& operator=(const TfrmMain&) = delete;

    HWND Handle() const { return window_; }
    HWND Control(ControlId id) const;

    // While false, the window hides itself whenever it paints.
    bool ShowPanel = false;

    // The first show: activation puts up the tray icon, and the first paint
    // hides the window again unless ShowPanel is set.
    void ShowAtStart();

    // The display functions' work on the Status page and the status bar.
    void ShowProgress(int32_t position, int32_t maximum);
    void ShowStatus(const char* text);
    void AddLogLine(const char* text);
    void ClearLogLines();

    // What the settings rules fill and read.
    void SetEditText(SettingsEdit edit, const std::string& text) override;
    std::string EditText(SettingsEdit edit) override;
    void SetUseTlsTicked(bool ticked) override;
    bool UseTlsTicked() override;
    void ShowFirstPage(FirstPage page) override;
    void AddPrinter(const char* name, bool ticked) override;

private:
    TfrmMain(SettingsStore& store, AlertFunction alert);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool Build(HINSTANCE instance);

    void FormCreate();
    void FormActivate();
    void FormPaint();
    void FormDestroy();
    void btnOKClick();
    void Properties1Click();
    void Shutdown1Click();
    void TrayMessage(LPARAM mouseMessage);
    void CheckListClicked(HWND list, int index) override;  // CheckListBox1ClickCheck

    void PutUpTrayIcon();
    void KeepFocus();
    void RestoreFocus();
    HWND FirstControlOfShownPage() const;
    void ShowAndBringToFront();
    void SelectPage(int index);
    void ShowSelectedPage();
    void Alert(const std::string& text);

    SettingsStore& store_;
    AlertFunction alert_;
    HWND window_ = nullptr;
    HWND controls_[kControlCount] = {};
    HFONT font_ = nullptr;
    HICON trayIcon_ = nullptr;  // Image1's picture
    HMENU popMenu_ = nullptr;
    StatusDisplay statusDisplay_;
    UINT taskbarCreated_ = 0;
    bool trayIconUp_ = false;
    // The control that had the focus when the window was last deactivated.
    HWND lastFocus_ = nullptr;
    // Set once the window is whole; only then does its end end the program.
    bool created_ = false;
};

// The one main window; null before it is built and once it is destroyed.
extern TfrmMain* frmMain;
