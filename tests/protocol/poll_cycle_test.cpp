// The poll's course when the service works: the displayed sequence, the
// registration cadence, the spool query and the block-by-block job.
#include "tests/protocol/poll_fixture.h"

#include <algorithm>
#include <set>

namespace {

using EventList = std::vector<DisplayEvent>;
using Names = std::vector<std::string>;

// Data with every byte value, so the complement is seen on each of them.
std::string JobData(size_t size)
{
    std::string data(size, 0);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return data;
}

TEST_F(PollTest, FirstPollRegistersQueriesAndEmptiesTheEventList)
{
    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(Events(), (EventList{ProgressEvent(1, 10), StatusEvent("Connect"), ProgressEvent(2, 10),
                                StatusEvent("Printer List"), ProgressEvent(3, 10), StatusEvent("Query Spool"),
                                ProgressEvent(4, 10), ClearLogEvent(), ProgressEvent(0, 0),
                                StatusEvent("Empty queue")}));
    ASSERT_EQ(RequestsFor("printlist").size(), 1u);
    EXPECT_EQ(RequestsFor("printlist")[0].body,
              "<list cpu='PC01' user='JSMITH'>\r\n <printer name='Office Laser' hide='0'/>\r\n</list>");
    EXPECT_NE(RequestsFor("printlist")[0].head.find("\r\nContent-Type: application/xml"), std::string::npos);
    ASSERT_EQ(RequestsFor("qryspool").size(), 1u);
    EXPECT_EQ(RequestsFor("qryspool")[0].body, "<qryspool cputok='17'/>");
    EXPECT_EQ(ComputerToken, 17);
    EXPECT_TRUE(LogCleared);
    EXPECT_EQ(client_->Socket, kNoSocket);
    EXPECT_TRUE(spooler_double::Calls().empty());
}

TEST_F(PollTest, NextPollOnlyQueriesAndLeavesTheEventList)
{
    Poll();
    NewEvents();

    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(NewEvents(), (EventList{ProgressEvent(1, 10), StatusEvent("Connect"), ProgressEvent(2, 10),
                                   StatusEvent("Query Spool"), ProgressEvent(4, 10), ProgressEvent(0, 0),
                                   StatusEvent("Empty queue")}));
    EXPECT_EQ(RequestsFor("printlist").size(), 1u);
    EXPECT_EQ(RequestsFor("ping").size(), 1u) << "the service path is found once";
    EXPECT_EQ(RequestsFor("qryspool").size(), 2u);
}

// The fixture's usual read time-out is 200 ms; LongPoll 1 gives the query
// 1200 ms and every other request still 200.
TEST_F(PollTest, WithLongPollTheQueryAsksTheServiceToHoldItAndWaitsThatMuchLongerForItsAnswerOnly)
{
    struct Case {
        const char* what;
        int32_t longPoll;
        const char* heldFunction;
        int holdMilliseconds;  // -1: never answered
        PollEnd::How how;
    };
    const Case cases[] = {
        {"held past the usual time-out", 1, "qryspool", 400, PollEnd::EmptyQueue},
        {"held past LongPoll and the usual time-out", 1, "qryspool", -1, PollEnd::Failed},
        {"held without LongPoll", 0, "qryspool", 400, PollEnd::Failed},
        {"a block held with LongPoll", 1, "spooldata", 400, PollEnd::Failed},
    };
    for (const Case& c : cases) {
        SetUp();
        longPoll = c.longPoll;
        Script("qryspool", JobReply("f", "3", "Doc", "Office Laser", "4"));
        Script("spooldata", Complement("abc"));
        ScriptedAnswer held;
        if (c.holdMilliseconds >= 0)
            held.bytes = OkResponse(c.heldFunction == std::string("qryspool") ? "EMPTY" : Complement("abc"));
        held.holdMilliseconds = c.holdMilliseconds;
        held.stall = c.holdMilliseconds < 0;
        Script(c.heldFunction, {held});

        Poll();

        SCOPED_TRACE(c.what);
        ASSERT_EQ(RequestsFor("qryspool").size(), 1u);
        EXPECT_EQ(RequestsFor("qryspool")[0].body,
                  c.longPoll > 0 ? "<qryspool cputok='17' wait='1'/>" : "<qryspool cputok='17'/>");
        EXPECT_EQ(outcome.how, c.how);
        if (c.how == PollEnd::EmptyQueue) {
            EXPECT_GE(outcome.emptyReplyMilliseconds, c.holdMilliseconds);
        }
        const std::vector<DisplayEvent> events = Events();
        EXPECT_EQ(std::count(events.begin(), events.end(),
                             StatusEvent("Read socket timeout, server is maybe not active")),
                  c.how == PollEnd::Failed ? 1 : 0);
        EXPECT_EQ(client_->HeldReplyMilliseconds, 0) << "only the query waits longer";
        server_.reset();
    }
}

TEST_F(PollTest, AllRequestsOfAPollShareOneConnectionWhileKeptAlive)
{
    Script("qryspool", JobReply("f", "3", "Doc", "Office Laser", "9"));
    ServeBlocks("abc", {3});
    Poll();
    std::vector<ScriptedRequest> requests = server_->Requests();
    ASSERT_EQ(requests.size(), 5u);
    for (const ScriptedRequest& request : requests)
        EXPECT_EQ(request.connection, 1);
    EXPECT_EQ(server_->Connections(), 1);
}

TEST_F(PollTest, RegistersOnTheFirstTwelfthAndTwentyThirdConnectedPoll)
{
    std::vector<int> registeringPolls;
    for (int poll = 1; poll <= 23; ++poll) {
        size_t before = RequestsFor("printlist").size();
        Poll();
        if (RequestsFor("printlist").size() > before)
            registeringPolls.push_back(poll);
        if (poll == 5) {
            // A poll that cannot connect does not count.
            int32_t countdown = RegistrationCountdown;
            EXPECT_EQ(PollUnreachable(), 1);
            EXPECT_EQ(RegistrationCountdown, countdown);
        }
    }
    EXPECT_EQ(registeringPolls, (std::vector<int>{1, 12, 23}));
}

TEST_F(PollTest, AFailedRegistrationWithoutATokenRegistersAgainOnTheNextPoll)
{
    Script("printlist", std::vector<ScriptedAnswer>{{ServerError()}, {OkResponse("OK\r\n23")}});

    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(ComputerToken, -1);
    EXPECT_EQ(RegistrationCountdown, 10);
    EXPECT_TRUE(RequestsFor("qryspool").empty());

    Poll();
    EXPECT_EQ(RequestsFor("printlist").size(), 2u);
    EXPECT_EQ(ComputerToken, 23);

    Poll();
    EXPECT_EQ(RequestsFor("printlist").size(), 2u);
    EXPECT_EQ(RequestsFor("qryspool").back().body, "<qryspool cputok='23'/>");
}

TEST_F(PollTest, AFailedRegistrationWithATokenWaitsItsTurn)
{
    Poll();
    RegistrationCountdown = 0;
    Script("printlist", std::vector<ScriptedAnswer>{{ServerError()}});
    Poll();
    EXPECT_EQ(RequestsFor("printlist").size(), 2u);
    EXPECT_EQ(ComputerToken, 17) << "the old token is kept";
    Poll();
    EXPECT_EQ(RequestsFor("printlist").size(), 2u);
    EXPECT_EQ(RequestsFor("qryspool").back().body, "<qryspool cputok='17'/>");
}

TEST_F(PollTest, PrintsAJobInBlocksAndAcknowledgesIt)
{
    const std::string data = JobData(10000);
    Script("qryspool", JobReply("job7.spl", "10000", "Report", "Office Laser", "42"));
    ServeBlocks(data, {4096, 4096, 1808});

    EXPECT_EQ(Poll(), 0);

    std::vector<ScriptedRequest> blocks = RequestsFor("spooldata");
    ASSERT_EQ(blocks.size(), 3u);
    const std::string tail = "' blocksize='4096' encode='Ab3$Cd4%Ef5&Gh6'' />";
    EXPECT_EQ(blocks[0].body, "<spooldata file='job7.spl' offset='0" + tail);
    EXPECT_EQ(blocks[1].body, "<spooldata file='job7.spl' offset='4096" + tail);
    EXPECT_EQ(blocks[2].body, "<spooldata file='job7.spl' offset='8192" + tail);
    ASSERT_EQ(RequestsFor("printed").size(), 1u);
    EXPECT_EQ(RequestsFor("printed")[0].body, "<printed id='42'/>");

    EXPECT_EQ(spooler_double::CallNames(),
              (Names{"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter", "WritePrinter",
                     "WritePrinter", "EndPagePrinter", "EndDocPrinter", "ClosePrinter"}));
    const spooler_double::Record& open = spooler_double::Calls()[0];
    EXPECT_EQ(open.printerName, "Office Laser");
    const spooler_double::Record& start = spooler_double::Calls()[1];
    EXPECT_EQ(start.level, 1u);
    EXPECT_EQ(start.docName, "Report");
    EXPECT_FALSE(start.outputFileGiven);
    EXPECT_EQ(start.datatype, "RAW");
    for (const spooler_double::Record& call : spooler_double::Calls())
        EXPECT_EQ(call.handle, spooler_double::OpenedHandle());
    EXPECT_EQ(spooler_double::WrittenBytes(), data);

    EXPECT_EQ(Events(), (EventList{ProgressEvent(1, 10), StatusEvent("Connect"), ProgressEvent(2, 10),
                                StatusEvent("Printer List"), ProgressEvent(3, 10), StatusEvent("Query Spool"),
                                ProgressEvent(4, 10), ClearLogEvent(), ProgressEvent(5, 10), LogEvent("Report"),
                                ProgressEvent(0, 10000), StatusEvent("Printing"), ProgressEvent(4096, 10000),
                                ProgressEvent(8192, 10000), ProgressEvent(10000, 10000),
                                StatusEvent("Printing complete")}));
    EXPECT_EQ(client_->Socket, kNoSocket);
}

TEST_F(PollTest, TheDocumentNameIsLoggedBeforeTheDocumentStarts)
{
    Script("qryspool", JobReply("f", "0", "Quarterly", "Office Laser", "1"));
    display_recorder::SetHook([](const DisplayEvent& event) {
        if (event.kind == DisplayEvent::Log) {
            EXPECT_EQ(spooler_double::CallNames(), Names{"OpenPrinterA"});
        }
    });
    EXPECT_EQ(Poll(), 0);
}

TEST_F(PollTest, EveryByteOfABlockIsComplemented)
{
    Script("qryspool", JobReply("f", "3", "Doc", "Office Laser", "1"));
    Script("spooldata", std::string("\x00\xFF\x5A", 3));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(spooler_double::WrittenBytes(), std::string("\xFF\x00\xA5", 3));
}

TEST_F(PollTest, StopsAfterTheBlockThatPassesTheSize)
{
    const std::string data = JobData(8192);
    Script("qryspool", JobReply("f", "5000", "Doc", "Office Laser", "1"));
    ServeBlocks(data, {4096, 4096});

    EXPECT_EQ(Poll(), 0);

    std::vector<ScriptedRequest> blocks = RequestsFor("spooldata");
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_NE(blocks[1].body.find("offset='4096'"), std::string::npos);
    EXPECT_EQ(spooler_double::WrittenBytes(), data);
    EXPECT_EQ(Events()[Events().size() - 2], ProgressEvent(8192, 5000));
    EXPECT_EQ(RequestsFor("printed").size(), 1u);
}

TEST_F(PollTest, TheServiceDecidesEachBlocksLength)
{
    const std::string data = JobData(300);
    Script("qryspool", JobReply("f", "300", "Doc", "Office Laser", "1"));
    ServeBlocks(data, {100, 1, 199});
    EXPECT_EQ(Poll(), 0);
    std::vector<ScriptedRequest> blocks = RequestsFor("spooldata");
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_NE(blocks[1].body.find("offset='100' blocksize='4096'"), std::string::npos);
    EXPECT_NE(blocks[2].body.find("offset='101' blocksize='4096'"), std::string::npos);
    EXPECT_EQ(spooler_double::WrittenBytes(), data);
}

TEST_F(PollTest, ASizeOfZeroNegativeOrNoNumberPrintsAnEmptyDocument)
{
    const struct {
        const char* size;
        int32_t maximum;
    } cases[] = {{"0", 0}, {"-5", -5}, {"many", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        spooler_double::Reset();
        Script("qryspool", JobReply("f", c.size, "Doc", "Office Laser", "8"));
        size_t printedBefore = RequestsFor("printed").size();
        NewEvents();

        EXPECT_EQ(Poll(), 0);

        EXPECT_TRUE(RequestsFor("spooldata").empty());
        EXPECT_EQ(spooler_double::CallNames(),
                  (Names{"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "EndPagePrinter", "EndDocPrinter",
                         "ClosePrinter"}));
        EXPECT_EQ(RequestsFor("printed").size(), printedBefore + 1);
        EventList events = NewEvents();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[events.size() - 3], ProgressEvent(0, c.maximum));
        EXPECT_EQ(events[events.size() - 2], StatusEvent("Printing"));
    }
}

TEST_F(PollTest, TheJobMarkerIsTheFirstFiveLettersInAnyCase)
{
    const struct {
        std::string reply;
        bool job;
    } cases[] = {
        {"spool", true},      {"SpOoL", true},  {"SPOOLING NOW", true}, {"SPOOX", false},
        {"SPOO", false},      {"", false},      {" SPOOL", false},      {"EMPTY", false},
        {"SPOO\xCC", false},  {"\r\nSPOOL", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        spooler_double::Reset();
        Script("qryspool", c.reply + "\r\nf\r\n0\r\nDoc\r\nOffice Laser\r\n1");
        NewEvents();
        int result = Poll();
        EXPECT_EQ(result, c.job ? 0 : 1);
        EXPECT_EQ(spooler_double::Calls().empty(), !c.job);
        if (!c.job) {
            EventList events = NewEvents();
            EXPECT_EQ(events.back(), StatusEvent("Empty queue"));
        }
    }
}

TEST_F(PollTest, DecodedValuesGoBackUnescaped)
{
    inventory_double::SetPrinters({"P<1>"});
    Script("qryspool", JobReply("a&apos;b&amp;c.spl", "1", "R&amp;D", "P&lt;1&gt;", "7&amp;8&apos;"));
    Script("spooldata", "x");

    EXPECT_EQ(Poll(), 0);

    ASSERT_EQ(RequestsFor("spooldata").size(), 1u);
    ASSERT_EQ(RequestsFor("printed").size(), 1u);
    ASSERT_EQ(spooler_double::Calls().size(), 7u);
    EXPECT_EQ(RequestsFor("spooldata")[0].body,
              "<spooldata file='a'b&c.spl' offset='0' blocksize='4096' encode='Ab3$Cd4%Ef5&Gh6'' />");
    EXPECT_EQ(RequestsFor("printed")[0].body, "<printed id='7&8''/>");
    EXPECT_EQ(spooler_double::Calls()[0].printerName, "P<1>");
    EXPECT_EQ(spooler_double::Calls()[1].docName, "R&D");
}

TEST_F(PollTest, FailureLinesStayUntilTheNextAnsweredQuery)
{
    Poll();
    Script("qryspool", std::vector<ScriptedAnswer>{{ServerError()}, {OkResponse("EMPTY")}});
    NewEvents();

    EXPECT_EQ(Poll(), 1);
    EXPECT_FALSE(LogCleared);
    EventList failed = NewEvents();
    EXPECT_EQ(std::count(failed.begin(), failed.end(), ClearLogEvent()), 0);
    const std::string text = "httpRequest \"rmtprt.aspx?func=qryspool\" failed";
    EXPECT_EQ(EventList(failed.end() - 3, failed.end()),
              (EventList{StatusEvent(text), LogEvent(text), ProgressEvent(0, 0)}));

    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(NewEvents(), (EventList{ProgressEvent(1, 10), StatusEvent("Connect"), ProgressEvent(2, 10),
                                   StatusEvent("Query Spool"), ProgressEvent(4, 10), ClearLogEvent(),
                                   ProgressEvent(0, 0), StatusEvent("Empty queue")}));
    EXPECT_TRUE(LogCleared);
}

TEST_F(PollTest, AFailedConnectClearsTheFlagSoTheNextQueryEmptiesTheList)
{
    Poll();
    EXPECT_EQ(PollUnreachable(), 1);
    EXPECT_FALSE(LogCleared);
    NewEvents();
    Poll();
    EventList events = NewEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), ClearLogEvent()), 1);
}

