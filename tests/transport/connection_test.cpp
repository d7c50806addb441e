// The connection's life: keep-alive, time-outs, closed peers, refusals.
#include "tests/support/loopback_peer.h"
#include "tests/transport/client_fixture.h"

namespace {

const std::vector<std::string> kTimeout = {"Read socket timeout, server is maybe not active"};
const std::vector<std::string> kClosedPeer = {"Partner program has issued a closesocket()\n"};

TEST_F(ClientTest, KeepAliveCarriesRequestsOverOneConnectionAndLeavesItOpen)
{
    ScriptedServer server(Answer(OkResponse("pong")));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    SocketHandle first = client.Socket;

    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(client.Socket, first);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(ClientTest, BytesNoRequestAskedForAreLeftBehindWithTheirConnection)
{
    // Each connection's first reply comes twice, the second a moment later.
    const std::string reply = OkResponse("one");
    ScriptedServer server([&](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.bytes = reply + OkResponse("two");
        answer.pieceSize = reply.size();
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Body(), "one");
    // "two" has come, read with "one" already or waiting on the socket.
    if (client.Socket != kNoSocket && client.ReceivedHeld == client.ResponseStart) {
        ASSERT_GT(WaitReadable(client.Socket, 1000), 0);
    }
    // Read on the kept connection, "two" would pass for this reply.
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Body(), "one");
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(ClientTest, AClosedPeerTurnsKeepAliveOffForGood)
{
    bool closeFirst = true;
    ScriptedServer server([&](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.closeAfter = closeFirst;
        closeFirst = false;
        if (!answer.closeAfter)
            answer.bytes = OkResponse("pong");
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(Exchange(), 1);
    EXPECT_EQ(Reports::log, kClosedPeer);
    EXPECT_EQ(Reports::status, kClosedPeer);
    EXPECT_FALSE(KeepAlive);
    EXPECT_EQ(client.Socket, kNoSocket);

    // From now on each request connects first and closes after its response.
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(client.Socket, kNoSocket);
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(server.Connections(), 3);
}

TEST_F(ClientTest, ATimeOutClosesTheConnectionButKeepsKeepAlive)
{
    ScriptedServer server([](const ScriptedRequest& request) {
        ScriptedAnswer answer;
        answer.stall = request.connection == 1;
        if (!answer.stall)
            answer.bytes = OkResponse("late");
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(Exchange(), 1);
    EXPECT_EQ(Reports::status, kTimeout);
    EXPECT_EQ(Reports::log, kTimeout);
    EXPECT_TRUE(KeepAlive);
    // A reply arriving now would pass for the next request's.
    EXPECT_EQ(client.Socket, kNoSocket);

    // The next request opens a connection of its own and keeps it.
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Body(), "late");
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_NE(client.Socket, kNoSocket);
}

TEST_F(ClientTest, AFailedSendIsReportedBeforeTheFailedRead)
{
    client.Setup("127.0.0.1", 1, "PC01", "");
    EXPECT_EQ(Exchange(), 1);
    // The refused connect leaves a socket whose error can be read, shown as a
    // number that differs by platform; the failed send (head and body in one)
    // closes it, so the read finds none.
    std::vector<std::string> log = Reports::log;
    if (log.size() > 2 && log[2].find_first_not_of("-0123456789", 13) == std::string::npos && log[2].size() > 13)
        log[2].replace(13, std::string::npos, "N");
    std::vector<std::string> expected = {"connect() failed", "write() failed", "SO_ERROR was N",
                                         "select() failed in SocketReceive"};
    EXPECT_EQ(log, expected);
    EXPECT_FALSE(KeepAlive);
}

TEST_F(ClientTest, ASendThePeerDoesNotTakeEndsAtTheReadTimeOut)
{
    // Nobody accepts: the connection's buffers fill and stay full.
    uint16_t port;
    const SocketHandle listener = ListenOnLoopback(1, &port);
    ASSERT_EQ(client.Setup("127.0.0.1", port, "PC01", ""), 0);
    ASSERT_EQ(client.SocketConnect(), 0);
    const std::string body(64 << 20, 'b');
    EXPECT_EQ(Exchange(body.c_str()), 1);
    ASSERT_FALSE(Reports::log.empty());
    EXPECT_EQ(Reports::log[0], "write() failed");
    EXPECT_EQ(client.Socket, kNoSocket);
    CloseSocket(listener);
}

TEST_F(ClientTest, ReleaseClosesOnlyOnceKeepAliveIsOff)
{
    ScriptedServer server(Answer(OkResponse("")));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    client.ReleaseConnection();
    EXPECT_NE(client.Socket, kNoSocket);
    KeepAlive = false;
    client.ReleaseConnection();
    EXPECT_EQ(client.Socket, kNoSocket);
    client.SocketClose();  // nothing left to close
    EXPECT_EQ(client.Socket, kNoSocket);
}

TEST_F(ClientTest, ConnectingAgainClosesTheEarlierConnection)
{
    ScriptedServer server(Answer(OkResponse("")));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    ASSERT_EQ(client.SocketConnect(), 0);
    client.SocketClose();
    // Both connections end; the server notices each close.
    for (int waited = 0; server.ClosedByClient() < 2 && waited < 200; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(server.ClosedByClient(), 2);
}

TEST_F(ClientTest, APortAbove65535UsesItsLow16Bits)
{
    ScriptedServer server(Answer(OkResponse("")));
    ASSERT_EQ(client.Setup("127.0.0.1", 65536 + server.Port(), "PC01", ""), 0);
    EXPECT_EQ(client.SocketConnect(), 0);
}

TEST_F(ClientTest, AHostNameIsResolved)
{
    ScriptedServer server(Answer(OkResponse("")));
    ASSERT_EQ(client.Setup("localhost", server.Port(), "PC01", ""), 0);
    EXPECT_EQ(client.SocketConnect(), 0);
}

TEST_F(ClientTest, AnUnresolvableHostIsReportedOnceAndLeavesNoSocket)
{
    ASSERT_EQ(client.Setup("a..b", 7000, "PC01", ""), 0);
    EXPECT_EQ(client.SocketConnect(), 1);
    EXPECT_EQ(Reports::status, std::vector<std::string>{"get host failed"});
    EXPECT_EQ(Reports::log, std::vector<std::string>{"get host failed"});
    EXPECT_EQ(client.Socket, kNoSocket);
}

TEST_F(ClientTest, ARefusedConnectionIsReported)
{
    // A port that was just free again: nobody listens there.
    uint16_t port;
    CloseSocket(ListenOnLoopback(1, &port));
    ASSERT_EQ(client.Setup("127.0.0.1", port, "PC01", ""), 0);
    EXPECT_EQ(client.SocketConnect(), 1);
    EXPECT_EQ(Reports::log, std::vector<std::string>{"connect() failed"});
}

TEST_F(ClientTest, AnUnreachableProxyIsNamedAfterTheUsualTextAndTheServerIsNeverLookedUp)
{
    uint16_t port;
    CloseSocket(ListenOnLoopback(1, &port));
    ASSERT_EQ(client.Setup("no-such-host.invalid", 7000, "PC01", ""), 0);
    ASSERT_EQ(client.SetProxy("127.0.0.1", port), 0);
    EXPECT_EQ(client.SocketConnect(), 1);
    const std::string named = "Proxy 127.0.0.1:" + std::to_string(port) + " cannot be reached";
    EXPECT_EQ(Reports::log, (std::vector<std::string>{"connect() failed", named}));
}

// The proxy's answer to CONNECT is input, read within its bounds; anything but
// a bare 2xx head ends the connect before a byte of TLS. A tunnel opened and
// one refused with a plain answer are tested end to end.
TEST_F(ClientTest, AProxysAnswerToConnectEndsTheConnectUnlessItIsABare2xxHead)
{
    struct Case {
        std::string answer;
        size_t pieceSize;
        const char* report;
        int pauseMilliseconds = 1;
    };
    const Case cases[] = {
        {"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", 1,
         "Proxy refused the tunnel: HTTP/1.0 407 Proxy Authentication Required"},
        {std::string(5000, 'x'), 0, "Proxy reply too long"},
        {"HTTP/1.0 200 Connection established\r\n\r\n\x16\x03\x03", 0,
         "Proxy sent data into the tunnel before it opened"},
        // Every byte within the read time-out, the head as a whole not.
        {"HTTP/1.0 200 Connection established\r\n\r\n", 1, "Read socket timeout, server is maybe not active", 20},
    };
    for (const Case& c : cases) {
        SetUp();
        ScriptedServer proxy([&](const ScriptedRequest&) {
            ScriptedAnswer answer;
            answer.bytes = c.answer;
            answer.pieceSize = c.pieceSize;
            answer.pauseMilliseconds = c.pauseMilliseconds;
            answer.closeAfter = true;
            return answer;
        });
        ASSERT_EQ(client.Setup("print.example", 65536 + 443, "PC01", ""), 0);
        ASSERT_EQ(client.SetProxy("127.0.0.1", proxy.Port()), 0);
        client.UseTls = true;
        EXPECT_EQ(client.SocketConnect(), 1);
        EXPECT_EQ(Reports::log, std::vector<std::string>{c.report});
        EXPECT_EQ(client.Socket, kNoSocket);
        ASSERT_EQ(proxy.Requests().size(), 1u);
        EXPECT_EQ(proxy.Requests()[0].head, "CONNECT print.example:443 HTTP/1.1\r\nHost: print.example:443");
    }
}

TEST_F(ClientTest, SetupRefusesTextsLongerThanTheirFields)
{
    const std::string longest63(63, 'h');
    const std::string cipher255(255, 'c');
    EXPECT_EQ(client.Setup(longest63.c_str(), 1, longest63.c_str(), cipher255.c_str()), 0);
    EXPECT_EQ(client.Host, longest63);
    EXPECT_EQ(client.Cipher, cipher255);

    PrintClient fresh;
    EXPECT_EQ(fresh.Setup(std::string(64, 'h').c_str(), 1, "PC", ""), 1);
    EXPECT_EQ(fresh.Setup("h", 1, std::string(64, 'n').c_str(), ""), 1);
    EXPECT_EQ(fresh.Setup("h", 1, "PC", std::string(256, 'c').c_str()), 1);
    EXPECT_STREQ(fresh.Host, "");
}

TEST_F(ClientTest, ReportFormattedReachesTheStatusDisplayOnly)
{
    client.ReportFormatted("%s %d", "code", 7);
    EXPECT_EQ(Reports::status, std::vector<std::string>{"code 7"});
    EXPECT_TRUE(Reports::log.empty());
}

}  // namespace
