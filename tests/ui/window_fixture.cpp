#include "tests/ui/window_fixture.h"

#include "settings/client_settings.h"
#include "tests/ui/test_desktop.h"

std::vector<std::string> WindowTest::alerts;

void WindowTest::RecordAlert(HWND, const char* text)
{
    alerts.push_back(text);
}

void WindowTest::SetUp()
{
    if (!EnterTestDesktop())
        GTEST_SKIP() << kNoDisplay;
    ClientSettings = SettingsValues();
    InstalledPrinters = {"Office Laser", "Label Printer"};
    UserName = "JSMITH";
    alerts.clear();
}

void WindowTest::TearDown()
{
    form.reset();
    Pump();
}

void WindowTest::Build()
{
    form = TfrmMain::Create(GetModuleHandleA(nullptr), store, RecordAlert);
    ASSERT_NE(form, nullptr);
}

void WindowTest::BuildAndShow()
{
    Build();
    if (form)
        form->ShowAtStart();
    Pump();
}

void WindowTest::Pump()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitPosted = true;
            quitCode = message.wParam;
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

std::string WindowTest::Text(ControlId id) const
{
    char text[256] = {};
    GetWindowTextA(Control(id), text, sizeof(text));
    return text;
}