// ---- a kept connection the server ends, and blocks in flight -------------

// How the service frames its blocks, and how it ends their connections.
void InterimFirst(ScriptedAnswer* answer)
{
    answer->bytes.insert(0, "HTTP/1.1 100 Continue\r\n\r\n");
}

void CloseAnnounced(ScriptedAnswer* answer)
{
    answer->bytes.insert(answer->bytes.find("\r\n") + 2, "Connection: close\r\n");
    answer->closeAfter = true;
}

// Without "Connection: keep-alive" an HTTP/1.0 server closes after each reply.
void Http10(ScriptedAnswer* answer)
{
    answer->bytes.replace(0, 8, "HTTP/1.0");
    answer->closeAfter = true;
}

// Chunked, with a trailer field that comes in a read of its own.
void TrailerInALaterRead(ScriptedAnswer* answer)
{
    const std::string body = answer->bytes.substr(answer->bytes.find("\r\n\r\n") + 4);
    const std::string chunked = ChunkedResponse({body});
    answer->bytes = chunked.substr(0, chunked.size() - 2) + "Checksum: 1\r\n\r\n";
    answer->pieceSize = chunked.size() - 2;
}

struct KeptConnectionRow {
    const char* name;
    int32_t blocksInFlight;
    bool keepAlive;
    std::vector<size_t> blocks;   // the sizes of the first blocks served; then whole ones
    std::string closingFunction;  // whose answer ends its connection
    int closingRequest;
    bool announced;
    int connections;      // the server accepts, the discovery's included
    int32_t mostInFlight; // block requests on a connection at a progress report, plus one
    void (*shape)(ScriptedAnswer* answer);
    bool reset;           // the closing answer's connection is closed with requests unread
};

