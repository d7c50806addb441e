#include "app/headless_loop.h"

#include "protocol/poll_cycle.h"
#include "protocol/printer_inventory.h"
#include "protocol/service_path.h"
#include "settings/client_settings.h"

void HeadlessTimer::SetInterval(uint32_t milliseconds)
{
    interval_ = milliseconds;
    due_ = SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

void HeadlessTimer::TickStartedAt(SteadyClock::time_point start)
{
    while (due_ <= start)
        due_ += std::chrono::milliseconds(interval_);
}

void RunHeadlessLoop(const HeadlessPlatform& platform)
{
    HeadlessTimer timer;
    for (;;) {
        const Wake wake = platform.waitUntil(timer.Due());
        if (wake == Wake::Stop)
            return;
        if (wake == Wake::Reload) {
            if (platform.reload())
                timer.TickNow();
            continue;
        }
        const SteadyClock::time_point start = SteadyClock::now();
        platform.tick(timer);
        timer.TickStartedAt(start);
    }
}

bool RegisterAfreshAfterChanges(const SettingsValues& inForce, bool samePrintersHidden)
{
    const bool sameServer = inForce.Url == ClientSettings.Url && inForce.Port == ClientSettings.Port &&
                            inForce.UseTls == ClientSettings.UseTls;
    const bool registersAgain = !sameServer || inForce.ComputerName != ClientSettings.ComputerName ||
                                !samePrintersHidden;
    if (registersAgain) {
        ComputerToken = -1;
        RegistrationCountdown = 0;
    }
    // The new server may answer under another of the service paths.
    if (!sameServer)
        ServicePrefix[0] = 0;
    return registersAgain;
}

int WaitMilliseconds(SteadyClock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left <= 0 ? 0 : left >= 86400000 ? 86400000 : static_cast<int>(left) + 1;
}

std::string PollingDescription()
{
    return "polling " + ClientSettings.Url + ":" + std::to_string(ClientSettings.Port) +
           (ClientSettings.Proxy.empty() ? "" : " through proxy " + ClientSettings.Proxy) + " every " +
           std::to_string(ClientSettings.PollFreq) + " s" +
           (ClientSettings.LongPoll > 0 ? ", each query held up to " + std::to_string(ClientSettings.LongPoll) + " s"
                                        : "") +
           " as " + ClientSettings.ComputerName + ", user " + WindowsUserName();
}
