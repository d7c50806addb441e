// The Windows event log: lines of the service's events under the source
// "webprint" in the Application log, each as information, a warning or an
// error. The installers register the source with this program's message
// table, so the event viewer shows each line as it was written.
#pragma once

#include <string>

#include "app/event_lines.h"

void WriteEvent(LogLevel level, const std::string& text);
