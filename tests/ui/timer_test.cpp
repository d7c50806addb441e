// Timer1: a timer of the main window whose ticks run Timer1Timer from the
// message loop, starting at 1000 ms.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "app/single_instance.h"
#include "app/window_timer.h"
#include "tests/ui/client_driver.h"
#include "tests/ui/test_desktop.h"

namespace {

PollTimer* TickedTimer = nullptr;
int Ticks = 0;
std::string StatusShown;

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
        StatusShown.clear();
    }
    void TearDown() override
    {
        if (window != nullptr)
            DestroyWindow(window);
    }

    // Runs the message loop until the condition holds, for a few seconds at most.
    bool RunUntil(const std::function<bool()>& condition)
    {
        return WaitUntil([&condition] {
            MSG message;
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
            return condition();
        });
    }
    bool RunUntilTick()
    {
        const int before = Ticks;
        return RunUntil([before] { return Ticks > before; });
    }

    HWND window = nullptr;
};

TEST_F(Timer1, StartsWithAnIntervalOf1000Milliseconds)
{
    WindowTimer timer(window);
    EXPECT_EQ(timer.Interval(), 1000u);
}

TEST_F(Timer1, EachTickRunsTimer1TimerWithThisTimer)
{
    WindowTimer timer(window);
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
    WindowTimer timer(window);
    const uint32_t interval = static_cast<uint32_t>(-5) * 1000u;
    timer.SetInterval(interval);
    EXPECT_EQ(timer.Interval(), interval);
}

TEST_F(Timer1, WhileTheServicePollsTheTickSaysSoAndDoesNotPoll)
{
    WindowTimer timer(window);
    timer.SetInterval(10);
    {
        const ServicePresence service;
        ASSERT_TRUE(RunUntil([] { return !StatusShown.empty(); }));
        EXPECT_EQ(StatusShown, "Polling as a service");
        EXPECT_EQ(Ticks, 0);
    }
    ASSERT_TRUE(RunUntilTick()) << "polls again once the service has ended";
}

}  // namespace

void OnStatus(const char* text)
{
    StatusShown = text;
}

// The tick itself, as the program's poll timer logic would receive it.
bool Timer1Timer(PollTimer& timer)
{
    TickedTimer = &timer;
    ++Ticks;
    return false;
}
