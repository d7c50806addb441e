// The display as log lines, for the daemon's journal and the service's event
// log: what a run of polls writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/event_lines.h"

namespace {

std::vector<std::string> Written;
std::string NotedReason;

void Record(LogLevel level, const std::string& line)
{
    Written.push_back(std::to_string(static_cast<int>(level)) + " " + line);
}

// As CUPS's reason: noted by the platform, given once.
std::string TakeReason()
{
    std::string reason;
    reason.swap(NotedReason);
    return reason;
}

// One poll: "s:TEXT" a status, "e:TEXT" an event, "f:TEXT" a failure (the
// status, then the same text as an event, as ReportError does), "r:TEXT" a
// reason the platform notes; cut short by a stop when stopped.
struct Poll {
    std::vector<std::string> calls;
    bool stopped = false;
};

struct LinesCase {
    const char* name;
    std::vector<Poll> polls;
    // Up to the poller's end.
    std::vector<std::string> lines;
};

class Lines : public testing::TestWithParam<LinesCase> {};

TEST_P(Lines, AreWrittenAsTheRowSays)
{
    Written.clear();
    NotedReason.clear();
    EventLines lines(Record, TakeReason);
    for (const Poll& poll : GetParam().polls) {
        lines.BeginPoll();
        for (const std::string& call : poll.calls) {
            const std::string text = call.substr(2);
            if (call[0] == 'r') {
                NotedReason = text;
                continue;
            }
            if (call[0] != 'e')
                lines.Status(text.c_str());
            if (call[0] != 's')
                lines.Event(text.c_str());
        }
        lines.EndPoll(poll.stopped);
        if (lines.EndedInAJob())
            Written.push_back("(ended in a job)");
    }
    lines.End();
    EXPECT_EQ(Written, GetParam().lines);
}

const Poll kEmpty = {{"s:Connect", "s:Query Spool", "s:Empty queue"}};
const Poll kRefused = {{"s:Connect", "f:connect() failed"}};
const Poll kNoPrinter = {{"s:Connect", "s:Query Spool", "f:OpenPrinter failed"}};
const Poll kPrinted = {{"s:Printing", "e:Doc", "s:Printing complete"}};
// An error reply: its head is the failure's text, whose date changes from
// poll to poll.
const Poll kErrorReply = {{"s:Connect", "f:HTTP/1.1 500 Internal Server Error\r\nDate: Tue 09:00:01\r\n\r\n"}};
const Poll kErrorReplyLater = {{"s:Connect", "f:HTTP/1.1 500 Internal Server Error\r\nDate: Tue 09:00:02\r\n\r\n"}};

INSTANTIATE_TEST_SUITE_P(
    Polls, Lines,
    testing::Values(
        LinesCase{"AnIdlePollerWritesItsStatusOnce", {kEmpty, kEmpty, kEmpty}, {"6 status: Empty queue"}},
        LinesCase{"AFailureRepeatedIsWrittenOnceThenCountedUntilAPollEndsOtherwise",
                  {kRefused, kRefused, kRefused, kEmpty, kRefused},
                  {"3 connect() failed", "6 the failure above came again in 2 more polls, then cleared",
                   "6 status: Empty queue", "3 connect() failed"}},
        LinesCase{"AnotherFailureIsWrittenAtOnceAfterTheCountOfTheOneBefore",
                  {kRefused, kNoPrinter, kNoPrinter, kRefused},
                  {"3 connect() failed", "3 OpenPrinter failed", "6 the failure above came again in 1 more poll",
                   "3 connect() failed"}},
        LinesCase{"EventsAreWrittenEveryTimeAndAtOnceTheStatusAtThePollsEnd",
                  {kPrinted, kPrinted},
                  {"6 event: Doc", "6 status: Printing complete", "6 event: Doc"}},
        LinesCase{"EveryFailureLineOfAPollIsWrittenAndWhenItRepeatsItsCountAtTheEnd",
                  {{{"f:select() failed in SocketReceive", "f:httpRequest failed"}},
                   {{"f:select() failed in SocketReceive", "f:httpRequest failed"}}},
                  {"3 select() failed in SocketReceive", "3 httpRequest failed",
                   "6 the failure above came again in 1 more poll until the stop"}},
        LinesCase{"AnErrorReplyIsWrittenAsItsStatusLineSoItsRepeatsAreCounted",
                  {kErrorReply, kErrorReplyLater, kErrorReply},
                  {"3 HTTP/1.1 500 Internal Server Error",
                   "6 the failure above came again in 2 more polls until the stop"}},
        // A reason noted after a poll's failure (by its clean-up) is stale at
        // the next poll.
        LinesCase{"AFailureCarriesThePlatformsReasonAndAnotherReasonIsAnotherFailure",
                  {{{"s:Query Spool", "r:printer \"A\": no such queue", "f:OpenPrinter failed"}},
                   {{"s:Query Spool", "r:CUPS is down", "f:OpenPrinter failed", "r:clean-up failed"}},
                   kNoPrinter},
                  {"3 OpenPrinter failed (printer \"A\": no such queue)", "3 OpenPrinter failed (CUPS is down)",
                   "3 OpenPrinter failed"}},
        LinesCase{"APollCutShortByAStopWritesNoStatusOrFailureButTheCountSoFar",
                  {kRefused, kRefused, {{"s:Connect", "s:Query Spool", "s:Printing", "f:write() failed"}, true}},
                  {"3 connect() failed", "(ended in a job)",
                   "6 the failure above came again in 1 more poll until the stop"}}),
    [](const testing::TestParamInfo<LinesCase>& info) { return info.param.name; });

TEST(OneLine, KeepsTheFirstLineWithControlCharactersAsBlanksAndCutsLongTexts)
{
    EXPECT_EQ(OneLine("Partner program has issued a closesocket()\n"), "Partner program has issued a closesocket()");
    EXPECT_EQ(OneLine("\r\na\tb\x7f\r\nDate: today"), "a b");
    EXPECT_EQ(OneLine(std::string(1200, 'x')), std::string(1000, 'x') + "...");
}

}  // namespace
