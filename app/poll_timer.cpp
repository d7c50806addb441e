#include "app/poll_timer.h"

#include <string>

#include "protocol/poll_cycle.h"
#include "settings/client_settings.h"
#include "settings/setting_limits.h"
#include "settings/setting_rules.h"
#include "transport/print_client.h"
#include "ui/display.h"

static_assert(kServerNameLimit + 1 == static_cast<size_t>(kHostCapacity) &&
                  kComputerNameLimit + 1 == static_cast<size_t>(kComputerNameCapacity) &&
                  kCipherLimit + 1 == static_cast<size_t>(kCipherCapacity),
              "the settings' length limits must match the client's fields");

namespace {

// A printer driver that shows a window while a document starts runs the
// message loop, which delivers the next tick inside the running poll. A poll
// there would fetch and print the same unacknowledged job again.
bool PollRunning = false;

}  // namespace

bool NextPollAtOnce(const PollOutcome& outcome, int32_t longPollSeconds)
{
    if (longPollSeconds <= 0)
        return false;
    return outcome.end == PollOutcome::Printed ||
           (outcome.end == PollOutcome::EmptyQueue && outcome.emptyReplyMilliseconds * 2 >= int64_t{longPollSeconds} * 1000);
}

bool Timer1Timer(PollTimer& timer)
{
    if (PollRunning)
        return false;
    // Incomplete settings: a silent tick, and the interval stays as it is.
    if (!SettingsComplete(ClientSettings))
        return false;

    // A 32-bit product: a negative PollFreq gives a huge unsigned period
    // instead of stopping the timer. One that wrapped below a second would
    // poll back to back, so it is never set. Setting an unchanged interval
    // would restart the period, so it is set only when it differs.
    const uint32_t interval = static_cast<uint32_t>(ClientSettings.PollFreq) * 1000u;
    if (interval < 1000u) {
        OnStatus("Poll frequency out of range: not polling");
        return false;
    }
    if (timer.Interval() != interval)
        timer.SetInterval(interval);

    // A setting longer than the client's field is never polled cut short.
    const std::string overlong = OverlongSetting(ClientSettings);
    if (!overlong.empty()) {
        OnStatus((overlong + ": not polling").c_str());
        return false;
    }

    // A proxy set by hand that is no host:port is never passed by: such a
    // network lets nothing out straight.
    std::string proxyHost;
    int32_t proxyPort = 0;
    if (!ClientSettings.Proxy.empty() && !SplitProxy(ClientSettings.Proxy, &proxyHost, &proxyPort)) {
        OnStatus((ProxyProblem("Proxy ", ClientSettings.Proxy) + " Not polling.").c_str());
        return false;
    }

    PrintClient client;
    // Cannot fail: every text was checked against the client's fields above.
    client.Setup(ClientSettings.Url.c_str(), ClientSettings.Port, ClientSettings.ComputerName.c_str(),
                 ClientSettings.Cipher.c_str());
    client.OnProgress = OnProgress;
    client.OnStatus = OnStatus;
    client.OnLog = OnLog;
    client.UseTls = ClientSettings.UseTls;
    client.BlocksInFlight = ClientSettings.BlocksInFlight;
    client.LongPoll = ClientSettings.LongPoll;
    // Cannot fail either: the proxy's host passed the same limit.
    if (proxyPort != 0)
        client.SetProxy(proxyHost.c_str(), proxyPort);
    PollRunning = true;
    PollOutcome outcome;
    RunPollCycle(&client, &outcome);
    PollRunning = false;
    return NextPollAtOnce(outcome, client.LongPoll);
}
