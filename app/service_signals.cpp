#include "app/service_signals.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "settings/win32/registry_store.h"
#include "transport/socket_shim.h"

namespace {

HANDLE StopEvent = nullptr;   // manual reset: once set, it stays set
HANDLE KeyChanged = nullptr;  // auto reset: each change is read once
// The maker's key, the settings key's parent, watched with all below it: a
// handle to the settings key itself sees nothing of it once it is deleted,
// nor of a key created again under its name.
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
    // Opened afresh each time, in case the maker's key went too. Closing the
    // old handle may signal its watch: that is no change to read.
    if (WatchedKey != nullptr)
        RegCloseKey(WatchedKey);
    WatchedKey = nullptr;
    ResetEvent(KeyChanged);
    const std::string makerKey(kSettingsKeyPath, strrchr(kSettingsKeyPath, '\\') - kSettingsKeyPath);
    // A key that cannot be watched only means no reading again on a change.
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, makerKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_NOTIFY,
                        nullptr, &WatchedKey, nullptr) == ERROR_SUCCESS)
        RegNotifyChangeKeyValue(WatchedKey, TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, KeyChanged,
                                TRUE);
}
