// Responses that cannot be read whole fail the exchange: no partial body is
// ever delivered as success, and nothing is written past a buffer.
#include "tests/transport/client_fixture.h"

namespace {

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct BrokenCase {
    const char* name;
    std::string response;
    bool closeAfter;  // else the server goes quiet and the client times out
    std::vector<std::string> log;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const BrokenCase& c, std::ostream* out) { *out << c.name; }


const BrokenCase kBrokenCases[] = {
    {"ChunkSizeOverflowing", kChunkedHead + "FFFFFFFFFFFFFFFFFFFF\r\nhello", false, {"Invalid chunked reply"}},
    {"ChunkLargerThanTheBuffer", kChunkedHead + "10000\r\nhello", false, {"Invalid chunked reply"}},
    {"PeerClosesInsideAChunk", kChunkedHead + "A\r\nhello", true, {"Partner program has issued a closesocket()\n"}},
    {"PeerClosesBeforeASizeLineEnds", kChunkedHead + "5\r\nhello\r\n0", true,
     {"Partner program has issued a closesocket()\n"}},
    {"QuietInsideAChunk", kChunkedHead + "A\r\nhello", false, {"Read socket timeout, server is maybe not active"}},
    {"NoChunkAtAll", kChunkedHead, true, {"Partner program has issued a closesocket()\n"}},
    {"NegativeContentLength", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nhello", false, {"Invalid Content-Length"}},
    {"PeerClosesInsideAContentLengthBody", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello", true,
     {"Partner program has issued a closesocket()\n"}},
};

class BrokenResponseTest : public ClientTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenResponseTest, FailsWithoutDeliveringABody)
{
    const BrokenCase& c = GetParam();
    ScriptedServer server([&](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.bytes = c.response;
        answer.closeAfter = c.closeAfter;
        answer.stall = !c.closeAfter;
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(Exchange(), 1);
    EXPECT_EQ(bodyLength, -1);
    EXPECT_EQ(Reports::log, c.log);
    // What is left of the response would be read as the next one.
    EXPECT_EQ(client.Socket, kNoSocket);
}

INSTANTIATE_TEST_SUITE_P(Responses, BrokenResponseTest, ::testing::ValuesIn(kBrokenCases),
                         [](const ::testing::TestParamInfo<BrokenCase>& info) { return std::string(info.param.name); });

TEST_F(ClientTest, ABodyLargerThanTheCallersBufferFails)
{
    ScriptedServer server(Answer(OkResponse("0123456789")));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    char small[10] = {};
    char guard[4] = {'g', 'g', 'g', 0};
    int32_t length = -1;
    EXPECT_EQ(client.httpRequest("p", nullptr, "", nullptr, 0, small, 9, &length), 1);
    EXPECT_EQ(length, -1);
    EXPECT_STREQ(guard, "ggg");
    EXPECT_EQ(Reports::log, std::vector<std::string>{"Reply too long"});

    // Exactly the capacity fits.
    EXPECT_EQ(client.httpRequest("p", nullptr, "", nullptr, 0, small, 10, &length), 0);
    EXPECT_EQ(length, 10);
}

TEST_F(ClientTest, AHeadLargerThanTheCallersBufferFails)
{
    ScriptedServer server(Answer(OkResponse("")));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    char head[8];
    EXPECT_EQ(client.httpRequest("p", nullptr, "", head, sizeof head, nullptr, 0, nullptr), 1);
    EXPECT_EQ(Reports::log, std::vector<std::string>{"Reply too long"});
}

TEST_F(ClientTest, OverlongHeaderNamesAndValuesAreCutAndTheKnownFieldsStillWork)
{
    std::string response = "HTTP/1.1 200 OK\r\nX-" + std::string(400, 'n') + ": " + std::string(3000, 'v') +
                           "\r\nContent-Length-" + std::string(300, 'x') + ": 2\r\n\r\nok";
    ScriptedServer server(Answer(response));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    EXPECT_EQ(Exchange(), 0);
    EXPECT_EQ(Body(), "ok");
}

TEST_F(ClientTest, AResponseFillingTheWholeBufferFails)
{
    std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 70000\r\n\r\n" + std::string(70000, 'b');
    ScriptedServer server(Answer(response, true));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    EXPECT_EQ(Exchange(), 1);
    EXPECT_EQ(bodyLength, -1);
}

TEST(ParseResponseHead, ReadsStatusAndKnownFieldsAndStopsAtTheHeadEnd)
{
    char text[] = "junkHTTP/1.0 201 Created\r\nTransfer-Encoding: gzip, chunked\r\ncontent-length: 12";
    ResponseHead head;
    ASSERT_EQ(PrintClient::ParseResponseHead(&head, text, text + sizeof text), 0);
    EXPECT_EQ(head.StatusCode, 201);
    EXPECT_EQ(head.Chunked, 1);
    EXPECT_EQ(head.ContentLength, 12);
    EXPECT_EQ(head.StatusLine, text + 4);
    EXPECT_EQ(head.HeadLength, static_cast<int32_t>(sizeof text));
    EXPECT_EQ(head.Close, 1) << "HTTP/1.0 without keep-alive";
    char kept[] = "HTTP/1.0 200 OK\r\nConnection: Keep-Alive";
    ASSERT_EQ(PrintClient::ParseResponseHead(&head, kept, kept + sizeof kept), 0);
    EXPECT_EQ(head.Close, 0);

    char none[] = "no status line";
    EXPECT_EQ(PrintClient::ParseResponseHead(&head, none, none + 3), -2);
    EXPECT_EQ(head.HeadLength, 3);
    EXPECT_EQ(head.StatusCode, 0);
}

}  // namespace
