#include "protocol/cups/cups_scheduler.h"

#include "transport/socket_shim.h"

namespace {

constexpr double kSliceSeconds = 0.25;
constexpr int kSlicesOfPatience = 120;  // 30 s without a sign of life
// A local scheduler answers a connect at once, even a stopped one (the
// kernel completes it); this bounds a remote one that does not answer.
constexpr int kConnectMilliseconds = 2000;

std::string NotedFailure;

// Called by libcups each time a slice passes with nothing to read or write:
// 1 waits on, 0 ends the wait with an error.
int KeepWaiting(http_t*, void* data)
{
    SchedulerWait* wait = static_cast<SchedulerWait*>(data);
    if (!StopRequested() && ++wait->slicesWaited < kSlicesOfPatience)
        return 1;
    wait->endedSilent = true;
    return 0;
}

}  // namespace

http_t* ConnectToScheduler(SchedulerWait* wait)
{
    http_t* connection = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                      kConnectMilliseconds, nullptr);
    if (connection == nullptr) {
        if (NotedFailure.empty())
            NotedFailure = std::string("CUPS at ") + cupsServer() + " cannot be reached: " + cupsLastErrorString();
        return nullptr;
    }
    httpSetTimeout(connection, kSliceSeconds, KeepWaiting, wait);
    return connection;
}

void NoteCupsFailure(const std::string& what, const SchedulerWait& wait)
{
    if (!NotedFailure.empty())
        return;
    NotedFailure = what + ": " +
                   (wait.endedSilent ? "CUPS did not answer for " +
                                           std::to_string(static_cast<int>(kSlicesOfPatience * kSliceSeconds)) + " s"
                                     : std::string(cupsLastErrorString()));
}

std::string TakeCupsFailure()
{
    std::string taken;
    taken.swap(NotedFailure);
    return taken;
}
