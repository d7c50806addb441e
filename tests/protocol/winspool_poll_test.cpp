// The poll through the real spooler and the real printer inventory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/poll_cycle.h"
#include "protocol/printer_inventory.h"
#include "protocol/service_path.h"
#include "tests/support/doubles/display_recorder.h"
#include "tests/support/scripted_server.h"
#include "transport/print_client.h"

// The hide flags belong to the settings; here every printer is exposed.
bool IsPrinterHidden(const char*, bool* createFailed)
{
    *createFailed = false;
    return false;
}

namespace {

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

ScriptedAnswer Reply(const ScriptedRequest& request)
{
    ScriptedAnswer answer;
    if (EndsWith(request.path, "func=ping"))
        answer.bytes = OkResponse("");
    else if (EndsWith(request.path, "func=printlist"))
        answer.bytes = OkResponse("OK\r\n3");
    else if (EndsWith(request.path, "func=qryspool"))
        answer.bytes = OkResponse("SPOOL\r\njob.spl\r\n3\r\nDoc\r\nNo Such Printer 7f3a\r\n9");
    else
        answer.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    return answer;
}

TEST(WinspoolPoll, APrinterThatIsNotInstalledEndsThePoll)
{
    const std::string kRefused = "OpenPrinter refused: \"No Such Printer 7f3a\" is not an exposed printer";
    ComputerToken = -1;
    RegistrationCountdown = 0;
    LogCleared = false;
    ServicePrefix[0] = 0;
    KeepAlive = true;
    TransportTimeouts = {2000, 1000};
    display_recorder::Reset();
    ScriptedServer server(Reply);
    PrintClient client;
    client.Setup("127.0.0.1", server.Port(), "PC01", "cipher");
    display_recorder::Attach(&client);

    EXPECT_EQ(RunPollCycle(&client), 1);

    const std::vector<DisplayEvent>& events = display_recorder::Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::vector<DisplayEvent>(events.end() - 3, events.end()),
              (std::vector<DisplayEvent>{StatusEvent(kRefused), LogEvent(kRefused), ProgressEvent(0, 0)}));
    std::string registration;
    for (const ScriptedRequest& request : server.Requests()) {
        EXPECT_FALSE(EndsWith(request.path, "func=spooldata") || EndsWith(request.path, "func=printed"));
        if (EndsWith(request.path, "func=printlist"))
            registration = request.body;
    }
    EXPECT_EQ(registration.rfind("<list cpu='PC01' user='", 0), 0u);
    EXPECT_TRUE(EndsWith(registration, "</list>"));
    EXPECT_EQ(client.Socket, kNoSocket);
}

TEST(PrinterInventory, TheUserNameIsInCapitals)
{
    const char* user = WindowsUserName();
    ASSERT_GT(strlen(user), 0u);
    for (const char* c = user; *c != 0; ++c)
        EXPECT_FALSE(*c >= 'a' && *c <= 'z') << user;
}

TEST(PrinterInventory, ListingAgainGivesTheSameNames)
{
    PrinterNameList first = ListInstalledPrinters();
    std::vector<std::string> names(first.names, first.names + first.count);
    PrinterNameList second = ListInstalledPrinters();
    EXPECT_EQ(std::vector<std::string>(second.names, second.names + second.count), names);
}

}  // namespace
