#include "transport/print_client.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "transport/host_lookup.h"
#include "transport/tls_host.h"

bool KeepAlive = true;
ReceiveTimeouts TransportTimeouts = {15000, 3000};

// Process-wide, as one client exists at a time; filled anew by every connect.
static sockaddr_in ConnectAddress;
// Where the platform's connect is bounded by ours: a server whose backlog is
// full would otherwise hold a poll for minutes.
static constexpr int kConnectMilliseconds = 15000;

PrintClient::PrintClient()
    : Socket(kNoSocket), Head(), Cipher(), ComputerName(), Host(), Port(0),
      OnProgress(nullptr), OnStatus(nullptr), OnLog(nullptr), UseTls(false), Channel(nullptr), ProxyHost(),
      ProxyPort(0), BlocksInFlight(1), LongPoll(0), HeldReplyMilliseconds(0), RequestsUnanswered(0),
      RepliesOnConnection(0), SendingEnded(false), ReceiveTimeoutSet(0), SendTimeoutSet(0), ReceivedHeld(0),
      ResponseStart(0)
{
    Received[0] = 0;
    Received[1] = 0;
}

PrintClient::~PrintClient()
{
    SocketClose();
}

static bool Fits(const char* text, size_t capacity)
{
    return strlen(text) < capacity;
}

int PrintClient::Setup(const char* host, int32_t port, const char* computerName, const char* cipher)
{
    if (!Fits(host, sizeof Host) || !Fits(computerName, sizeof ComputerName) || !Fits(cipher, sizeof Cipher))
        return 1;
    strcpy(Host, host);
    Port = port;
    strcpy(ComputerName, computerName);
    strcpy(Cipher, cipher);
    return 0;
}

int PrintClient::SocketConnect()
{
    // A connection still held would otherwise leak when the new one replaces it.
    SocketClose();
    Socket = socket(AF_INET, SOCK_STREAM, 0);
    if (Socket == kNoSocket) {
        ReportError("socket() failed");
        return 1;
    }
    DisableNagle(Socket);

    // Through a proxy every connection goes to the proxy instead.
    const char* host = ProxyPort != 0 ? ProxyHost : Host;
    memset(&ConnectAddress, 0, sizeof ConnectAddress);
    ConnectAddress.sin_family = AF_INET;
    ConnectAddress.sin_port = htons(static_cast<uint16_t>(ProxyPort != 0 ? ProxyPort : Port));
    // Digits and dots only: a dotted address, never looked up by name.
    if (IsDottedAddress(host)) {
        ConnectAddress.sin_addr.s_addr = inet_addr(host);
    } else if (!LookUpHost(host, &ConnectAddress.sin_addr)) {
        SocketClose();
        ReportError("get host failed");
        ReportProxyUnreachable();
        return 1;
    }

    if (ConnectWithin(Socket, reinterpret_cast<sockaddr*>(&ConnectAddress), sizeof ConnectAddress,
                      kConnectMilliseconds) != 0) {
        ReportError("connect() failed");
        ReportProxyUnreachable();
        return 1;
    }
    // Every new connection to the proxy asks for its own tunnel.
    if (UseTls && ProxyPort != 0 && OpenProxyTunnel() != 0) {
        SocketClose();
        return 1;
    }
    if (UseTls) {
        char reason[kTlsReasonCapacity];
        Channel = TlsOpen(Socket, Host, TransportTimeouts.headMilliseconds, reason, sizeof reason);
        if (Channel == nullptr) {
            char text[32 + kTlsReasonCapacity];
            snprintf(text, sizeof text, "TLS handshake failed: %s", reason);
            ReportError(text);
            // Not a byte of the request may follow on this connection.
            SocketClose();
            return 1;
        }
    }
    return 0;
}

// 0 when all of data went out within the read time-out, else the reason
// (kSendFailed for a connection the peer has ended).
int PrintClient::SendBytes(const void* data, int32_t length)
{
    if (UseTls) {
        // Without a channel nothing goes out: never in clear.
        if (Channel == nullptr)
            return kSendWaitFailed;
        return TlsSend(Channel, data, length) == 0 ? 0 : kSendFailed;
    }
    return SendWithin(Socket, static_cast<const char*>(data), length, TransportTimeouts.headMilliseconds,
                      &SendTimeoutSet);
}

int PrintClient::SocketSend(const void* data, int32_t length)
{
    return SendBytes(data, length) == 0 ? 0 : FailSend();
}

int PrintClient::FailSend()
{
    ReportError("write() failed");
    ReportPendingError();
    SocketClose();
    return 1;
}

void PrintClient::SocketClose()
{
    // Whatever was held or awaited belonged to this connection.
    ForgetReceived();
    RequestsUnanswered = 0;
    RepliesOnConnection = 0;
    SendingEnded = false;
    if (Socket == kNoSocket)
        return;
    ReceiveTimeoutSet = 0;
    SendTimeoutSet = 0;
    if (Channel != nullptr) {
        TlsClose(Channel);
        Channel = nullptr;
    }
    CloseSocket(Socket);
    Socket = kNoSocket;
}

void PrintClient::ForgetReceived()
{
    ReceivedHeld = 0;
    ResponseStart = 0;
}

void PrintClient::ReleaseConnection()
{
    if (!KeepAlive)
        SocketClose();
}

void PrintClient::ReportError(const char* text)
{
    OnStatus(text);
    OnLog(text);
}

void PrintClient::ReportPendingError()
{
    int pendingError;
    if (!ReadPendingError(Socket, &pendingError))
        return;
    char text[32];
    snprintf(text, sizeof text, "SO_ERROR was %d", pendingError);
    ReportError(text);
}

void PrintClient::ReportFormatted(const char* format, ...)
{
    char text[65536];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    OnStatus(text);
}
