// The daemon's display: the status text and the event lines go to standard
// error, one line each (app/event_lines.h), with a priority prefix journald
// understands.
#pragma once

#include <string>

#include "app/event_lines.h"

void LogLine(LogLevel level, const std::string& text);

// Around one tick of the poll timer.
void BeginPollLog();
// Logs the status the poll ended on when it is new. False when the poll
// reported a failure.
bool EndPollLog();
