// "webprint.exe /service": the client as the Windows service "webprint",
// started by the service control manager, with no window and no tray icon.
// It runs the window's poll timer in the Linux daemon's headless loop: the
// same settings key, transport, poll and spooler; what the window would show
// goes to the event log.
#pragma once

bool IsServiceRequest(const char* commandLine);

// Runs the service until it is stopped; the process exit code. Started from
// a command line, it says how to install the service instead.
int RunService();
