// The display as log lines, for the daemon's journal and the service's event
// log: what a run of polls writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/event_lines.h"

namespace {

std::vector<std::string> Written;

void Record(LogLevel level, const std::string& line)
{
    Written.push_back(std::to_string(static_cast<int>(level)) + " " + line);
}

// One poll: "s:TEXT" a status, "e:TEXT" an event, "f:TEXT" a failure (the
// status, then the same text as an event, as ReportError does).
struct Poll {
    std::vector<std::string> calls;
};

struct LinesCase {
    const char* name;
    std::vector<Poll> polls;
    std::vector<std::string> lines;
};

class Lines : public testing::TestWithParam<LinesCase> {};

TEST_P(Lines, AreWrittenAsTheRowSays)
{
    Written.clear();
    EventLines lines(Record);
    for (const Poll& poll : GetParam().polls) {
        lines.BeginPoll();
        for (const std::string& call : poll.calls) {
            const std::string text = call.substr(2);
            if (call[0] != 'e')
                lines.Status(text.c_str());
            if (call[0] != 's')
                lines.Event(text.c_str());
        }
        lines.EndPoll();
    }
    EXPECT_EQ(Written, GetParam().lines);
}

const Poll kEmpty = {{"s:Connect", "s:Query Spool", "s:Empty queue"}};
const Poll kRefused = {{"s:Connect", "f:connect() failed"}};
const Poll kNoPrinter = {{"s:Connect", "s:Query Spool", "f:OpenPrinter failed"}};

INSTANTIATE_TEST_SUITE_P(
    Polls, Lines,
    testing::Values(
        LinesCase{"AnIdlePollerWritesItsStatusOnce", {kEmpty, kEmpty, kEmpty}, {"6 status: Empty queue"}},
        LinesCase{"AFailureRepeatedIsWrittenOnceUntilAPollEndsOtherwise",
                  {kRefused, kRefused, kRefused, kEmpty, kRefused},
                  {"3 connect() failed", "6 status: Empty queue", "3 connect() failed"}},
        LinesCase{"AnotherFailureIsWrittenAtOnce",
                  {kRefused, kNoPrinter, kNoPrinter, kRefused},
                  {"3 connect() failed", "3 OpenPrinter failed", "3 connect() failed"}},
        LinesCase{"EventsAreWrittenEveryTime",
                  {{{"s:Printing", "e:Doc", "s:Printing complete"}}, {{"s:Printing", "e:Doc", "s:Printing complete"}}},
                  {"6 event: Doc", "6 status: Printing complete", "6 event: Doc"}},
        LinesCase{"EveryFailureLineOfAPollIsWrittenAndNoneWhenItRepeats",
                  {{{"f:select() failed in SocketReceive", "f:httpRequest failed"}},
                   {{"f:select() failed in SocketReceive", "f:httpRequest failed"}}},
                  {"3 select() failed in SocketReceive", "3 httpRequest failed"}}),
    [](const testing::TestParamInfo<LinesCase>& info) { return info.param.name; });

TEST(OneLine, TurnsControlCharactersToBlanksAndCutsLongTexts)
{
    EXPECT_EQ(OneLine("Partner program has issued a closesocket()\n"), "Partner program has issued a closesocket()");
    EXPECT_EQ(OneLine("a\r\nb\tc"), "a  b c");
    EXPECT_EQ(OneLine(std::string(1200, 'x')), std::string(1000, 'x') + "...");
}

}  // namespace
