// Finding the service path once per process, and starting over only after
// every candidate failed.
#include <string>

#include "protocol/poll_cycle.h"
#include "protocol/service_path.h"
#include "tests/protocol/poll_fixture.h"
#include "tests/transport/client_fixture.h"

namespace {

const std::string kFirst = ".00010101000000000000/system/rmtprt.aspx?func=";
const std::string kSecond = ".00010101000000000000/admin/rmtprt.$.aspx?func=";
const std::string kThird = ".00010101000000000000/.system/rmtprt.aspx?func=";

class ServicePathTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        ServicePrefix[0] = 0;
        LogCleared = true;
    }

    std::vector<std::string> Paths(ScriptedServer& server)
    {
        std::vector<std::string> paths;
        for (const ScriptedRequest& request : server.Requests())
            paths.push_back(request.path);
        return paths;
    }
};

// Answers a ping with status 200 only under the given prefix.
ScriptedHandler ServiceUnder(const std::string& prefix)
{
    return [prefix](const ScriptedRequest& request) {
        ScriptedAnswer answer;
        if (request.path == prefix + "ping")
            answer.bytes = OkResponse("pong");
        else
            answer.bytes = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot here.";
        return answer;
    };
}

TEST_F(ServicePathTest, TheFirstCandidateAnsweringIsKeptForTheProcess)
{
    ScriptedServer server(ServiceUnder(kFirst));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(RequestPath(&client, "printlist"), kFirst + "printlist");
    EXPECT_EQ(RequestPath(&client, "qryspool"), kFirst + "qryspool");
    EXPECT_EQ(Paths(server), std::vector<std::string>{kFirst + "ping"});
    EXPECT_EQ(server.Requests()[0].body, "");
    EXPECT_TRUE(LogCleared);
}

TEST_F(ServicePathTest, ANotFoundAnswerMovesOnToTheNextCandidate)
{
    ScriptedServer server(ServiceUnder(kSecond));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(RequestPath(&client, "printed"), kSecond + "printed");
    EXPECT_EQ(Paths(server), (std::vector<std::string>{kFirst + "ping", kSecond + "ping"}));
    EXPECT_EQ(Reports::status, std::vector<std::string>{"HTTP/1.1 404 Not Found\r\nContent-Length: 9"});

    // Later requests compose paths without another ping, whatever they meet.
    EXPECT_EQ(RequestPath(&client, "qryspool"), kSecond + "qryspool");
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(ServicePathTest, NoAnswerAtAllReportsAnEmptyTextAndStartsOverNextTime)
{
    ScriptedServer server([](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.closeAfter = true;
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_STREQ(RequestPath(&client, "printlist"), "");
    EXPECT_EQ(Paths(server), (std::vector<std::string>{kFirst + "ping", kSecond + "ping", kThird + "ping"}));
    ASSERT_FALSE(Reports::log.empty());
    EXPECT_EQ(Reports::log.back(), "");
    EXPECT_EQ(Reports::status.back(), "");
    EXPECT_EQ(Reports::progress.back(), std::make_pair(0, 0));
    EXPECT_EQ(client.Socket, kNoSocket);
    EXPECT_FALSE(LogCleared);
    EXPECT_STREQ(ServicePrefix, "");

    RequestPath(&client, "printlist");
    EXPECT_EQ(Paths(server)[3], kFirst + "ping");
}

TEST_F(ServicePathTest, WhenEveryCandidateRefusesTheLastAnswersBodyIsReported)
{
    int answered = 0;
    ScriptedServer server([&](const ScriptedRequest&) {
        ScriptedAnswer answer;
        std::string body = "refused " + std::to_string(++answered);
        answer.bytes = "HTTP/1.1 500 Error\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_STREQ(RequestPath(&client, "qryspool"), "");
    EXPECT_EQ(Reports::log.back(), "refused 3");
}

// A first candidate whose answer leaves its connection out of step or ends
// it: the second candidate's ping goes out on a new connection.
struct BrokenPing {
    const char* name;
    std::string answer;
    bool stall;       // else the server waits for the next request
    bool closeAfter;  // the server closes once it has answered
};

void PrintTo(const BrokenPing& c, std::ostream* out) { *out << c.name; }

const std::string kChunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

const std::string kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n";

const BrokenPing kBrokenPings[] = {
    {"InvalidChunkedReply", kChunked + "2\r\nokXX0\r\n\r\n", false, false},
    {"ChunkReadTimesOut", kChunked + "A\r\nhello", true, false},
    {"InvalidContentLength", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello", false, false},
    {"HeadReadTimesOut", "", true, false},
    {"NoStatusLine", "SMTP ready\r\n\r\n", false, false},
    {"NotFoundSayingClose", kNotFound + "Connection: Close\r\n\r\n", false, true},
    {"NotFoundThenASilentClose", kNotFound + "\r\n", false, true},
};

class DiscoveryAfterBrokenPing : public PollTest, public ::testing::WithParamInterface<BrokenPing> {};

TEST_P(DiscoveryAfterBrokenPing, FindsTheSecondPathAndThePollGoesOn)
{
    ScriptedAnswer broken;
    broken.bytes = GetParam().answer;
    broken.stall = GetParam().stall;
    broken.closeAfter = GetParam().closeAfter;
    ScriptedAnswer ok;
    ok.bytes = OkResponse("");
    Script("ping", std::vector<ScriptedAnswer>{broken, ok});
    // A close that follows the answer at once has reached the client by the
    // time its next request goes out, on any real link.
    display_recorder::SetHook([this](const DisplayEvent& event) {
        if (event.kind == DisplayEvent::Status && event.text.compare(0, 5, "HTTP/") == 0)
            WaitReadable(client_->Socket, 1000);
    });

    EXPECT_EQ(Poll(), 1);

    std::vector<ScriptedRequest> pings = RequestsFor("ping");
    ASSERT_EQ(pings.size(), 2u);
    EXPECT_EQ(pings[0].path, kFirst + "ping");
    EXPECT_EQ(pings[1].path, kSecond + "ping");
    EXPECT_EQ(pings[1].connection, 2);
    EXPECT_EQ(ServicePrefix, kSecond);
    EXPECT_EQ(RequestsFor("printlist").size(), 1u);
    ASSERT_EQ(RequestsFor("qryspool").size(), 1u);
    EXPECT_EQ(Events().back(), StatusEvent("Empty queue"));
    EXPECT_TRUE(KeepAlive);
}

INSTANTIATE_TEST_SUITE_P(Answers, DiscoveryAfterBrokenPing, ::testing::ValuesIn(kBrokenPings),
                         [](const ::testing::TestParamInfo<BrokenPing>& info) { return std::string(info.param.name); });

}  // namespace
