// Replies and platform states that would otherwise cut a name, loop without
// end, write past a buffer, read a missing field, leak a connection or print
// half a job.
#include "tests/protocol/poll_fixture.h"

#include <algorithm>

#include "protocol/printer_list.h"

namespace {

using EventList = std::vector<DisplayEvent>;
using Names = std::vector<std::string>;

const Names kAbortedJob = {"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "AbortPrinter",
                           "EndPagePrinter", "EndDocPrinter", "ClosePrinter"};

// The poll's last three events when it ends with text.
EventList EndedWith(const std::string& text)
{
    return EventList{StatusEvent(text), LogEvent(text), ProgressEvent(0, 0)};
}

EventList LastEvents(size_t count)
{
    const std::vector<DisplayEvent>& all = display_recorder::Events();
    return EventList(all.end() - static_cast<long>(std::min(count, all.size())), all.end());
}

TEST_F(PollTest, NamesInTheAnsiCodePageComeBackWhole)
{
    inventory_double::SetPrinters({"B\xFCro \xFF\x80 Laser"});
    Script("qryspool", JobReply("f\xE9.spl", "1", "Men\xFC f\xFCr Caf\xE9", "B\xFCro \xFF\x80 Laser", "\xE9" "77"));
    Script("spooldata", "x");

    EXPECT_EQ(Poll(), 0);

    ASSERT_EQ(spooler_double::Calls().size(), 7u);
    ASSERT_EQ(RequestsFor("spooldata").size(), 1u);
    ASSERT_EQ(RequestsFor("printed").size(), 1u);
    EXPECT_EQ(spooler_double::Calls()[0].printerName, "B\xFCro \xFF\x80 Laser");
    EXPECT_EQ(spooler_double::Calls()[1].docName, "Men\xFC f\xFCr Caf\xE9");
    EXPECT_NE(RequestsFor("spooldata")[0].body.find("file='f\xE9.spl'"), std::string::npos);
    EXPECT_EQ(RequestsFor("printed")[0].body, "<printed id='\xE9" "77'/>");
}

TEST_F(PollTest, AnEmptyBlockEndsTheJobAsAFailedBlockRequest)
{
    Script("qryspool", JobReply("f", "10", "Doc", "Office Laser", "1"));
    // Should the loop ask again, the second answer ends it instead of hanging.
    Script("spooldata", std::vector<ScriptedAnswer>{{OkResponse("")}, {ServerError()}});

    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(RequestsFor("spooldata").size(), 1u);
    EXPECT_EQ(spooler_double::CallNames(), kAbortedJob);
    EXPECT_EQ(LastEvents(3), EndedWith("httpRequest failed"));
    EXPECT_TRUE(RequestsFor("printed").empty());
}

TEST_F(PollTest, ABlockLongerThanItsBufferFailsTheRequest)
{
    Script("qryspool", JobReply("f", "5000", "Doc", "Office Laser", "1"));
    Script("spooldata", std::string(4097, 'x'));

    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(spooler_double::CallNames(), kAbortedJob) << "nothing of the block is written";
    EXPECT_EQ(LastEvents(3), EndedWith("httpRequest failed"));
    EXPECT_TRUE(RequestsFor("printed").empty());
}

TEST_F(PollTest, ABlockThatFillsItsBufferIsPrinted)
{
    const std::string data(4096, '\x3C');
    Script("qryspool", JobReply("f", "4096", "Doc", "Office Laser", "1"));
    ServeBlocks(data, {4096});
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(spooler_double::WrittenBytes(), data);
}

TEST_F(PollTest, OnlyATextReplyNeedsRoomForItsTerminator)
{
    Script("qryspool", std::string(4095, 'E'));
    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(LastEvents(1), EventList{StatusEvent("Empty queue")});

    Script("qryspool", std::string(4096, 'E'));
    EXPECT_EQ(Poll(), 1);
    EXPECT_EQ(LastEvents(3), EndedWith("httpRequest \"rmtprt.aspx?func=qryspool\" failed"));

    // The acknowledgement's reply is never read: longer than any of the
    // poll's buffers, it still acknowledges the job.
    Script("qryspool", JobReply("f", "1", "Doc", "Office Laser", "1"));
    Script("spooldata", "x");
    Script("printed", std::string(20000, 'P'));
    EXPECT_EQ(Poll(), 0);
    EXPECT_EQ(LastEvents(1), EventList{StatusEvent("Printing complete")});
}

TEST_F(PollTest, ARegistrationReplyWithoutATokenFailsTheRegistration)
{
    Poll();
    ASSERT_TRUE(LogCleared);
    RegistrationCountdown = 0;
    ComputerToken = -1;
    Script("printlist", "OK");
    size_t queriesBefore = RequestsFor("qryspool").size();

    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(LastEvents(3), EndedWith("Printer list reply holds no computer token"));
    EXPECT_EQ(ComputerToken, -1);
    EXPECT_EQ(RegistrationCountdown, 10);
    EXPECT_FALSE(LogCleared);
    EXPECT_EQ(RequestsFor("qryspool").size(), queriesBefore);
    EXPECT_EQ(client_->Socket, kNoSocket);
}

TEST_F(PollTest, AJobReplyWithFewerThanSixFieldsOpensNoPrinter)
{
    const std::string shortReplies[] = {"SPOOL", "SPOOL\r\nf\r\n3\r\nDoc\r\nP", "SPOOL\r\n\r\n\r\nf\r\n3"};
    for (const std::string& reply : shortReplies) {
        SCOPED_TRACE(reply);
        Script("qryspool", reply);

        EXPECT_EQ(Poll(), 1);

        EXPECT_EQ(LastEvents(3), EndedWith("Spool job reply has too few fields"));
        EXPECT_TRUE(spooler_double::Calls().empty());
        EXPECT_TRUE(RequestsFor("spooldata").empty());
        EXPECT_TRUE(RequestsFor("printed").empty());
        EXPECT_EQ(client_->Socket, kNoSocket);
        EXPECT_TRUE(LogCleared) << "the service did answer";
    }
}

TEST_F(PollTest, FieldsBeyondTheNinthAreDropped)
{
    std::string reply = JobReply("f", "1", "Doc", "Office Laser", "31");
    for (int i = 0; i < 8; ++i)
        reply += "\r\nextra" + std::to_string(i);
    Script("qryspool", reply);
    Script("spooldata", "x");

    EXPECT_EQ(Poll(), 0);
    ASSERT_EQ(RequestsFor("printed").size(), 1u);
    EXPECT_EQ(RequestsFor("printed")[0].body, "<printed id='31'/>");
}

TEST_F(PollTest, APrinterListLongerThanItsBufferLeavesPrintersOutAndSaysSoInOneLine)
{
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i)
        names.push_back(std::string(200, static_cast<char>('A' + i % 26)) + "<&>" + std::to_string(i));
    inventory_double::SetPrinters(names);

