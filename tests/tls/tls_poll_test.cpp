// Polls over TLS: the scripted service behind a TLS server on loopback that
// holds one of the committed test certificates, with the test CA trusted.
#include <openssl/ssl.h>

#include <algorithm>

#include "tests/protocol/poll_fixture.h"
#include "tests/support/tls_front.h"
#include "tests/support/tls_refusals.h"

namespace {

using EventList = std::vector<DisplayEvent>;

class TlsPollTest : public PollTest {
protected:
    void SetUp() override
    {
        PollTest::SetUp();
        TrustTestCa();
        // The whole handshake must end within the head time-out.
        TransportTimeouts.headMilliseconds = kTlsRefusalMilliseconds;
    }

    void TearDown() override
    {
        client_.reset();
        front_.reset();
        PollTest::TearDown();
    }

    void StartFront(const TlsFrontOptions& options) { front_.reset(new TlsFront(server_->Port(), options)); }

    // A TLS client of the TLS server, or of another port.
    PrintClient* TlsClient(const char* host, uint16_t port = 0)
    {
        client_.reset(new PrintClient);
        client_->Setup(host, port != 0 ? port : front_->Port(), "PC01", kCipher);
        client_->UseTls = true;
        client_->BlocksInFlight = blocksInFlight;
        display_recorder::Attach(client_.get());
        return client_.get();
    }
    int PollOverTls(const char* host, uint16_t port = 0) { return RunPollCycle(TlsClient(host, port)); }

    std::unique_ptr<TlsFront> front_;
};

TEST_F(TlsPollTest, PrintsAJobByteForByteOverOneConnectionPerPoll)
{
    // TLS 1.2 with a dotted address (no SNI, the IP address checked), TLS 1.3
    // with a host name, a session ticket after every reply and the blocks
    // requested in flight.
    const struct {
        int maxVersion;
        const char* host;
        int32_t blocksInFlight;
    } rows[] = {{TLS1_2_VERSION, "127.0.0.1", 1}, {TLS1_3_VERSION, "localhost", 4}};
    std::string data(10000, 0);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 256);

    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        spooler_double::Reset();
        Script("qryspool", JobReply("job7.spl", "10000", "Report", "Office Laser", "42"));
        ServeBlocks(data, {4096, 4096, 1808});
        TlsFrontOptions options;
        options.maxVersion = row.maxVersion;
        StartFront(options);
        blocksInFlight = row.blocksInFlight;
        size_t blocksBefore = RequestsFor("spooldata").size();
        size_t printedBefore = RequestsFor("printed").size();

        EXPECT_EQ(PollOverTls(row.host), 0);

        EXPECT_EQ(spooler_double::WrittenBytes(), data);
        EXPECT_EQ(RequestsFor("spooldata").size() - blocksBefore, 3u);
        EXPECT_EQ(RequestsFor("printed").size() - printedBefore, 1u);
        front_->Stop();
        EXPECT_EQ(front_->Connections(), 1);
        EXPECT_EQ(front_->Handshakes(), 1);
    }
    EXPECT_TRUE(KeepAlive);
}

TEST_F(TlsPollTest, RefusesAServerItCannotVerifyBeforeSendingAnything)
{
    for (const TlsRefusalRow& row : kTlsRefusalRows) {
        SCOPED_TRACE(row.server);
        display_recorder::Reset();
        StartFront(RefusingServer(row.server));

        EXPECT_EQ(PollOverTls(row.host), 1);

        const std::string text = std::string("TLS handshake failed: ") + row.reason;
        EXPECT_EQ(Events(), (EventList{ProgressEvent(1, 10), StatusEvent("Connect"), StatusEvent(text),
                                    LogEvent(text), ProgressEvent(0, 0)}));
        EXPECT_EQ(client_->Socket, kNoSocket);
        front_->Stop();
        EXPECT_EQ(front_->Connections(), 1);
        EXPECT_EQ(front_->BytesReceived(), 0u) << "nothing may follow a failed handshake";
    }

    // A plain service waits for a request and never answers the hello: the
    // head time-out ends the handshake.
    EXPECT_EQ(PollOverTls("127.0.0.1", server_->Port()), 1);
    EXPECT_EQ(Events()[Events().size() - 2], LogEvent("TLS handshake failed: server did not answer in time"));
    EXPECT_TRUE(server_->Requests().empty());
}

TEST_F(TlsPollTest, ARequestWhoseHandshakeFailsEndsWithTheHandshakesReasonAlone)
{
    // Without keep-alive a request connects by itself. Nothing of it went
    // out, so no send or receive failure may follow the refusal.
    KeepAlive = false;
    StartFront(RefusingServer("untrusted"));

    EXPECT_EQ(TlsClient("localhost")->httpRequest("ping", nullptr, "", nullptr, 0, nullptr, 0, nullptr), 1);

    const char* text = "TLS handshake failed: certificate not trusted";
    EXPECT_EQ(Events(), (EventList{StatusEvent(text), LogEvent(text)}));
    EXPECT_EQ(client_->Socket, kNoSocket);
}

TEST_F(TlsPollTest, AServerEndingTheConnectionMidReplyFailsThePoll)
{
    // The reply announces 100 bytes and sends 5, then the server goes.
    ScriptedAnswer cut;
    cut.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nSPOOL";
    cut.closeAfter = true;
    const struct {
        TlsEnding ending;
        const char* text;
    } rows[] = {
        {TlsEnding::CloseNotify, "Partner program has issued a closesocket()\n"},
        {TlsEnding::PlainClose, "Partner program has issued a closesocket()\n"},
        {TlsEnding::BrokenRecord, "TLS connection failed: decryption failed or bad record mac"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        KeepAlive = true;
        display_recorder::Reset();
        Script("qryspool", std::vector<ScriptedAnswer>{cut});
        TlsFrontOptions options;
        options.ending = row.ending;
        StartFront(options);

        EXPECT_EQ(PollOverTls("localhost"), 1);

        const EventList& events = Events();
        EXPECT_NE(std::find(events.begin(), events.end(), LogEvent(row.text)), events.end())
            << ::testing::PrintToString(events);
        EXPECT_FALSE(KeepAlive) << "a broken connection ends keep-alive, as over plain TCP";
        EXPECT_EQ(client_->Socket, kNoSocket);
    }
}

TEST_F(TlsPollTest, ASendThatCannotGoOutFailsWithoutEndingTheProgram)
{
    StartFront(TlsFrontOptions());
    ASSERT_EQ(TlsClient("localhost")->SocketConnect(), 0);
    // Every send on the connection now fails with EPIPE, which on Linux also
    // raises SIGPIPE unless the send asks it not to.
    shutdown(client_->Socket, SHUT_WR);

    EXPECT_EQ(client_->SocketSend("POST", 4), 1);

    EXPECT_EQ(Events(), (EventList{StatusEvent("write() failed"), LogEvent("write() failed"),
                                StatusEvent("SO_ERROR was 0"), LogEvent("SO_ERROR was 0")}));
    EXPECT_EQ(client_->Socket, kNoSocket);
}

}  // namespace
