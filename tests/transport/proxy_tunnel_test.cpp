// Through an HTTP proxy: the proxy's answer to CONNECT as input, and a proxy
// that cannot be reached. The plain request's target is a row of the request
// head table; a tunnel opened and refused (403, 407) is tested end to end.
#include "tests/support/loopback_peer.h"
#include "tests/transport/client_fixture.h"

namespace {

struct TunnelCase {
    const char* name;
    ScriptedAnswer answer;
    std::vector<std::string> reports;
};

void PrintTo(const TunnelCase& c, std::ostream* out) { *out << c.name; }

// The proxy's answer, then its close.
ScriptedAnswer ProxyAnswer(const std::string& bytes, size_t pieceSize = 0)
{
    ScriptedAnswer answer;
    answer.bytes = bytes;
    answer.pieceSize = pieceSize;
    answer.closeAfter = true;
    return answer;
}

class ProxyTunnelTest : public ClientTest, public ::testing::WithParamInterface<TunnelCase> {};

// Anything but a bare 2xx head ends the connect before a byte of TLS.
TEST_P(ProxyTunnelTest, AsksForATunnelToTheServerAndReadsTheAnswerWithinItsBounds)
{
    const TunnelCase& c = GetParam();
    ScriptedServer proxy([&](const ScriptedRequest&) { return c.answer; });
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
        TunnelCase{"RefusedByteByByte",
                   ProxyAnswer("HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", 1),
                   {"Proxy refused the tunnel: HTTP/1.0 407 Proxy Authentication Required"}},
        TunnelCase{"AHeadBeyondTheBufferIsRefused", ProxyAnswer(std::string(5000, 'x')), {"Proxy reply too long"}},
        TunnelCase{"DataAfterTheHeadIsNotTheServers", ProxyAnswer(std::string(kEstablished) + "\x16\x03\x03"),
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
