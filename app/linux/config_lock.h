// One daemon per settings file. The lock is an flock on the file itself, so
// it needs nothing but read access: no writable home, runtime folder or PID
// file. It is held until the process ends and taken by the kernel with it.
#pragma once

#include <string>

// Locks the file the path names. False, with message saying why, when it
// cannot be opened or another process holds it; a lock held before stays.
// Called again (on a reload) it moves the lock to the file the path names
// now, as an editor that saves by renaming leaves a new file there.
bool LockConfigFile(const char* path, std::string* message);
