// The display functions of ui/display.h for the daemon.
#include "app/linux/journal_display.h"

#include <cstdio>

#include "protocol/cups/cups_scheduler.h"
#include "transport/socket_shim.h"
#include "ui/display.h"

namespace {

EventLines Journal(LogLine, TakeCupsFailure);

}  // namespace

void LogLine(LogLevel level, const std::string& text)
{
    fprintf(stderr, "<%d>%s\n", static_cast<int>(level), OneLine(text).c_str());
}

void OnProgress(int32_t, int32_t)
{
}

void OnStatus(const char* text)
{
    Journal.Status(text);
}

void OnLog(const char* text)
{
    Journal.Event(text);
}

void ClearLog()
{
    // The journal keeps its lines; there is no list to empty.
}

void BeginPollLog()
{
    Journal.BeginPoll();
}

bool EndPollLog()
{
    // What a stop cut short fails as a matter of course: one line says so.
    const bool stopped = StopRequested();
    const bool endedWell = Journal.EndPoll(stopped);
    if (stopped && Journal.EndedInAJob())
        LogLine(LogLevel::Warning,
                "stopped during a job: nothing of it prints, and it is not acknowledged (the service hands it out "
                "again)");
    return endedWell;
}

void EndLog()
{
    Journal.End();
}
