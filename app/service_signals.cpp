#include "app/service_signals.h"

#include <windows.h>

#include <atomic>

#include "settings/win32/registry_store.h"
#include "transport/socket_shim.h"

namespace {

HANDLE StopEvent = nullptr;   // manual reset: once set, it stays set
HANDLE KeyChanged = nullptr;  // auto reset: each change is read once
HKEY WatchedKey = nullptr;
std::atomic<bool> Stopping{false};

}  // namespace

bool StartServiceSignals()
{
    if (StopEvent == nullptr)
        StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (KeyChanged == nullptr)
        KeyChanged = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (StopEvent == nullptr || KeyChanged == nullptr)
        return false;
    ResetEvent(StopEvent);
    ResetEvent(KeyChanged);
    Stopping = false;
    SetWaitsEnded(false);
    // A key that cannot be watched only means no reading again on a change.
    if (WatchedKey == nullptr)
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_NOTIFY, &WatchedKey);
    return true;
}

void RequestServiceStop()
{
    Stopping = true;
    SetWaitsEnded(true);
    SetEvent(StopEvent);
}

bool ServiceStopRequested()
{
    return Stopping;
}

Wake WaitForService(SteadyClock::time_point deadline)
{
    const HANDLE events[] = {StopEvent, KeyChanged};
    for (;;) {
        // The first of the events that are set: the stop's.
        const DWORD woken = WaitForMultipleObjects(2, events, FALSE, static_cast<DWORD>(WaitMilliseconds(deadline)));
        if (woken == WAIT_OBJECT_0)
            return Wake::Stop;
        if (woken == WAIT_OBJECT_0 + 1)
            return Wake::Reload;
        if (woken == WAIT_FAILED)
            return Wake::Stop;  // cannot wait at all: better to end than to spin
        if (SteadyClock::now() >= deadline)
            return Wake::Due;
    }
}

void WatchSettingsKey()
{
    if (WatchedKey != nullptr)
        RegNotifyChangeKeyValue(WatchedKey, FALSE, REG_NOTIFY_CHANGE_LAST_SET, KeyChanged, TRUE);
}
