// What the window would show, as lines of a log: the Linux daemon's journal
// and the Windows service's event log. Every event is a line; a status only
// once the poll has settled on it and only when it differs from the last one
// logged, so an idle poller stays quiet; a failure (a status reported again
// as an event) is one error line, and a poll that fails the same way as the
// one before it logs nothing, until a poll ends otherwise.
#pragma once

#include <string>

// The journal's priorities; the event log has the same three kinds.
enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

// Control characters become blanks and a long text (a whole error response
// of the server) is cut, so a text is always one line of sensible length.
std::string OneLine(const std::string& text);

class EventLines {
public:
    using Writer = void (*)(LogLevel level, const std::string& line);
    explicit EventLines(Writer writer) : writer_(writer) {}

    // Around one tick of the poll timer.
    void BeginPoll();
    // Logs the status the poll ended on when it is new. False when the poll
    // reported a failure.
    bool EndPoll();

    // The display functions' texts.
    void Status(const char* text);
    void Event(const char* text);

private:
    void FlushStatus();

    Writer writer_;
    std::string pendingStatus_;
    bool pendingLogged_ = true;
    std::string loggedStatus_;
    bool failureReported_ = false;
    // The first failure of the last poll that failed, until a poll ends well.
    std::string lastFailure_;
    bool repeatedFailure_ = false;
};