    EXPECT_EQ(Poll(), 1);

    ASSERT_EQ(RequestsFor("printlist").size(), 1u);
    const std::string document = RequestsFor("printlist")[0].body;
    EXPECT_LT(document.size(), 8192u);
    EXPECT_EQ(document.substr(document.size() - 7), "</list>");
    size_t listed = static_cast<size_t>(std::count(document.begin(), document.end(), '\n')) - 1;
    // One line tells of them all: the first name and how many more.
    std::vector<std::string> told;
    for (const DisplayEvent& event : Events()) {
        if (event.kind == DisplayEvent::Log && event.text.find("Printer left out of the printer list: ") == 0)
            told.push_back(event.text);
    }
    ASSERT_EQ(told.size(), 1u);
    const size_t more = names.size() - listed - 1;
    EXPECT_EQ(told[0], "Printer left out of the printer list: " + names[listed] + " and " + std::to_string(more) +
                           " more (list full)");
    EXPECT_EQ(ComputerToken, 17) << "the registration goes on with the printers that fit";
}

TEST_F(PollTest, APrinterListThatCannotBeBuiltEndsThePollWithoutRegistering)
{
    // A flag that cannot be stored, or a scheduler that cannot list its
    // printers: the service keeps the printers it knows.
    const struct {
        void (*fail)(bool);
        const char* text;
    } causes[] = {
        {inventory_double::FailFlagWrites, "Failed to set data for 'Printer:New Printer'"},
        {inventory_double::FailListing, "Printer list not read: registration skipped"},
    };
    for (const auto& cause : causes) {
        SCOPED_TRACE(cause.text);
        Poll();
        RegistrationCountdown = 0;
        inventory_double::SetPrinters({"Office Laser", "New Printer"});
        cause.fail(true);
        size_t registrationsBefore = RequestsFor("printlist").size();
        size_t queriesBefore = RequestsFor("qryspool").size();

        EXPECT_EQ(Poll(), 1);

        EXPECT_EQ(LastEvents(3), EndedWith(cause.text));
        EXPECT_EQ(RequestsFor("printlist").size(), registrationsBefore);
        EXPECT_EQ(RequestsFor("qryspool").size(), queriesBefore);
        EXPECT_FALSE(LogCleared);
        EXPECT_EQ(RegistrationCountdown, 10);
        EXPECT_EQ(client_->Socket, kNoSocket);
        cause.fail(false);
    }
}

