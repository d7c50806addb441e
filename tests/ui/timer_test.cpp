// Timer1: a timer of the main window whose ticks run Timer1Timer from the
// message loop, starting at 1000 ms, and the polls it starts: each on a
// thread of its own, one at a time, showing what it shows through the
// window's thread.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "app/window_timer.h"
#include "tests/ui/client_driver.h"
#include "tests/ui/test_desktop.h"
#include "ui/display.h"

namespace {

PollTimer* TickedTimer = nullptr;
int Ticks = 0;
// Ticks that start a poll, as Timer1Timer does with complete settings.
int PollsToStart = 0;
// What the display functions showed on the window's thread, in order; a line
// shown on another thread says so.
std::vector<std::string> Shown;
DWORD WindowThread = 0;

void Show(const std::string& line)
{
    Shown.push_back(GetCurrentThreadId() == WindowThread ? line : line + " (not on the window's thread)");
}

const DisplayFunctions kRecorder = {
    [](int32_t position, int32_t maximum) {
        Show("progress " + std::to_string(position) + " of " + std::to_string(maximum));
    },
    [](const char* text) { Show(std::string("status ") + text); },
    [](const char* text) { Show(std::string("log ") + text); },
    [] { Show("clear"); },
};

// A poll that shows what a poll with a job shows, and between two lines
// waits until the test lets it go on.
HANDLE PollWaits = nullptr;
HANDLE PollGoesOn = nullptr;
std::atomic<int> PollsRun{0};
std::string PollComputer;

int WaitingPoll(const SettingsValues& settings)
{
    ++PollsRun;
    PollComputer = settings.ComputerName;
    OnStatus("Connect");
    OnProgress(1, 10);
    ClearLog();
    OnLog("Doc");
    SetEvent(PollWaits);
    WaitForSingleObject(PollGoesOn, kClientWaitMilliseconds);
    OnProgress(10, 10);
    OnStatus("Printing complete");
    return 0;
}

// A job's progress reports in a burst, then a block that is slow to come.
int BurstPoll(const SettingsValues&)
{
    for (int32_t position = 0; position < 100; ++position)
        OnProgress(position, 100);
    SetEvent(PollWaits);
    WaitForSingleObject(PollGoesOn, kClientWaitMilliseconds);
    OnStatus("Printing complete");
    return 0;
}

// A poll that asks for the next one at once, as RunPoll does after a printed
// job or a held query.
int PollAskingForTheNext(const SettingsValues&)
{
    ++PollsRun;
    return 1;
}

const std::vector<std::string> kLinesBeforeTheWait = {"status Connect", "progress 1 of 10", "clear", "log Doc"};

class Timer1 : public testing::Test {
protected:
    void SetUp() override
    {
        if (!EnterTestDesktop())
            GTEST_SKIP() << kNoDisplay;
        window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        TickedTimer = nullptr;
        Ticks = 0;
        PollsToStart = 0;
        Shown.clear();
        WindowThread = GetCurrentThreadId();
        DisplayWithoutWindow(&kRecorder);
        PollWaits = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        PollGoesOn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        PollsRun = 0;
    }
    void TearDown() override
    {
        // A poll a failed test left waiting ends.
        SetEvent(PollGoesOn);
        if (window != nullptr)
            DestroyWindow(window);
        DisplayWithoutWindow(nullptr);
        CloseHandle(PollWaits);
        CloseHandle(PollGoesOn);
    }

    // Runs the message loop until the condition holds, for a few seconds at
    // most; counts the timer's messages.
    bool RunUntil(const std::function<bool()>& condition)
    {
        return WaitUntil([&] {
            MSG message;
            // Message by message: on a loaded machine two ticks of a short
            // period can both be due within one pass over the queue.
            while (!condition() && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
                timerMessages += message.message == WM_TIMER ? 1 : 0;
                DispatchMessageA(&message);
            }
            return condition();
        });
    }
    bool RunUntilTick()
    {
        const int before = Ticks;
        return RunUntil([before] { return Ticks > before; });
    }

