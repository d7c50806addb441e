// The display functions of ui/display.h for the daemon.
#include "app/linux/journal_display.h"

#include <cstdio>

#include "ui/display.h"

namespace {

// Texts a poll passes through on its way; the one it ends on tells the state.
const char* const kPassingStatuses[] = {"Connect", "Printer List", "Query Spool", "Printing"};

// Longer texts (a whole error response of the server) are cut in the log.
constexpr size_t kLineLimit = 1000;

std::string PendingStatus;
bool PendingLogged = true;
std::string LoggedStatus;
bool FailureReported = false;

void FlushStatus()
{
    if (PendingLogged)
        return;
    PendingLogged = true;
    for (const char* passing : kPassingStatuses)
        if (PendingStatus == passing)
            return;
    if (PendingStatus == LoggedStatus)
        return;
    LoggedStatus = PendingStatus;
    LogLine(LogLevel::Info, "status: " + PendingStatus);
}

}  // namespace

void LogLine(LogLevel level, const std::string& text)
{
    std::string line;
    for (char c : text)
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    if (line.size() > kLineLimit)
        line = line.substr(0, kLineLimit) + "...";
    fprintf(stderr, "<%d>%s\n", static_cast<int>(level), line.c_str());
}

void OnProgress(int32_t, int32_t)
{
}

void OnStatus(const char* text)
{
    FlushStatus();
    PendingStatus = text;
    PendingLogged = false;
}

void OnLog(const char* text)
{
    // A failure is reported as the status and then as an event with the same
    // text: one error line says it.
    if (!PendingLogged && PendingStatus == text) {
        PendingLogged = true;
        LoggedStatus = PendingStatus;
        FailureReported = true;
        LogLine(LogLevel::Error, text);
        return;
    }
    LogLine(LogLevel::Info, std::string("event: ") + text);
}

void ClearLog()
{
    // The journal keeps its lines; there is no list to empty.
}

void BeginPollLog()
{
    FailureReported = false;
}

bool EndPollLog()
{
    FlushStatus();
    return !FailureReported;
}
