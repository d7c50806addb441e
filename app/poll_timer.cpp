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

void Timer1Timer(PollTimer& timer)
{
    // Incomplete settings: a silent tick, and the interval stays as it is.
    if (!SettingsComplete(ClientSettings))
        return;

    // A 32-bit product: a negative PollFreq gives a huge unsigned period
    // instead of stopping the timer. One that wrapped below a second would
    // poll back to back, so it is never set. Setting an unchanged interval
    // would restart the period, so it is set only when it differs.
    const uint32_t interval = static_cast<uint32_t>(ClientSettings.PollFreq) * 1000u;
    if (interval < 1000u) {
        OnStatus("Poll frequency out of range: not polling");
        return;
    }
    if (timer.Interval() != interval)
        timer.SetInterval(interval);

    // A setting longer than the client's field is never polled cut short.
    const std::string overlong = OverlongSetting(ClientSettings);
    if (!overlong.empty()) {
        OnStatus((overlong + ": not polling").c_str());
        return;
    }

    // A proxy set by hand that is no host:port is never passed by: such a
    // network lets nothing out straight.
    std::string proxyHost;
    int32_t proxyPort = 0;
    if (!ClientSettings.Proxy.empty() && !SplitProxy(ClientSettings.Proxy, &proxyHost, &proxyPort)) {
        OnStatus((ProxyProblem("Proxy ", ClientSettings.Proxy) + " Not polling.").c_str());
        return;
    }

    timer.StartPoll(ClientSettings);
}

int RunPoll(const SettingsValues& settings)
{
    // The tick has checked the proxy, so this cannot fail.
    std::string proxyHost;
    int32_t proxyPort = 0;
    if (!settings.Proxy.empty())
        SplitProxy(settings.Proxy, &proxyHost, &proxyPort);

    PrintClient client;
    // Cannot fail: every text was checked against the client's fields.
    client.Setup(settings.Url.c_str(), settings.Port, settings.ComputerName.c_str(), settings.Cipher.c_str());
    client.OnProgress = OnProgress;
    client.OnStatus = OnStatus;
    client.OnLog = OnLog;
    client.UseTls = settings.UseTls;
    client.BlocksInFlight = settings.BlocksInFlight;
    client.LongPoll = settings.LongPoll;
    // Cannot fail either: the proxy's host passed the same limit.
    if (proxyPort != 0)
        client.SetProxy(proxyHost.c_str(), proxyPort);
    PollEnd end;
    RunPollCycle(&client, &end);
    return NextPollAtOnce(end, client.LongPoll) ? 1 : 0;
}

bool NextPollAtOnce(const PollEnd& end, int32_t longPollSeconds)
{
    if (longPollSeconds <= 0)
        return false;
    return end.how == PollEnd::Printed ||
           (end.how == PollEnd::EmptyQueue && end.emptyReplyMilliseconds * 2 >= int64_t{longPollSeconds} * 1000);
}