    HWND window = nullptr;
    int timerMessages = 0;
};

TEST_F(Timer1, StartsWithAnIntervalOf1000Milliseconds)
{
    WindowTimer timer(window, WaitingPoll);
    EXPECT_EQ(timer.Interval(), 1000u);
}

TEST_F(Timer1, EachTickRunsTimer1TimerWithThisTimer)
{
    WindowTimer timer(window, WaitingPoll);
    timer.SetInterval(10);
    ASSERT_TRUE(RunUntilTick());
    EXPECT_EQ(TickedTimer, &timer);
    ASSERT_TRUE(RunUntilTick());
    EXPECT_EQ(Ticks, 2);
}

TEST_F(Timer1, TellsTheIntervalAskedForEvenBeyondWhatThePlatformTimes)
{
    // A negative poll frequency times 1000, taken as unsigned: the timer
    // must report it unchanged, or every tick would restart the period.
    WindowTimer timer(window, WaitingPoll);
    const uint32_t interval = static_cast<uint32_t>(-5) * 1000u;
    timer.SetInterval(interval);
    EXPECT_EQ(timer.Interval(), interval);
}

TEST_F(Timer1, APollShowsItsLinesInOrderOnTheWindowsThreadWhileItWaits)
{
    std::vector<int> ended;
    PollThread polls(WaitingPoll, [&ended](int result) { ended.push_back(result); });
    SettingsValues settings;
    settings.ComputerName = "PC01";
    ASSERT_TRUE(polls.Start(settings));
    // As the window's OK would: the running poll keeps its own copy.
    settings.ComputerName = "PC02";

    // The window's thread handles its messages while the poll waits.
    ASSERT_TRUE(RunUntil([] { return Shown.size() >= kLinesBeforeTheWait.size(); }));
    EXPECT_EQ(WaitForSingleObject(PollWaits, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(Shown, kLinesBeforeTheWait);
    EXPECT_TRUE(polls.Running());
    EXPECT_FALSE(polls.Start(settings)) << "one poll at a time";

    SetEvent(PollGoesOn);
    ASSERT_TRUE(RunUntil([&polls] { return !polls.Running(); }));
    std::vector<std::string> whole = kLinesBeforeTheWait;
    whole.insert(whole.end(), {"progress 10 of 10", "status Printing complete"});
    EXPECT_EQ(Shown, whole) << "the poll's end comes after everything it showed";
    EXPECT_EQ(ended, std::vector<int>{0});
    EXPECT_EQ(PollComputer, "PC01");
    EXPECT_EQ(PollsRun, 1);
}

TEST_F(Timer1, ProgressInABurstShowsAsItsLastReportAlsoWhileThePollWaits)
{
    PollThread polls(BurstPoll, nullptr);
    ASSERT_TRUE(polls.Start(SettingsValues()));
    ASSERT_TRUE(RunUntil([] { return !Shown.empty() && Shown.back() == "progress 99 of 100"; }));
    EXPECT_EQ(Shown.front(), "progress 0 of 100");
    int previous = -1;
    for (const std::string& line : Shown) {
        const int position = atoi(line.c_str() + strlen("progress "));
        EXPECT_GE(position, previous) << line;
        previous = position;
    }

    SetEvent(PollGoesOn);
    ASSERT_TRUE(RunUntil([&polls] { return !polls.Running(); }));
    EXPECT_EQ(Shown.back(), "status Printing complete");
}

TEST_F(Timer1, ATickWhileAPollRunsStartsNothingAndComesAgainWhenThePollEnds)
{
    WindowTimer timer(window, WaitingPoll);
    PollsToStart = 2;
    timer.SetInterval(10);
    ASSERT_TRUE(RunUntil([] { return WaitForSingleObject(PollWaits, 0) == WAIT_OBJECT_0; }));
    const int timerMessagesAtTheWait = timerMessages;
    ASSERT_TRUE(RunUntil([&] { return timerMessages >= timerMessagesAtTheWait + 2; }));
    EXPECT_EQ(Ticks, 1);
    EXPECT_EQ(PollsRun, 1);

    // No tick of the timer's own before the test ends: the next poll can
    // only come from the ticks that fell due during the first.
    timer.SetInterval(60000);
    SetEvent(PollGoesOn);
    ASSERT_TRUE(RunUntil([] { return PollsRun == 2; }));
    EXPECT_EQ(Ticks, 2) << "the ticks during the poll come again as one";
}

TEST_F(Timer1, APollThatAsksForTheNextOneAtOnceGetsItWithoutATickOfTheTimer)
{
    WindowTimer timer(window, PollAskingForTheNext);
    timer.SetInterval(60000);
    PollsToStart = 1;
    timer.StartPoll(SettingsValues());
    // The first poll's end ticks, and that tick starts the second poll,
    // whose end ticks again.
    ASSERT_TRUE(RunUntil([] { return Ticks == 2; }));
    EXPECT_EQ(PollsRun, 2);
    EXPECT_EQ(timerMessages, 0);
}

TEST_F(Timer1, StopCutsAPollShortWithinItsBoundOrSaysItDidNot)
{
    PollThread polls(WaitingPoll, nullptr);
    ASSERT_TRUE(polls.Start(SettingsValues()));
    ASSERT_EQ(WaitForSingleObject(PollWaits, kClientWaitMilliseconds), static_cast<DWORD>(WAIT_OBJECT_0));
    // The double's wait is no wait for the server: Stop cannot end it.
    EXPECT_FALSE(polls.Stop(50));
    SetEvent(PollGoesOn);
    EXPECT_TRUE(polls.Stop(kClientWaitMilliseconds));
    EXPECT_FALSE(polls.Running());
}

}  // namespace

// The tick itself, as the program's poll timer logic would receive it.
void Timer1Timer(PollTimer& timer)
{
    TickedTimer = &timer;
    ++Ticks;
    if (PollsToStart > 0) {
        --PollsToStart;
        timer.StartPoll(SettingsValues());
    }
}
