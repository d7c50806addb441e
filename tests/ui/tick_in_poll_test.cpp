// A tick that the message loop delivers while a poll runs: the real tick, poll
// and timer, over a spooler whose StartDocPrinter runs the loop, as a driver
// that shows a window while the document starts does.
#include <windows.h>

#include "app/window_timer.h"
#include "settings/client_settings.h"
#include "tests/protocol/poll_fixture.h"
#include "tests/ui/test_desktop.h"

namespace {

// Runs the message loop until it has delivered a tick, for a few seconds at
// most; returns the ticks delivered.
int RunLoopUntilTick()
{
    int ticks = 0;
    const DWORD start = GetTickCount();
    for (DWORD waited = 0; ticks == 0 && waited < 5000; waited = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5000 - waited, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ticks += message.message == WM_TIMER ? 1 : 0;
            DispatchMessageA(&message);
        }
    }
    return ticks;
}

using Timer1Tick = PollTest;

TEST_F(Timer1Tick, ATickWhileAPollRunsDoesNothing)
{
    if (!EnterTestDesktop())
        GTEST_SKIP() << kNoDisplay;
    // One job waiting, served until it is acknowledged.
    Script("qryspool", JobReply("job.spl", "3", "Doc", "Office Laser", "5"));
    Script("spooldata", std::string(3, '\xAA'));
    ClientSettings = SettingsValues();
    ClientSettings.Url = "127.0.0.1";
    ClientSettings.Port = server_->Port();
    ClientSettings.PollFreq = 1;
    ClientSettings.ComputerName = "PC01";

    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    int ticksDuringStartDoc = 0;
    bool loopRun = false;
    {
        WindowTimer timer(window);
        // Only the first document runs the loop: a second poll, were one to
        // start inside, would start its document without waiting again.
        spooler_double::DuringStartDoc([&] {
            if (loopRun)
                return;
            loopRun = true;
            ticksDuringStartDoc = RunLoopUntilTick();
        });

        Timer1Timer(timer);

        EXPECT_EQ(timer.Interval(), 1000u);
    }
    DestroyWindow(window);

    EXPECT_EQ(ticksDuringStartDoc, 1);
    EXPECT_EQ(spooler_double::CallNames(),
              (std::vector<std::string>{"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter",
                                        "EndPagePrinter", "EndDocPrinter", "ClosePrinter"}));
    EXPECT_EQ(RequestsFor("qryspool").size(), 1u);
    EXPECT_EQ(RequestsFor("printed").size(), 1u);
    EXPECT_EQ(Events().back(), StatusEvent("Printing complete"));
}

}  // namespace
