// The request bytes on the wire, exactly.
#include "tests/transport/client_fixture.h"

namespace {

const char kCommonLines[] = "User-Agent: Tarnwick Jan  9 2014\r\nConnection: Keep-Alive\r\nHost: 127.0.0.1";

struct HeadCase {
    const char* name;
    const char* extraHeader;
    const char* body;
    std::string expectedHead;
    bool throughProxy = false;  // the server 127.0.0.1:7000, reached through the scripted one
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const HeadCase& c, std::ostream* out) { *out << c.name; }


class RequestHeadTest : public ClientTest, public ::testing::WithParamInterface<HeadCase> {};

TEST_P(RequestHeadTest, SendsTheHeadLinesInOrderAndTheBodyAsIs)
{
    const HeadCase& c = GetParam();
    ScriptedServer server(Answer(OkResponse("")));
    SetUpFor(server);
    if (c.throughProxy) {
        ASSERT_EQ(client.Setup("127.0.0.1", 7000, "PC01", "cipher"), 0);
        ASSERT_EQ(client.SetProxy("127.0.0.1", server.Port()), 0);
    }
    ASSERT_EQ(client.SocketConnect(), 0);
    ASSERT_EQ(client.httpRequest("a/b?func=ping", c.extraHeader, c.body, nullptr, 0, nullptr, 0, nullptr), 0);

    std::vector<ScriptedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].head, c.expectedHead);
    EXPECT_EQ(requests[0].body, c.body);
}

const std::string kLength3 = "Content-Length: 3\r\n";
INSTANTIATE_TEST_SUITE_P(
    Heads, RequestHeadTest,
    ::testing::Values(
        HeadCase{"NullHeaderGivesTextHtmlSecond", nullptr, "abc",
                 "POST /a/b?func=ping HTTP/1.1\r\nContent-Type: text/html\r\n" + kLength3 + kCommonLines},
        HeadCase{"XmlHeaderComesAfterHost", "Content-Type: application/xml", "abc",
                 "POST /a/b?func=ping HTTP/1.1\r\n" + kLength3 + kCommonLines + "\r\nContent-Type: application/xml"},
        HeadCase{"HeaderEndingInCrLfGetsNoSecond", "Content-Type: application/xml\r\n", "abc",
                 "POST /a/b?func=ping HTTP/1.1\r\n" + kLength3 + kCommonLines + "\r\nContent-Type: application/xml"},
        HeadCase{"HeaderStartingWithABlankIsLeftOut", " X-Note: 1", "abc",
                 "POST /a/b?func=ping HTTP/1.1\r\n" + kLength3 + kCommonLines},
        HeadCase{"EmptyBodyAnnouncesZero", "Content-Type: application/xml", "",
                 "POST /a/b?func=ping HTTP/1.1\r\nContent-Length: 0\r\n" + std::string(kCommonLines) +
                     "\r\nContent-Type: application/xml"},
        HeadCase{"ThroughAProxyTheTargetNamesTheServerAndAllElseStays", "Content-Type: application/xml", "abc",
                 "POST http://127.0.0.1:7000/a/b?func=ping HTTP/1.1\r\n" + kLength3 + kCommonLines +
                     "\r\nContent-Type: application/xml",
                 true}),
    [](const ::testing::TestParamInfo<HeadCase>& info) { return std::string(info.param.name); });

TEST_F(ClientTest, ThePathIsSentUnescaped)
{
    ScriptedServer server(Answer(OkResponse("")));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    client.httpRequest(".0001/admin/rmtprt.$.aspx?func=ping", nullptr, "", nullptr, 0, nullptr, 0, nullptr);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].path, ".0001/admin/rmtprt.$.aspx?func=ping");
}

}  // namespace