void PrintTo(const KeptConnectionRow& row, std::ostream* out) { *out << row.name; }

constexpr size_t kJobSize = 30000;  // eight blocks, when all are whole

const KeptConnectionRow kKeptConnectionRows[] = {
    {"OneAtATime_CloseAnnouncedAtTheThirdBlock", 1, true, {}, "spooldata", 3, true, 2, 1, nullptr, false},
    {"OneAtATime_SilentCloseAfterTheThirdBlock", 1, true, {}, "spooldata", 3, false, 2, 1, nullptr, false},
    {"OneAtATime_CloseAnnouncedOnTheQuery", 1, true, {}, "qryspool", 1, true, 2, 1, nullptr, false},
    {"InFlight4_ShortBlocks", 4, true, {4096, 1000, 4096, 4096, 4096, 5}, "", 0, false, 1, 4, nullptr, false},
    {"InFlight4_CloseAnnouncedAtTheThirdBlock", 4, true, {}, "spooldata", 3, true, 2, 4, nullptr, false},
    {"InFlight4_SilentCloseBeforeTheBlocks", 4, true, {}, "qryspool", 1, false, 2, 4, nullptr, false},
    {"InFlight16_ShortBlocksAndACloseAnnounced", 16, true, {100, 4096, 4096, 4000}, "spooldata", 4, true, 2, 8,
     nullptr, false},
    // Each of its 12 requests on a connection of its own, after the poll's first.
    {"InFlight8_WithoutKeepAliveOneAtATime", 8, false, {}, "", 0, false, 13, 1, nullptr, false},
    {"InFlight8_InterimReplyBeforeEveryBlock", 8, true, {}, "", 0, false, 1, 8, InterimFirst, false},
    {"InFlight4_TrailerInALaterRead", 4, true, {}, "", 0, false, 1, 4, TrailerInALaterRead, false},
    // The poll's first connection ends with the first block, every later one
    // carries one block, and the acknowledgement goes on one more.
    {"InFlight16_CloseAnnouncedAfterEveryBlock", 16, true, {}, "", 0, false, 9, 1, CloseAnnounced, false},
    {"InFlight16_Http10WithoutKeepAlive", 16, true, {}, "", 0, false, 9, 1, Http10, false},
    // The client sends more before it reads the closing answer: the send
    // meets the reset.
    {"InFlight4_ResetAfterACloseAnnouncedWithRequestsUnread", 4, true, {}, "spooldata", 3, true, 2, 4, nullptr, true},
    {"InFlight4_ResetWithoutACloseAnnounced", 4, true, {}, "spooldata", 3, false, 2, 4, nullptr, true},
};