TEST_F(PollTest, WithoutKeepAliveTheFirstConnectionIsNotLeftOpen)
{
    KeepAlive = false;
    Script("qryspool", JobReply("f", "3", "Doc", "Office Laser", "1"));
    Script("spooldata", "abc");
    bool heldWhileRegistering = true;
    display_recorder::SetHook([&](const DisplayEvent& event) {
        if (event == StatusEvent("Printer List"))
            heldWhileRegistering = client_->Socket != kNoSocket;
    });

    EXPECT_EQ(Poll(), 0);

    EXPECT_FALSE(heldWhileRegistering);
    EXPECT_EQ(client_->Socket, kNoSocket);
    std::vector<ScriptedRequest> requests = server_->Requests();
    ASSERT_EQ(requests.size(), 5u);
    for (size_t i = 0; i < requests.size(); ++i)
        EXPECT_EQ(requests[i].connection, static_cast<int>(i) + 2) << "each request on its own connection";
    EXPECT_EQ(server_->Connections(), 6);
    EXPECT_EQ(Events()[0], ProgressEvent(1, 10));
    EXPECT_EQ(Events()[2], ProgressEvent(2, 10));
    EXPECT_EQ(Events()[3], StatusEvent("Printer List"));
}

TEST_F(PollTest, AJobFailingAfterItsFirstBlockIsDiscardedBeforeItEnds)
{
    const std::string data(5000, 'd');
    Script("qryspool", JobReply("f", "5000", "Doc", "Office Laser", "1"));
    Script("spooldata",
           std::vector<ScriptedAnswer>{{OkResponse(Complement(data.substr(0, 4096)))}, {ServerError()}});

    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(spooler_double::CallNames(),
              (Names{"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter", "AbortPrinter",
                     "EndPagePrinter", "EndDocPrinter", "ClosePrinter"}));
    EXPECT_EQ(LastEvents(3), EndedWith("httpRequest failed"));
}

TEST_F(PollTest, AShortWriteOnALaterBlockIsDiscardedToo)
{
    const std::string data(5000, 'd');
    Script("qryspool", JobReply("f", "5000", "Doc", "Office Laser", "1"));
    ServeBlocks(data, {4096, 904});
    spooler_double::ShortenWrite(2, 4);

    EXPECT_EQ(Poll(), 1);

    EXPECT_EQ(spooler_double::CallNames(),
              (Names{"OpenPrinterA", "StartDocPrinterA", "StartPagePrinter", "WritePrinter", "WritePrinter",
                     "AbortPrinter", "EndPagePrinter", "EndDocPrinter", "ClosePrinter"}));
    EXPECT_EQ(LastEvents(3), EndedWith("Invalid size writen"));
}

}  // namespace
