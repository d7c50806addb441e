// The display functions of ui/display.h for the daemon.
#include "app/linux/journal_display.h"

#include <cstdio>

#include "ui/display.h"

namespace {

EventLines Journal(LogLine);

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
    return Journal.EndPoll();
}
