// The poll timer's tick: its guard, its interval rule, one fresh client per
// poll, and no poll with a setting the client cannot hold.
#include <gtest/gtest.h>

#include "app/poll_timer.h"
#include "settings/client_settings.h"
#include "tests/settings/poll_doubles.h"

namespace {

class TimerDouble : public PollTimer {
public:
    uint32_t interval = 1000;
    std::vector<uint32_t> restarts;

    uint32_t Interval() override { return interval; }
    void SetInterval(uint32_t milliseconds) override
    {
        interval = milliseconds;
        restarts.push_back(milliseconds);
    }
    void StartPoll(const SettingsValues& settings) override { RunPoll(settings); }
};

class Tick : public testing::Test {
protected:
    void SetUp() override
    {
        Ticks = TickRecord();
        ClientSettings = SettingsValues();
        ClientSettings.Url = "print.example";
        ClientSettings.Port = 7000;
        ClientSettings.PollFreq = 30;
        ClientSettings.ComputerName = "DESK-7";
        ClientSettings.Cipher = "secret";
    }

    TimerDouble timer;
};

TEST_F(Tick, IncompleteSettingsCreateNoClientAndKeepTheInterval)
{
    const std::vector<void (*)(SettingsValues&)> gaps = {
        [](SettingsValues& s) { s.PollFreq = 0; },
        [](SettingsValues& s) { s.Url.clear(); },
        [](SettingsValues& s) { s.Port = 0; },
        [](SettingsValues& s) { s.ComputerName.clear(); },
    };
    for (size_t i = 0; i < gaps.size(); ++i) {
        SetUp();
        gaps[i](ClientSettings);
        for (int tick = 0; tick < 3; ++tick)
            Timer1Timer(timer);
        EXPECT_EQ(Ticks.clientsCreated, 0) << "gap " << i;
        EXPECT_TRUE(timer.restarts.empty()) << "gap " << i;
        EXPECT_EQ(timer.interval, 1000u) << "gap " << i;
        EXPECT_TRUE(Ticks.statusTexts.empty()) << "a silent tick, gap " << i;
    }
}

TEST_F(Tick, PollsOnceWithAFreshClientSetUpFromTheSettings)
{
    Timer1Timer(timer);

    EXPECT_EQ(Ticks.clientsCreated, 1);
    EXPECT_EQ(Ticks.clientsDestroyed, 1);
    ASSERT_EQ(Ticks.setups.size(), 1u);
    EXPECT_EQ(Ticks.setups[0].host, "print.example");
    EXPECT_EQ(Ticks.setups[0].port, 7000);
    EXPECT_EQ(Ticks.setups[0].computerName, "DESK-7");
    EXPECT_EQ(Ticks.setups[0].cipher, "secret");
    EXPECT_EQ(Ticks.setups[0].proxy, "") << "no proxy: straight to the server";
    ASSERT_EQ(Ticks.polls.size(), 1u);
    EXPECT_TRUE(Ticks.polls[0].callbacksAreTheDisplay);
    EXPECT_TRUE(Ticks.polls[0].setUpFirst);
    EXPECT_EQ(Ticks.polls[0].clientsAlive, 1);

    Timer1Timer(timer);
    EXPECT_EQ(Ticks.clientsCreated, 2);
    EXPECT_EQ(Ticks.clientsDestroyed, 2);
    EXPECT_EQ(Ticks.polls.size(), 2u);
}

TEST_F(Tick, AnEmptyCipherStillPolls)
{
    ClientSettings.Cipher.clear();

    Timer1Timer(timer);

    ASSERT_EQ(Ticks.setups.size(), 1u);
    EXPECT_EQ(Ticks.setups[0].cipher, "");
    EXPECT_EQ(Ticks.polls.size(), 1u);
}

TEST_F(Tick, PollFreqOfOneNeverRestartsTheTimer)
{
    ClientSettings.PollFreq = 1;
    for (int tick = 0; tick < 3; ++tick)
        Timer1Timer(timer);
    EXPECT_TRUE(timer.restarts.empty());
    EXPECT_EQ(Ticks.polls.size(), 3u);
}

TEST_F(Tick, TheIntervalChangesOnlyWithPollFreq)
{
    Timer1Timer(timer);
    Timer1Timer(timer);
    EXPECT_EQ(timer.restarts, std::vector<uint32_t>{30000});

    ClientSettings.PollFreq = 10;
    Timer1Timer(timer);
    Timer1Timer(timer);
    EXPECT_EQ(timer.restarts, (std::vector<uint32_t>{30000, 10000}));
}

TEST_F(Tick, PollFreqTimes1000IsAnUnsignedProductOfAtLeastASecond)
{
    struct Case {
        int32_t pollFreq;
        uint32_t interval;  // the timer's interval after the tick
        bool polled;
    };
    // A product that wrapped below a second leaves the interval as it was.
    const Case cases[] = {
        {-1, 4294966296u, true}, {-5, 4294962296u, true}, {INT32_MIN, 4294962296u, false},
        {536870912, 4294962296u, false}, {-536870912, 4294962296u, false}, {4294968, 4294962296u, false},
        {4294969, 1704u, true}, {1073741824, 1704u, false},
    };
    for (const Case& c : cases) {
        ClientSettings.PollFreq = c.pollFreq;
        const size_t pollsBefore = Ticks.polls.size();
        Ticks.statusTexts.clear();
        Timer1Timer(timer);
        EXPECT_EQ(timer.interval, c.interval) << c.pollFreq;
        EXPECT_EQ(Ticks.polls.size(), pollsBefore + (c.polled ? 1 : 0)) << c.pollFreq;
        EXPECT_EQ(Ticks.statusTexts,
                  c.polled ? std::vector<std::string>{}
                           : std::vector<std::string>{"Poll frequency out of range: not polling"})
            << c.pollFreq;
    }
}

TEST_F(Tick, TheNextPollStartsAtOnceOnlyAfterAPrintedJobOrAnEmptyReplyHeldHalfOfLongPoll)
{
    struct Case {
        int32_t longPoll;
        PollEnd::How how;
        int64_t replyMilliseconds;
        bool atOnce;
    };
    const Case cases[] = {
        // Off: the timer decides whatever the poll did.
        {0, PollEnd::Printed, 0, false},
        {0, PollEnd::EmptyQueue, 60000, false},
        {20, PollEnd::Printed, 0, true},
        {20, PollEnd::EmptyQueue, 10000, true},
        {20, PollEnd::EmptyQueue, 9999, false},
        // Answered at once: a service that does not hold queries.
        {20, PollEnd::EmptyQueue, 3, false},
        // Failed, even after a long wait: a path that cuts held requests.
        {20, PollEnd::Failed, 35000, false},
        {300, PollEnd::EmptyQueue, 150000, true},
    };
    for (const Case& c : cases) {
        SetUp();
        ClientSettings.LongPoll = c.longPoll;
        Ticks.outcome.how = c.how;
        Ticks.outcome.emptyReplyMilliseconds = c.replyMilliseconds;
        SCOPED_TRACE(std::to_string(c.longPoll) + " s, end " + std::to_string(c.how) + ", " +
                     std::to_string(c.replyMilliseconds) + " ms");
        EXPECT_EQ(NextPollAtOnce(Ticks.outcome, c.longPoll), c.atOnce);
        EXPECT_EQ(RunPoll(ClientSettings), c.atOnce ? 1 : 0);
        EXPECT_EQ(Ticks.longPolls, std::vector<int32_t>{c.longPoll}) << "the poll's client has the setting";
    }
}

TEST_F(Tick, HandsTheProxyOverAndNeverPollsPastOneThatIsNoHostAndPort)
{
    ClientSettings.Proxy = "proxy.example:3128";
    Timer1Timer(timer);
    ASSERT_EQ(Ticks.setups.size(), 1u);
    EXPECT_EQ(Ticks.setups[0].proxy, "proxy.example:3128");

    ClientSettings.Proxy = "proxy.example";
    Timer1Timer(timer);
    EXPECT_EQ(Ticks.clientsCreated, 1);
    EXPECT_EQ(Ticks.statusTexts, std::vector<std::string>{"Proxy proxy.example is not a proxy as host:port (a host "
                                                          "name or address of at most 63 characters, a port from 1 "
                                                          "to 65535). Not polling."});
}

TEST_F(Tick, NeverPollsWithASettingTheClientCannotHold)
{
    struct Case {
        std::string SettingsValues::*field;
        std::string SetupCall::*handedOver;
        size_t length;
        const char* status;  // empty: polled
    };
    const Case cases[] = {
        {&SettingsValues::Url, &SetupCall::host, 63, ""},
        {&SettingsValues::Url, &SetupCall::host, 64, "Server name longer than 63 characters: not polling"},
        {&SettingsValues::ComputerName, &SetupCall::computerName, 63, ""},
        {&SettingsValues::ComputerName, &SetupCall::computerName, 64,
         "Computer name longer than 63 characters: not polling"},
        {&SettingsValues::Cipher, &SetupCall::cipher, 255, ""},
        {&SettingsValues::Cipher, &SetupCall::cipher, 256, "Cipher string longer than 255 characters: not polling"},
    };
    for (const Case& c : cases) {
        SetUp();
        ClientSettings.*c.field = std::string(c.length, 'n');

        Timer1Timer(timer);

        SCOPED_TRACE(std::string(c.status) + " / length " + std::to_string(c.length));
        if (*c.status == '\0') {
            ASSERT_EQ(Ticks.setups.size(), 1u);
            EXPECT_EQ(Ticks.setups[0].*c.handedOver, ClientSettings.*c.field) << "handed over whole";
            EXPECT_EQ(Ticks.polls.size(), 1u);
            EXPECT_TRUE(Ticks.statusTexts.empty());
        } else {
            EXPECT_EQ(Ticks.clientsCreated, 0);
            EXPECT_EQ(Ticks.statusTexts, std::vector<std::string>{c.status});
        }
    }
    EXPECT_EQ(timer.interval, 30000u) << "the period follows PollFreq even while not polling";
}

}  // namespace
