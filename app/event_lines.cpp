#include "app/event_lines.h"

namespace {

// Texts a poll passes through on its way; the one it ends on tells the state.
const char* const kPassingStatuses[] = {"Connect", "Printer List", "Query Spool", "Printing"};

constexpr size_t kLineLimit = 1000;

}  // namespace

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

void EventLines::FlushStatus()
{
    if (pendingLogged_)
        return;
    pendingLogged_ = true;
    for (const char* passing : kPassingStatuses)
        if (pendingStatus_ == passing)
            return;
    if (pendingStatus_ == loggedStatus_)
        return;
    loggedStatus_ = pendingStatus_;
    pollLines_.push_back({LogLevel::Info, OneLine("status: " + pendingStatus_)});
}

void EventLines::WriteRepeats(const char* until)
{
    if (repeats_ > 0)
        writer_(LogLevel::Info, "the failure above came again in " + std::to_string(repeats_) +
                                    (repeats_ == 1 ? " more poll" : " more polls") + until);
    repeats_ = 0;
}

void EventLines::WritePollLines()
{
    if (failureReported_ && pollLines_ == writtenFailure_) {
        ++repeats_;
        return;
    }
    WriteRepeats(failureReported_ ? "" : ", then cleared");
    for (const Line& line : pollLines_)
        writer_(line.level, line.text);
    writtenFailure_ = failureReported_ ? pollLines_ : std::vector<Line>();
}

void EventLines::BeginPoll()
{
    failureReported_ = false;
    jobPrinting_ = false;
    pollLines_.clear();
    // A reason noted outside a poll belongs to none: it is stale.
    if (reason_ != nullptr)
        reason_();
}

bool EventLines::EndPoll(bool cutShortByStop)
{
    FlushStatus();
    if (!cutShortByStop)
        WritePollLines();
    pollLines_.clear();
    return !failureReported_;
}

void EventLines::End()
{
    WriteRepeats(" until the stop");
}

void EventLines::Status(const char* text)
{
    FlushStatus();
    pendingStatus_ = text;
    pendingLogged_ = false;
    if (pendingStatus_ == "Printing")
        jobPrinting_ = true;
    else if (pendingStatus_ == "Printing complete")
        jobPrinting_ = false;
}

void EventLines::Event(const char* text)
{
    // A failure is reported as the status and then as an event with the same
    // text: one error line says it, with the platform's reason when it has one.
    if (!pendingLogged_ && pendingStatus_ == text) {
        pendingLogged_ = true;
        loggedStatus_ = pendingStatus_;
        failureReported_ = true;
        const std::string reason = reason_ != nullptr ? reason_() : std::string();
        pollLines_.push_back({LogLevel::Error, OneLine(pendingStatus_) + (reason.empty() ? "" : " (" + reason + ")")});
        return;
    }
    writer_(LogLevel::Info, std::string("event: ") + text);
}
