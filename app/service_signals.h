// What wakes the service's headless loop: its stop request and changes to
// the settings key (the window's OK, an installer, an administrator's reg
// command), after which it reads the settings again. A stop also ends every
// wait for the server at once (transport/socket_shim.h), so a running poll
// ends at its next wait, its job aborted and not acknowledged.
#pragma once

#include "app/headless_loop.h"

// No stop requested, waits for the server as usual. False when the events
// cannot be made.
bool StartServiceSignals();

// From any thread: the service control handler's.
void RequestServiceStop();
bool ServiceStopRequested();

// The headless loop's wait. A stop wins over a change to the key.
Wake WaitForService(SteadyClock::time_point deadline);

// Watches the key for its next change, a key deleted or created again
// included. Called before each reading of the settings, so that a change
// made while they are read wakes the loop again.
void WatchSettingsKey();