class KeptConnectionTest : public PollTest, public ::testing::WithParamInterface<KeptConnectionRow> {};

TEST_P(KeptConnectionTest, PrintsTheJobOnceWithoutAFailure)
{
    const KeptConnectionRow& row = GetParam();
    const std::string data = JobData(kJobSize);
    Script("qryspool", JobReply("f", std::to_string(kJobSize), "Doc", "Office Laser", "3"));
    ServeBlocks(data, row.blocks);
    CloseAfter(row.closingFunction, row.closingRequest, row.announced, row.reset);
    ShapeBlocks(row.shape);
    KeepAlive = row.keepAlive;
    blocksInFlight = row.blocksInFlight;
    int32_t mostUnanswered = 0;
    display_recorder::SetHook([&](const DisplayEvent& event) {
        AwaitSilentClose();
        if (event.kind == DisplayEvent::Progress)
            mostUnanswered = std::max(mostUnanswered, client_->RequestsUnanswered);
    });

    EXPECT_EQ(Poll(), 0);

    EXPECT_EQ(spooler_double::WrittenBytes(), data);
    EXPECT_EQ(RequestsFor("printed").size(), 1u);
    EXPECT_EQ(KeepAlive, row.keepAlive);
    EXPECT_EQ(server_->Connections(), row.connections);
    // As many requests in flight as asked for, never more: a block read
    // leaves the others unanswered.
    EXPECT_EQ(mostUnanswered + 1, row.mostInFlight);
    std::set<size_t> blockStarts;
    for (size_t i = 0, start = 0; start < kJobSize; start += i < row.blocks.size() ? row.blocks[i] : 4096, ++i)
        blockStarts.insert(start);
    // A block request follows the one before it or starts at a block received;
    // a connection's end or a short block costs a window of requests once.
    EXPECT_LT(RequestsFor("spooldata").size() + static_cast<size_t>(server_->RequestsDropped()),
              blockStarts.size() + static_cast<size_t>(row.blocksInFlight));
    size_t previous = 0;
    for (const ScriptedRequest& request : RequestsFor("spooldata")) {
        EXPECT_LT(OffsetOf(request), kJobSize);
        EXPECT_TRUE(OffsetOf(request) == previous + 4096 || blockStarts.count(OffsetOf(request)) == 1);
        previous = OffsetOf(request);
    }
    // No failure line (the document's name alone), and a progress report per block.
    size_t logLines = 0;
    size_t jobProgress = 0;
    for (const DisplayEvent& event : Events()) {
        logLines += event.kind == DisplayEvent::Log;
        jobProgress += event.kind == DisplayEvent::Progress && event.maximum == static_cast<int32_t>(kJobSize);
    }
    EXPECT_EQ(logLines, 1u);
    EXPECT_EQ(jobProgress, blockStarts.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, KeptConnectionTest, ::testing::ValuesIn(kKeptConnectionRows),
    [](const ::testing::TestParamInfo<KeptConnectionRow>& info) { return std::string(info.param.name); });

}  // namespace
