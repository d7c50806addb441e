// The daemon's display: the status text and the event lines go to standard
// error, one line each (app/event_lines.h), with a priority prefix journald
// understands. A failure line carries CUPS's reason when CUPS failed; a job
// that a stop cut short is told in one line.
#pragma once

#include <string>

#include "app/event_lines.h"

// Only the text's first line is logged; control characters in it become
// blanks.
void LogLine(LogLevel level, const std::string& text);

// Around one tick of the poll timer.
void BeginPollLog();
// Logs the status the poll ended on when it is new. False when the poll
// reported a failure.
bool EndPollLog();
// Before the daemon ends: tells a count of repeated failures not told yet.
void EndLog();
