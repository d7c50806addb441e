// A tick that the message loop delivers while a poll runs: the real tick, poll
// and timer, over a spooler whose StartDocPrinter runs the loop, as a driver
// that shows a window while the document starts does.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "app/window_timer.h"
#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "settings/client_settings.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/doubles/inventory_double.h"
#include "tests/support/doubles/spooler_double.h"
#include "tests/support/scripted_server.h"
#include "tests/ui/test_desktop.h"
#include "transport/print_client.h"

namespace {

bool Calls(const ScriptedRequest& request, const std::string& function)
{
    const std::string ending = "func=" + function;
    return request.path.size() >= ending.size() &&
           request.path.compare(request.path.size() - ending.size(), ending.size(), ending) == 0;
}

size_t RequestsFor(ScriptedServer& server, const std::string& function)
{
    size_t count = 0;
    for (const ScriptedRequest& request : server.Requests())
        count += Calls(request, function) ? 1 : 0;
    return count;
}

// A service with one job waiting, served until it is acknowledged.
ScriptedAnswer JobService(const ScriptedRequest& request)
{
    ScriptedAnswer answer;
    if (Calls(request, "printlist"))
        answer.bytes = OkResponse("OK\r\n17");
    else if (Calls(request, "qryspool"))
        answer.bytes = OkResponse("SPOOL\r\njob.spl\r\n3\r\nDoc\r\nOffice Laser\r\n5");
    else if (Calls(request, "spooldata"))
        answer.bytes = OkResponse(std::string(3, '\xAA'));
    else
        answer.bytes = OkResponse("");
    return answer;
}

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

TEST(Timer1Tick, ATickWhileAPollRunsDoesNothing)
{
    if (!EnterTestDesktop())
        GTEST_SKIP() << kNoDisplay;
    ComputerToken = -1;
    RegistrationCountdown = 0;
    LogCleared = false;
    ServicePrefix[0] = 0;
    KeepAlive = true;
    spooler_double::Reset();
    inventory_double::Reset();
    display_recorder::Reset();
    ScriptedServer server(JobService);
    ClientSettings = SettingsValues();
    ClientSettings.Url = "127.0.0.1";
    ClientSettings.Port = server.Port();
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
    EXPECT_EQ(RequestsFor(server, "qryspool"), 1u);
    EXPECT_EQ(RequestsFor(server, "printed"), 1u);
    EXPECT_EQ(display_recorder::Events().back(), StatusEvent("Printing complete"));
}

}  // namespace
