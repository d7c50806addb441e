// The Windows TLS channel against a real TLS server on loopback (tls_peer.py,
// started by the test run), with the test CA among the prefix's trusted roots.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/tls_refusals.h"
#include "transport/tls_channel.h"

namespace {

const int kWait = 5000;

int PeerPort(const char* listener)
{
    FILE* file = fopen(TLS_PEER_PORTS, "r");
    if (file == nullptr)
        return 0;
    char name[32];
    int port = 0;
    int found = 0;
    while (found == 0 && fscanf(file, "%31s %d", name, &port) == 2) {
        if (strcmp(name, listener) == 0)
            found = port;
    }
    fclose(file);
    return found;
}

class Connection {
public:
    explicit Connection(const char* listener)
    {
        socket_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(PeerPort(listener)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Connection()
    {
        TlsClose(channel);
        CloseSocket(socket_);
    }
    bool Open(const char* host, int timeoutMilliseconds = kWait)
    {
        reason[0] = 0;
        channel = connected_ ? TlsOpen(socket_, host, timeoutMilliseconds, reason, sizeof reason) : nullptr;
        return channel != nullptr;
    }
    bool Send(const std::string& text) { return TlsSend(channel, text.data(), static_cast<int32_t>(text.size())) == 0; }
    // Reads exactly count bytes, or what came before the channel ended.
    std::string Receive(size_t count)
    {
        std::string data;
        char buffer[8192];
        while (data.size() < count) {
            const int got = TlsReceive(channel, buffer, sizeof buffer, kWait, reason, sizeof reason);
            if (got <= 0)
                break;
            data.append(buffer, static_cast<size_t>(got));
        }
        return data;
    }
    bool WaitForServer() { return WaitReadable(socket_, kWait) > 0; }
    void Close()
    {
        TlsClose(channel);
        channel = nullptr;
        CloseSocket(socket_);
        socket_ = kNoSocket;
    }

    TlsChannel* channel = nullptr;
    char reason[kTlsReasonCapacity];

private:
    SocketHandle socket_ = kNoSocket;
    bool connected_ = false;
};

// What the server saw on a listener: application bytes, and how the last
// connection ended ("notify" or "ragged").
std::string SeenBy(const char* listener)
{
    Connection query("server");
    if (!query.Open("localhost") || !query.Send(std::string("seen ") + listener + "\n"))
        return "no answer";
    std::string answer;
    char byte;
    while (answer.find('\n') == std::string::npos &&
           TlsReceive(query.channel, &byte, 1, kWait, query.reason, sizeof query.reason) == 1)
        answer += byte;
    return answer.substr(0, answer.find('\n'));
}

class SchannelChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

TEST_F(SchannelChannelTest, CarriesRequestsBothWaysOnOneConnection)
{
    // A host name (SNI and the name check) and the dotted address (the
    // certificate's IP entry).
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        Connection connection("server");
        ASSERT_TRUE(connection.Open(host)) << connection.reason;
        // Larger than one record each way, then a small one on the same connection.
        for (size_t length : {size_t{40000}, size_t{7}}) {
            std::string payload(length, '\0');
            for (size_t i = 0; i < length; ++i)
                payload[i] = static_cast<char>(i * 7 + length);
            ASSERT_TRUE(connection.Send("echo " + std::to_string(length) + "\n" + payload));
            EXPECT_EQ(payload, connection.Receive(length));
            EXPECT_FALSE(TlsConnectionStale(connection.channel));
        }
    }
}

TEST_F(SchannelChannelTest, RefusesServersItCannotVerifyBeforeAnythingIsSent)
{
    for (const TlsRefusalRow& row : kTlsRefusalRows) {
        SCOPED_TRACE(row.server);
        Connection connection(row.server);
        EXPECT_FALSE(connection.Open(row.host, kTlsRefusalMilliseconds));
        EXPECT_STREQ(row.reason, connection.reason);
        connection.Close();
        EXPECT_EQ("0 ragged", SeenBy(row.server));
    }
}

TEST_F(SchannelChannelTest, SeesThePeerCloseWithOrWithoutCloseNotify)
{
    Connection notifying("server");
    ASSERT_TRUE(notifying.Open("localhost")) << notifying.reason;
    ASSERT_TRUE(notifying.Send("close-notify\n"));
    // The close_notify is consumed before a request would go out.
    ASSERT_TRUE(notifying.WaitForServer());
    EXPECT_TRUE(TlsConnectionStale(notifying.channel));
    char buffer[16];
    EXPECT_EQ(0, TlsReceive(notifying.channel, buffer, sizeof buffer, kWait, notifying.reason, kTlsReasonCapacity));

    Connection dropping("server");
    ASSERT_TRUE(dropping.Open("localhost")) << dropping.reason;
    ASSERT_TRUE(dropping.Send("drop\n"));
    EXPECT_EQ(0, TlsReceive(dropping.channel, buffer, sizeof buffer, kWait, dropping.reason, kTlsReasonCapacity));

    Connection broken("server");
    ASSERT_TRUE(broken.Open("localhost")) << broken.reason;
    ASSERT_TRUE(broken.Send("garbage\n"));
    EXPECT_EQ(-1, TlsReceive(broken.channel, buffer, sizeof buffer, kWait, broken.reason, kTlsReasonCapacity));
    EXPECT_NE('\0', broken.reason[0]);
}

TEST_F(SchannelChannelTest, ClosesWithCloseNotifyAndSeesUnreadData)
{
    Connection connection("server-3");
    ASSERT_TRUE(connection.Open("localhost")) << connection.reason;
    ASSERT_TRUE(connection.Send("echo 3\nabc"));
    // An answer nobody asked for makes the connection unfit for a request.
    ASSERT_TRUE(connection.WaitForServer());
    EXPECT_TRUE(TlsConnectionStale(connection.channel));
    connection.Close();
    EXPECT_EQ("10 notify", SeenBy("server-3"));
}

}  // namespace
