// One daemon per folder of settings files. The lock is an flock on the folder
// that holds the file: an editor that saves by renaming replaces the file,
// never its folder, so the lock outlives every such save. It needs nothing
// but read access to the folder: no writable home, runtime folder or PID
// file, so any user who can read the settings can run the daemon. It is held
// until the process ends and taken by the kernel with it.
#pragma once

#include <string>

// Locks the folder of the file the path names. False, with message saying
// why, when the folder cannot be opened or another process holds it; a lock
// held before stays. Called again (on a reload) it is true at once for the
// folder it holds, and moves the lock when the path names another folder now.
bool LockConfigFolder(const char* path, std::string* message);
