// The process exit codes.
#pragma once

constexpr int kExitNormal = 0;
// A fatal start-up problem, shown to the user in a message box first.
constexpr int kExitStartUpFailure = 100;
// "webprint.exe /quit" (an installer's request): the running client has
// ended, or one is still running; kExitNormal when none was running.
constexpr int kExitQuitClientEnded = 1;
constexpr int kExitQuitClientStillRunning = 2;
// "webprint.exe /service" started other than by the service control manager
// (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT).
constexpr int kExitNotStartedAsService = 1063;
