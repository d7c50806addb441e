// The daemon's settings: the settings file read into ClientSettings and the
// printers' hide flags, with the Windows program's defaults and rules.
#pragma once

#include <string>

// On failure nothing changes and message says why, naming the file and line.
bool LoadDaemonSettings(const char* path, std::string* message);
