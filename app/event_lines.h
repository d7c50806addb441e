// What the window would show, as lines of a log: the Linux daemon's journal
// and the Windows service's event log. Every event is a line at once. A
// poll's status and failure lines are written at its end: a status only once
// the poll has settled on it and only when it differs from the last one
// written, so an idle poller stays quiet; a failure (a status reported again
// as an event) as one error line. A poll that ends on exactly the lines of
// the failed poll before it adds only to a count, written when the failure
// changes or clears, or the poller ends. A poll cut short by a stop failed of
// the stop's making: its status and failure lines are left out.
#pragma once

#include <string>
#include <vector>

// The journal's priorities; the event log has the same three kinds.
enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

// The text's first line only (an error reply's status line, not its whole
// head, whose date changes from poll to poll), control characters as blanks,
// a long line cut, so a text is always one line of sensible length.
std::string OneLine(const std::string& text);

class EventLines {
public:
    using Writer = void (*)(LogLevel level, const std::string& line);
    // Why the failure just reported happened, where the platform knows more
    // than the failure's text (CUPS's reason); empty when it does not. Each
    // reason is given once.
    using FailureReason = std::string (*)();
    explicit EventLines(Writer writer, FailureReason reason = nullptr) : writer_(writer), reason_(reason) {}

    // Around one tick of the poll timer. EndPoll is false when the poll
    // reported a failure.
    void BeginPoll();
    bool EndPoll(bool cutShortByStop);
    // Whether the last poll ended in the middle of a job.
    bool EndedInAJob() const { return jobPrinting_; }
    // Before the poller ends: the count of a repeated failure not written yet.
    void End();

    // The display functions' texts.
    void Status(const char* text);
    void Event(const char* text);

private:
    struct Line {
        LogLevel level;
        std::string text;
        bool operator==(const Line& other) const { return level == other.level && text == other.text; }
    };

    void FlushStatus();
    void WritePollLines();
    void WriteRepeats(const char* until);

    Writer writer_;
    FailureReason reason_;
    std::string pendingStatus_;
    bool pendingLogged_ = true;
    std::string loggedStatus_;
    bool failureReported_ = false;
    bool jobPrinting_ = false;
    // The status and failure lines of the running poll; those of the last
    // failed poll written, and how many polls have ended on them again since.
    std::vector<Line> pollLines_;
    std::vector<Line> writtenFailure_;
    int repeats_ = 0;
};
