// The daemon's settings: the settings file read into ClientSettings and the
// printers' hide flags, with the Windows program's defaults and rules.
#pragma once

#include <string>

// On failure nothing changes and message says why, naming the file and line.
// A good load that changes what the service knows of this computer (server,
// port, TLS, computer name or hidden printers) drops the computer token, so
// the next poll registers afresh and never queries with the old name; after
// a change of server the service path is found again too. registersAgain
// tells whether that happened.
bool LoadDaemonSettings(const char* path, std::string* message, bool* registersAgain);
