#include "app/event_lines.h"

namespace {

// Texts a poll passes through on its way; the one it ends on tells the state.
const char* const kPassingStatuses[] = {"Connect", "Printer List", "Query Spool", "Printing"};

constexpr size_t kLineLimit = 1000;

}  // namespace

std::string OneLine(const std::string& text)
{
    std::string line;
    for (char c : text)
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
    writer_(LogLevel::Info, "status: " + pendingStatus_);
}

void EventLines::BeginPoll()
{
    failureReported_ = false;
    repeatedFailure_ = false;
}

bool EventLines::EndPoll()
{
    FlushStatus();
    if (!failureReported_)
        lastFailure_.clear();
    return !failureReported_;
}

void EventLines::Status(const char* text)
{
    FlushStatus();
    pendingStatus_ = text;
    pendingLogged_ = false;
}

void EventLines::Event(const char* text)
{
    // A failure is reported as the status and then as an event with the same
    // text: one error line says it.
    if (!pendingLogged_ && pendingStatus_ == text) {
        pendingLogged_ = true;
        loggedStatus_ = pendingStatus_;
        if (!failureReported_) {
            failureReported_ = true;
            repeatedFailure_ = lastFailure_ == text;
            lastFailure_ = text;
        }
        if (!repeatedFailure_)
            writer_(LogLevel::Error, text);
        return;
    }
    writer_(LogLevel::Info, std::string("event: ") + text);
}
