// The display functions of ui/display.h for the daemon.
#include "app/linux/journal_display.h"

#include <cstdio>
#include <vector>

#include "protocol/cups/cups_scheduler.h"
#include "transport/socket_shim.h"
#include "ui/display.h"

namespace {

// Texts a poll passes through on its way; the one it ends on tells the state.
const char* const kPassingStatuses[] = {"Connect", "Printer List", "Query Spool", "Printing"};

// Longer texts are cut in the log.
constexpr size_t kLineLimit = 1000;

// The first line only (an error reply's status line, not its whole head, whose
// date changes from poll to poll), control characters as blanks, cut short.
std::string OneLine(const std::string& text)
{
    const size_t start = text.find_first_not_of("\r\n");
    const size_t end = start == std::string::npos ? start : text.find_first_of("\r\n", start);
    std::string line;
    for (char c : start == std::string::npos ? std::string() : text.substr(start, end - start))
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    if (line.size() > kLineLimit)
        line = line.substr(0, kLineLimit) + "...";
    return line;
}

std::string PendingStatus;
bool PendingLogged = true;
std::string LoggedStatus;
bool FailureReported = false;
bool JobPrinting = false;

struct Line {
    LogLevel level;
    std::string text;
    bool operator==(const Line& other) const { return level == other.level && text == other.text; }
};
// The status and failure lines of the running poll, logged at its end; those
// of the last failed poll logged, and how many polls have ended on them again.
std::vector<Line> PollLines;
std::vector<Line> LoggedFailure;
int LoggedFailureRepeats = 0;

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
    PollLines.push_back({LogLevel::Info, OneLine("status: " + PendingStatus)});
}

void LogRepeats(const char* until)
{
    if (LoggedFailureRepeats > 0)
        LogLine(LogLevel::Info, "the failure above came again in " + std::to_string(LoggedFailureRepeats) +
                                    (LoggedFailureRepeats == 1 ? " more poll" : " more polls") + until);
    LoggedFailureRepeats = 0;
}

// A poll that fails as the one before it adds nothing to the log but the
// count, told once the failure changes or clears.
void LogPollLines()
{
    if (FailureReported && PollLines == LoggedFailure) {
        ++LoggedFailureRepeats;
        return;
    }
    LogRepeats(FailureReported ? "" : ", then cleared");
    for (const Line& line : PollLines)
        LogLine(line.level, line.text);
    LoggedFailure = FailureReported ? PollLines : std::vector<Line>();
}

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
    FlushStatus();
    PendingStatus = text;
    PendingLogged = false;
    if (PendingStatus == "Printing")
        JobPrinting = true;
    else if (PendingStatus == "Printing complete")
        JobPrinting = false;
}

void OnLog(const char* text)
{
    // A failure is reported as the status and then as an event with the same
    // text: one error line says it, with CUPS's reason when CUPS failed.
    if (!PendingLogged && PendingStatus == text) {
        PendingLogged = true;
        LoggedStatus = PendingStatus;
        FailureReported = true;
        const std::string reason = TakeCupsFailure();
        PollLines.push_back({LogLevel::Error, OneLine(PendingStatus) + (reason.empty() ? "" : " (" + reason + ")")});
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
    JobPrinting = false;
    PollLines.clear();
    // A reason from before the poll (reading the printers at start) is stale.
    TakeCupsFailure();
}

bool EndPollLog()
{
    FlushStatus();
    // What a stop cut short fails as a matter of course: one line says so.
    if (!StopRequested())
        LogPollLines();
    else if (JobPrinting)
        LogLine(LogLevel::Warning,
                "stopped during a job: nothing of it prints, and it is not acknowledged (the service hands it out "
                "again)");
    PollLines.clear();
    return !FailureReported;
}

void EndLog()
{
    LogRepeats(" until the stop");
}
