// The headless loop of the Linux daemon and the Windows service: a stop
// request ends it at once in every state, a poll in the middle of a job
// included, whose job is then aborted and not acknowledged. Natively the stop
// is the daemon's SIGTERM, under Wine the service control handler's request.
// A reload that takes new settings has them tried at once, and one that
// renames the computer or moves the server registers before it queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/headless_loop.h"
#include "app/poll_timer.h"
#include "settings/client_settings.h"
#include "tests/protocol/poll_fixture.h"
#ifdef _WIN32
#include "app/service_signals.h"
#else
#include <csignal>

#include "app/linux/daemon_signals.h"
#endif

namespace {

using std::chrono::milliseconds;

#ifdef _WIN32
void StartStopSignals()
{
    ASSERT_TRUE(StartServiceSignals());
}
void RequestStop()
{
    RequestServiceStop();
}
Wake (*const LoopWait)(SteadyClock::time_point) = WaitForService;
#else
void StartStopSignals()
{
    ASSERT_TRUE(InstallDaemonSignals());
    EndWaitsWhenReadable(StopDescriptor());
}
void RequestStop()
{
    kill(getpid(), SIGTERM);
}
Wake (*const LoopWait)(SteadyClock::time_point) = WaitUntil;
#endif

enum class Moment {
    WaitingForTheFirstTick,
    WaitingForAStalledBlock,
    ReceivingABlockSlowly,
    HoldingAQuery,
    SendingWhatCannotGoOut
};

// The poll's connection to the scripted service, which the program's own
// client holds: the one socket whose peer listens at port.
SocketHandle ConnectionTo(uint16_t port)
{
    for (SocketHandle candidate = 1; candidate < 4096; ++candidate) {
        sockaddr_in peer = {};
#ifdef _WIN32
        int length = sizeof peer;
#else
        socklen_t length = sizeof peer;
#endif
        if (getpeername(candidate, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET && ntohs(peer.sin_port) == port)
            return candidate;
    }
    return kNoSocket;
}

struct StopCase {
    const char* name;
    Moment moment;
};

// The settings in force poll the scripted service.
class HeadlessPoll : public PollTest {
protected:
    void SetUp() override
    {
        PollTest::SetUp();
        ClientSettings = SettingsValues();
        ClientSettings.Url = "127.0.0.1";
        ClientSettings.Port = server_->Port();
        ClientSettings.PollFreq = 1;
        ClientSettings.ComputerName = "PC01";
    }
};

class LoopStop : public HeadlessPoll, public testing::WithParamInterface<StopCase> {
protected:
    void SetUp() override
    {
        HeadlessPoll::SetUp();
        // The program's own read time-out: only the stop can end the stall.
        TransportTimeouts = {15000, 3000};
        StartStopSignals();
    }

    // Bounded: a few seconds at most.
    bool WaitFor(const std::function<bool()>& condition)
    {
        for (int step = 0; step < 500; ++step) {
            if (condition())
                return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }
};

TEST_P(LoopStop, EndsWithinMomentsAndAcknowledgesNothing)
{
    const std::string data(3 * 4096, 'j');
    Script("qryspool", JobReply("f.prn", std::to_string(data.size()), "Doc", "Office Laser", "31"));
    ScriptedAnswer first;
    first.bytes = OkResponse(Complement(data.substr(0, 4096)));
    ScriptedAnswer second = first;
    if (GetParam().moment == Moment::SendingWhatCannotGoOut) {
        // The service answers the query and reads nothing more; a small send
        // buffer fills with the block requests in flight.
        ScriptedAnswer query;
        query.bytes = OkResponse(JobReply("f.prn", std::to_string(300 * 4096), "Doc", "Office Laser", "31"));
        query.stall = true;
        Script("qryspool", {query});
        ClientSettings.BlocksInFlight = 256;
        display_recorder::SetHook([this](const DisplayEvent& event) {
            if (event == StatusEvent("Printing")) {
                const int bytes = 2048;
                setsockopt(ConnectionTo(server_->Port()), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                           sizeof bytes);
            }
        });
    } else if (GetParam().moment == Moment::WaitingForAStalledBlock) {
        second.bytes.clear();
        second.stall = true;
    } else {
        // Bytes keep arriving, so a wait finds them there already.
        second.pieceSize = 256;
        second.pauseMilliseconds = 50;
    }
    Script("spooldata", {first, second});
    if (GetParam().moment == Moment::HoldingAQuery) {
        // A service holding the query far longer than the stop may take.
        ClientSettings.LongPoll = 300;
        ScriptedAnswer held;
        held.stall = true;
        Script("qryspool", {held});
    }

    std::future<void> loop = std::async(std::launch::async, [] {
        RunHeadlessLoop({LoopWait, [] { return false; }, [](PollTimer& timer) { Timer1Timer(timer); }});
    });
    if (GetParam().moment == Moment::HoldingAQuery || GetParam().moment == Moment::SendingWhatCannotGoOut) {
        ASSERT_TRUE(WaitFor([this] { return !RequestsFor("qryspool").empty(); }));
        // Into the held query's wait, or the wait for room to send.
        std::this_thread::sleep_for(milliseconds(100));
    } else if (GetParam().moment != Moment::WaitingForTheFirstTick) {
        ASSERT_TRUE(WaitFor([this] { return RequestsFor("spooldata").size() >= 2; }));
        // Into the second block's wait, or its slow arrival.
        std::this_thread::sleep_for(milliseconds(100));
    }
    RequestStop();
    ASSERT_EQ(loop.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(RequestsFor("printed").empty());
    if (GetParam().moment == Moment::WaitingForTheFirstTick) {
        EXPECT_TRUE(server_->Requests().empty());
    } else if (GetParam().moment == Moment::HoldingAQuery) {
        EXPECT_TRUE(spooler_double::CallNames().empty());
    } else {
        const std::vector<std::string> calls = spooler_double::CallNames();
        EXPECT_NE(std::find(calls.begin(), calls.end(), "AbortPrinter"), calls.end()) << "the job is aborted";
    }
    if (GetParam().moment == Moment::SendingWhatCannotGoOut) {
        const std::vector<DisplayEvent> events = Events();
        EXPECT_NE(std::find(events.begin(), events.end(), LogEvent("write() failed")), events.end())
            << "the stop ends a send";
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, LoopStop,
                         testing::Values(StopCase{"WaitingForTheFirstTick", Moment::WaitingForTheFirstTick},
                                         StopCase{"WaitingForAStalledBlock", Moment::WaitingForAStalledBlock},
                                         StopCase{"ReceivingABlockSlowly", Moment::ReceivingABlockSlowly},
                                         StopCase{"HoldingAQuery", Moment::HoldingAQuery},
                                         StopCase{"SendingWhatCannotGoOut", Moment::SendingWhatCannotGoOut}),
                         [](const testing::TestParamInfo<StopCase>& info) { return info.param.name; });

bool ReloadTakesSettings = false;
int LoopWaits = 0;
SteadyClock::duration DueAfterReload;

// A reload first; the wait after it shows when the next poll is due.
Wake ReloadThenStop(SteadyClock::time_point deadline)
{
    if (++LoopWaits == 1)
        return Wake::Reload;
    DueAfterReload = deadline - SteadyClock::now();
    return Wake::Stop;
}

TEST(HeadlessLoop, AReloadThatTakesSettingsMakesThePollDueAtOnceAndOtherwiseLeavesThePeriod)
{
    for (const bool taken : {true, false}) {
        ReloadTakesSettings = taken;
        LoopWaits = 0;
        RunHeadlessLoop({ReloadThenStop, [] { return ReloadTakesSettings; }, [](PollTimer&) {}});
        // Otherwise the first poll stays a second after the start.
        EXPECT_EQ(DueAfterReload <= SteadyClock::duration::zero(), taken) << "taken " << taken;
    }
}

// The fixture's read time-out is 200 ms; LongPoll 1 lets the service hold the
// query 1.2 s, and a hold of half that or more is taken as the service's.
TEST_F(HeadlessPoll, APollThatPrintedOrWasHeldMakesTheNextOneDueAtOnceAndAnAnswerAtOnceLeavesThePeriod)
{
    struct Case {
        const char* what;
        std::string reply;
        int holdMilliseconds;
        bool atOnce;
    };
    const Case cases[] = {
        {"printed", JobReply("f", "3", "Doc", "Office Laser", "5"), 0, true},
        {"held", "EMPTY", 600, true},
        {"answered at once", "EMPTY", 0, false},
    };
    for (const Case& c : cases) {
        ClientSettings.LongPoll = 1;
        ScriptedAnswer answer;
        answer.bytes = OkResponse(c.reply);
        answer.holdMilliseconds = c.holdMilliseconds;
        Script("qryspool", {answer});
        Script("spooldata", Complement("abc"));
        HeadlessTimer timer;
        Timer1Timer(timer);
        EXPECT_EQ(timer.Due() <= SteadyClock::now(), c.atOnce) << c.what;
    }
}

// Each reload follows the poll before it, as the daemon's and the service's do.
TEST_F(HeadlessPoll, AReloadThatRenamesOrMovesTheServerRegistersBeforeTheNextQuery)
{
    struct Reload {
        const char* what;
        void (*change)(SettingsValues* settings);
        std::vector<std::string> nextPoll;
    };
    const Reload reloads[] = {
        {"period", [](SettingsValues* settings) { settings->PollFreq = 2; }, {"qryspool"}},
        {"rename", [](SettingsValues* settings) { settings->ComputerName = "PC02"; }, {"printlist", "qryspool"}},
        // The same service under another name: its path is looked for again.
        {"server", [](SettingsValues* settings) { settings->Url = "localhost"; }, {"ping", "printlist", "qryspool"}},
    };
    HeadlessTimer timer;
    Timer1Timer(timer);
    for (const Reload& reload : reloads) {
        const size_t before = server_->Requests().size();
        const SettingsValues inForce = ClientSettings;
        reload.change(&ClientSettings);
        RegisterAfreshAfterChanges(inForce, true);
        Timer1Timer(timer);
        std::vector<std::string> functions;
        for (size_t i = before; i < server_->Requests().size(); ++i)
            functions.push_back(FunctionOf(server_->Requests()[i]));
        EXPECT_EQ(functions, reload.nextPoll) << reload.what;
    }
}

}  // namespace
