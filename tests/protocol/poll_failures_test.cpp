// Every way a poll can fail: the spooler calls made first, the text, the
// progress reset, the connection, the event-list flag and the result.
#include "tests/protocol/poll_fixture.h"

#include <algorithm>
#include <functional>

#include "protocol/service_path.h"

namespace {

using EventList = std::vector<DisplayEvent>;
using Names = std::vector<std::string>;
using spooler_double::Call;

struct FailureRow {
    const char* name;
    std::function<void(PollTest*)> arrange;
    bool unreachable;
    Names spoolerCalls;
    std::string text;  // reported through the status and the event list; empty for none
    bool progressReset;
    bool socketClosed;
    bool logClearedAfter;
    bool printedSent;
};

const Names kNoCalls;
const Names kOpen = {"OpenPrinterA"};
const Names kStartDocFails = {"OpenPrinterA", "StartDocPrinterA", "ClosePrinter"};
// Once the document has started, every failure discards it before it ends.
const Names kStartPageFails = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "AbortPrinter",
                               "EndDocPrinter", "ClosePrinter"};
const Names kBlockRequestFails = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "AbortPrinter",
                                  "EndPagePrinter", "EndDocPrinter", "ClosePrinter"};
const Names kWriteFails = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter", "AbortPrinter",
                           "EndPagePrinter", "EndDocPrinter", "ClosePrinter"};
const Names kWholeJob = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter", "EndPagePrinter",
                         "EndDocPrinter", "ClosePrinter"};
const Names kEndPageFails = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter",
                             "EndPagePrinter", "AbortPrinter", "EndDocPrinter", "ClosePrinter"};
const Names kEndDocFails = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter",
                            "EndPagePrinter", "EndDocPrinter", "AbortPrinter", "ClosePrinter"};

void FailSpooler(PollTest*, Call call)
{
    spooler_double::FailCall(call);
}

void AnswerWithError(PollTest* test, const char* function)
{
    test->Script(function, std::vector<ScriptedAnswer>{{ServerError()}});
}

const std::string kPrintlistFailed = "httpRequest \"rmtprt.aspx?func=printlist\" failed";
const std::string kQryspoolFailed = "httpRequest \"rmtprt.aspx?func=qryspool\" failed";

// No candidate path answers a ping, while the server's root answers anything.
void FindNoService(PollTest* test)
{
    ServicePrefix[0] = 0;
    const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 7\r\n\r\nno ping";
    test->Script("ping", std::vector<ScriptedAnswer>{{notFound}});
    test->Script("", "OK\r\n17");
}

// A job for a printer the service may not print on: refused before the
// spooler is asked, like a printer that does not open.
void NameJobPrinter(PollTest* test, const char* printer)
{
    test->Script("qryspool", JobReply("job.spl", "3", "Doc", printer, "5"));
}

std::string NotExposed(const std::string& shownName)
{
    return "OpenPrinter refused: \"" + shownName + "\" is not an exposed printer";
}

