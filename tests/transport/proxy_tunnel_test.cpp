// Through an HTTP proxy: the tunnel TLS asks for, and a proxy that cannot be
// reached. The plain request's target is a row of the request head table.
#include "tests/support/loopback_peer.h"
#include "tests/transport/client_fixture.h"

namespace {

struct TunnelCase {
    const char* name;
    std::string reply;
    size_t pieceSize;
    std::vector<std::string> reports;
    bool stall = false;  // keep the connection open, answering nothing more
};

void PrintTo(const TunnelCase& c, std::ostream* out) { *out << c.name; }

class ProxyTunnelTest : public ClientTest, public ::testing::WithParamInterface<TunnelCase> {};

// Every answer but a bare 2xx head ends the connect before a byte of TLS.
TEST_P(ProxyTunnelTest, AsksForATunnelToTheServerAndGoesOnOnlyAfterA2xxHead)
{
    const TunnelCase& c = GetParam();
    ScriptedServer proxy([&](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.bytes = c.reply;
        answer.pieceSize = c.pieceSize;
        answer.closeAfter = !c.stall;
        answer.stall = c.stall;
        return answer;
    });
    ASSERT_EQ(client.Setup("print.example", 65536 + 443, "PC01", ""), 0);
    ASSERT_EQ(client.SetProxy("127.0.0.1", proxy.Port()), 0);
    client.UseTls = true;

    EXPECT_EQ(client.SocketConnect(), 1);

    EXPECT_EQ(Reports::log, c.reports);
    EXPECT_EQ(client.Socket, kNoSocket);
    ASSERT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(proxy.Requests()[0].head, "CONNECT print.example:443 HTTP/1.1\r\nHost: print.example:443");
}

const char kEstablished[] = "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n";
INSTANTIATE_TEST_SUITE_P(
    Replies, ProxyTunnelTest,
    ::testing::Values(
        TunnelCase{"EstablishedGoesOnToTheHandshake", kEstablished, 0,
                   {"TLS handshake failed: server did not answer in time"}, true},
        TunnelCase{"RefusedNamesTheStatusLine",
                   "HTTP/1.1 403 Access violation\r\nContent-Type: text/html\r\n\r\n<html/>", 0,
                   {"Proxy refused the tunnel: HTTP/1.1 403 Access violation"}},
        TunnelCase{"AuthenticationIsRefusedByteByByte",
                   "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", 1,
                   {"Proxy refused the tunnel: HTTP/1.0 407 Proxy Authentication Required"}},
        TunnelCase{"NoStatusLineIsARefusal", "hello\n\n", 0, {"Proxy refused the tunnel: hello"}},
        TunnelCase{"ClosedWithoutAnswer", "", 0, {"Partner program has issued a closesocket()\n"}},
        TunnelCase{"AHeadBeyondTheBufferIsRefused", std::string(5000, 'x'), 0, {"Proxy reply too long"}},
        TunnelCase{"DataAfterTheHeadIsNotTheServers", std::string(kEstablished) + "\x16\x03\x03", 0,
                   {"Proxy sent data into the tunnel before it opened"}}),
    [](const ::testing::TestParamInfo<TunnelCase>& info) { return std::string(info.param.name); });

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

}  // namespace
