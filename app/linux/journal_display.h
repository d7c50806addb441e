// The daemon's display: the status text and the event lines go to standard
// error, one line each, with a priority prefix journald understands. Every
// event is logged; a status only once the poll has settled on it and only
// when it differs from the last one logged, so an idle daemon stays quiet.
// A poll's status and failure lines are logged at its end, a failure with
// CUPS's reason when CUPS failed; a poll that fails exactly as the one before
// adds only to a count, told when the failure changes or clears. Failures of
// a poll cut short by a stop are not logged; a job it cut short is, in one
// line.
#pragma once

#include <string>

enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

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
