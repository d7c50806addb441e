// "webprint.exe /quit": an installer asks the client of its session to end
// before it replaces or removes the program file, and learns from the exit
// code whether the client is gone.
#pragma once

#include <windows.h>

enum class QuitOutcome {
    kNoneRunning,   // no client was running in this session
    kEnded,         // a running client was asked to exit and has ended
    kStillRunning,  // a client did not end in time, or could not be asked
};

// True when the command line is exactly "/quit" (any case, blanks around it).
bool IsQuitRequest(const char* commandLine);

// Asks each client window of this session to exit, as the tray menu's "Exit"
// does, and waits for its process to end, for at most waitMilliseconds in all.
QuitOutcome QuitRunningClient(DWORD waitMilliseconds);

// Runs the quit request of "/quit" with an installer's patience (an older
// client's poll may hold it a while) and gives the process exit code:
// kExitNormal when none was running, kExitQuitClientEnded or
// kExitQuitClientStillRunning.
int RunQuitRequest();