const FailureRow kRows[] = {
    {"ConnectFails", nullptr, true, kNoCalls, "connect() failed", true, false, false, false},
    {"DiscoveryFindsNoService", FindNoService, false, kNoCalls, kPrintlistFailed, true, true, false, false},
    {"PrintlistRequestFails", [](PollTest* t) { AnswerWithError(t, "printlist"); }, false, kNoCalls,
     kPrintlistFailed, true, true, false, false},
    {"QryspoolRequestFails", [](PollTest* t) { AnswerWithError(t, "qryspool"); }, false, kNoCalls, kQryspoolFailed,
     true, true, false, false},
    {"NoJobWaiting", [](PollTest* t) { t->Script("qryspool", "EMPTY"); }, false, kNoCalls, "", true, true, true,
     false},
    {"PrinterDoesNotOpen", [](PollTest* t) { FailSpooler(t, Call::OpenPrinter); }, false, kOpen,
     "OpenPrinter failed", true, true, true, false},
    {"PrinterOnAnotherComputer", [](PollTest* t) { NameJobPrinter(t, "\\\\host\\share"); }, false, kNoCalls,
     NotExposed("\\\\host\\share"), true, true, true, false},
    {"PrinterHiddenSinceTheRegistration", [](PollTest*) { inventory_double::SetFlag("Printer:Office Laser", 1); },
     false, kNoCalls, NotExposed("Office Laser"), true, true, true, false},
    {"DocumentDoesNotStart", [](PollTest* t) { FailSpooler(t, Call::StartDocPrinter); }, false, kStartDocFails,
     "StartDocPrinter failed", true, true, true, false},
    {"PageDoesNotStart", [](PollTest* t) { FailSpooler(t, Call::StartPagePrinter); }, false, kStartPageFails,
     "StartPagePrinter failed", true, true, true, false},
    {"BlockRequestFails", [](PollTest* t) { AnswerWithError(t, "spooldata"); }, false, kBlockRequestFails,
     "httpRequest failed", true, true, true, false},
    {"BlockWriteFails", [](PollTest* t) { FailSpooler(t, Call::WritePrinter); }, false, kWriteFails,
     "WritePrinter failed", true, true, true, false},
    {"BlockWrittenShort", [](PollTest*) { spooler_double::ShortenWrite(1, 1); }, false, kWriteFails,
     "Invalid size writen", true, true, true, false},
    {"PageDoesNotEnd", [](PollTest* t) { FailSpooler(t, Call::EndPagePrinter); }, false, kEndPageFails,
     "EndPagePrinter failed", true, true, true, false},
    {"DocumentDoesNotEnd", [](PollTest* t) { FailSpooler(t, Call::EndDocPrinter); }, false, kEndDocFails,
     "EndDocPrinter failed", true, true, true, false},
    {"PrintedRequestFails", [](PollTest* t) { AnswerWithError(t, "printed"); }, false, kWholeJob,
     "httpRequest failed", false, false, true, true},
};

void PrintTo(const FailureRow& row, std::ostream* out)
{
    *out << row.name;
}

class PollFailureTest : public PollTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(PollFailureTest, EndsThePollAsTabulated)
{
    const FailureRow& row = GetParam();
    // A poll that emptied the event list, and a registration due again, so
    // every step of the next poll runs.
    Poll();
    ASSERT_TRUE(LogCleared);
    RegistrationCountdown = 0;
    Script("qryspool", JobReply("job.spl", "3", "Doc", "Office Laser", "5"));
    Script("spooldata", "abc");
    spooler_double::Reset();
    if (row.arrange)
        row.arrange(this);
    NewEvents();
    size_t printedBefore = RequestsFor("printed").size();

    int result = row.unreachable ? PollUnreachable() : Poll();

    EXPECT_EQ(result, 1);
    EXPECT_EQ(spooler_double::CallNames(), row.spoolerCalls);
    EventList events = NewEvents();
    if (row.text.empty()) {
        EXPECT_EQ(EventList(events.end() - 2, events.end()),
                  (EventList{ProgressEvent(0, 0), StatusEvent("Empty queue")}));
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const DisplayEvent& e) { return e.kind == DisplayEvent::Log; }),
                  0);
    } else if (row.progressReset) {
        EXPECT_EQ(EventList(events.end() - 3, events.end()),
                  (EventList{StatusEvent(row.text), LogEvent(row.text), ProgressEvent(0, 0)}));
    } else {
        EXPECT_EQ(EventList(events.end() - 2, events.end()), (EventList{StatusEvent(row.text), LogEvent(row.text)}));
        EXPECT_EQ(std::count(events.begin(), events.end(), ProgressEvent(0, 0)), 0);
    }
    EXPECT_EQ(client_->Socket == kNoSocket, row.socketClosed);
    EXPECT_EQ(LogCleared, row.logClearedAfter);
    EXPECT_TRUE(KeepAlive) << "every failure here is the service's answer, not a broken connection";
    EXPECT_TRUE(RequestsFor("").empty()) << "a request without its service path is never sent";
    EXPECT_EQ(RequestsFor("printed").size(), printedBefore + (row.printedSent ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Rows, PollFailureTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

}  // namespace
