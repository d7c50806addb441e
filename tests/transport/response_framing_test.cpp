// How responses are framed and judged, each fed whole and one byte at a time.
#include "tests/transport/client_fixture.h"

namespace {

struct FramingCase {
    const char* name;
    std::string response;
    int result;
    std::string body;
    int statusCode;
    bool onlyWhole;  // the outcome depends on what arrives together with the head
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const FramingCase& c, std::ostream* out) { *out << c.name; }


std::string Chunked(const std::string& chunks)
{
    return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
}

const FramingCase kFramingCases[] = {
    {"ContentLength", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 0, "hello", 200, false},
    {"ContentLengthInAnyCase", "HTTP/1.1 200 OK\r\ncOnTeNt-LeNgTh: 5\r\n\r\nhello", 0, "hello", 200, false},
    {"ContentLengthSmallerThanData", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nhello", 0, "hel", 200, false},
    {"HeadEndedByLfLf", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", 0, "ok", 200, false},
    {"HeadEndedByCrCr", "HTTP/1.1 200 OK\rContent-Length: 2\r\rok", 0, "ok", 200, false},
    {"NoReasonPhraseTakesALaterBlank", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", 0, "ok", 200, false},
    {"NoSecondBlankAnywhereIsNoStatus", "HTTP/1.1 200\r\nContent-Length:2\r\n\r\nok", 1, "ok", 0, false},
    {"BytesBeforeHttpAreSkipped", "xyHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 0, "ok", 200, false},
    {"NoLengthTakesWhatCameWithTheHead", "HTTP/1.1 200 OK\r\n\r\nabc", 0, "abc", 200, true},
    {"OneChunk", Chunked("5\r\nhello\r\n0\r\n\r\n"), 0, "hello", 200, false},
    {"TwoChunks", Chunked("5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"), 0, "hello world", 200, false},
    {"ChunkExtensionsAreSkipped", Chunked("5;name=beef\r\nhello\r\n0;last\r\n\r\n"), 0, "hello", 200, false},
    {"UpperCaseSizeDigits", Chunked("A\r\n0123456789\r\n0\r\n\r\n"), 0, "0123456789", 200, false},
    {"CapitalChunkedIsNoCoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0,
     "5\r\nhello\r\n0\r\n\r\n", 200, true},
    {"NotFoundStillDeliversItsBody", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\ngone", 1, "gone", 404, false},
    // In one read or byte by byte, the interim response is its head alone.
    {"ContinueThenFinal", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", 0, "ok", 200,
     false},
};

std::vector<FramingCase> SplitIndependentCases()
{
    std::vector<FramingCase> cases;
    for (const FramingCase& c : kFramingCases) {
        if (!c.onlyWhole)
            cases.push_back(c);
    }
    return cases;
}

class FramingTest : public ClientTest, public ::testing::WithParamInterface<std::tuple<FramingCase, size_t>> {};

TEST_P(FramingTest, DeliversTheBodyAndJudgesTheStatus)
{
    const FramingCase& c = std::get<0>(GetParam());
    size_t pieceSize = std::get<1>(GetParam());

    ScriptedServer server([&](const ScriptedRequest&) {
        ScriptedAnswer answer;
        answer.bytes = c.response;
        answer.pieceSize = pieceSize;
        answer.closeAfter = true;
        return answer;
    });
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);

    EXPECT_EQ(Exchange(), c.result);
    EXPECT_EQ(Body(), c.body);
    EXPECT_EQ(client.Head.StatusCode, c.statusCode);
}

std::string FramingName(const ::testing::TestParamInfo<std::tuple<FramingCase, size_t>>& info)
{
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) == 0 ? "" : "_ByteByByte");
}

INSTANTIATE_TEST_SUITE_P(Whole, FramingTest,
                         ::testing::Combine(::testing::ValuesIn(kFramingCases), ::testing::Values(size_t{0})),
                         FramingName);
INSTANTIATE_TEST_SUITE_P(Split, FramingTest,
                         ::testing::Combine(::testing::ValuesIn(SplitIndependentCases()), ::testing::Values(size_t{1})),
                         FramingName);

TEST_F(ClientTest, ANonOkStatusShowsTheWholeHeadOnTheStatusDisplayOnly)
{
    ScriptedServer server(Answer("HTTP/1.1 404 Not Found\r\nServer: x\r\nContent-Length: 4\r\n\r\ngone"));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    EXPECT_EQ(Exchange(), 1);
    EXPECT_EQ(Reports::status, std::vector<std::string>{"HTTP/1.1 404 Not Found\r\nServer: x\r\nContent-Length: 4"});
    EXPECT_TRUE(Reports::log.empty());
}

TEST_F(ClientTest, AHeadWithoutHttpFailsSilently)
{
    ScriptedServer server(Answer("SMTP ready\r\n\r\n"));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    EXPECT_EQ(Exchange(), 1);
    EXPECT_TRUE(Reports::status.empty());
    EXPECT_TRUE(Reports::log.empty());
}

TEST_F(ClientTest, TheHeadCopyEndsAtTheMarker)
{
    ScriptedServer server(Answer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    SetUpFor(server);
    ASSERT_EQ(client.SocketConnect(), 0);
    char head[128];
    ASSERT_EQ(client.httpRequest("p", nullptr, "", head, sizeof head, nullptr, 0, nullptr), 0);
    EXPECT_STREQ(head, "HTTP/1.1 200 OK\r\nContent-Length: 2");
}

}  // namespace
