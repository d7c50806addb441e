// SIGTERM and SIGINT ask the daemon to stop, SIGHUP to read its settings
// again. The handlers only write to pipes, so the main loop and the waits of
// a running poll notice a request at once, whenever it came.
#pragma once

#include "app/headless_loop.h"

// False when the pipes or the handlers cannot be set up.
bool InstallDaemonSignals();

// Readable from the first stop request on, for good.
int StopDescriptor();

// Waits until the deadline, or less when a stop or reload is requested. A
// stop wins over a reload; a reload request is taken once.
Wake WaitUntil(SteadyClock::time_point deadline);
