// The daemon's display: the status text and the event lines go to standard
// error, one line each, with a priority prefix journald understands. Every
// event is logged; a status only once the poll has settled on it and only
// when it differs from the last one logged, so an idle daemon stays quiet.
#pragma once

#include <string>

enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

// Control characters become blanks, so a text is always one line.
void LogLine(LogLevel level, const std::string& text);

// Around one tick of the poll timer.
void BeginPollLog();
// Logs the status the poll ended on when it is new. False when the poll
// reported a failure.
bool EndPollLog();
