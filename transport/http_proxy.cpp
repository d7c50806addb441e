// What the transport does differently through an HTTP proxy. A plain request
// names the server in its target and the proxy forwards it; under TLS the
// proxy first opens a tunnel to the server (CONNECT), and the handshake and
// every request inside it are byte for byte those of a direct connection.
#include <cstdio>
#include <cstring>

#include "transport/deadline.h"
#include "transport/decimal.h"
#include "transport/print_client.h"

namespace {

// Room for the proxy's answer to CONNECT: tinyproxy's is under 100 bytes.
// More before its blank line is no answer to a CONNECT.
constexpr int kTunnelReplyRoom = 4096;

}  // namespace

int PrintClient::SetProxy(const char* host, int32_t port)
{
    if (strlen(host) >= sizeof ProxyHost)
        return 1;
    strcpy(ProxyHost, host);
    ProxyPort = port;
    return 0;
}

// The server as host:port, its port as a direct connection uses it: the
// low 16 bits.
void PrintClient::ServerAuthority(char* out, int capacity)
{
    snprintf(out, static_cast<size_t>(capacity), "%s:%u", Host, static_cast<unsigned>(static_cast<uint16_t>(Port)));
}

void PrintClient::ProxyTargetPrefix(char* out, int capacity)
{
    out[0] = 0;
    if (ProxyPort == 0 || UseTls)
        return;
    char server[kHostCapacity + 8];
    ServerAuthority(server, sizeof server);
    snprintf(out, static_cast<size_t>(capacity), "http://%s", server);
}

void PrintClient::ReportProxyUnreachable()
{
    if (ProxyPort == 0)
        return;
    // The connect step's texts read as if the server were down.
    char text[kHostCapacity + 40];
    snprintf(text, sizeof text, "Proxy %s:%d cannot be reached", ProxyHost, static_cast<int>(ProxyPort));
    ReportError(text);
}

int PrintClient::OpenProxyTunnel()
{
    char server[kHostCapacity + 8];
    ServerAuthority(server, sizeof server);
    char request[2 * sizeof server + 40];
    const int length = snprintf(request, sizeof request, "CONNECT %s HTTP/1.1\r\nHost: %s\r\n\r\n", server, server);
    if (SendWithin(Socket, request, length, TransportTimeouts.headMilliseconds, &SendTimeoutSet) != 0) {
        ReportError("write() failed");
        return 1;
    }

    // The whole head within the read time-out, however the proxy spaces its
    // bytes: a proxy that trickles them would otherwise hold the poll a read
    // time-out per byte.
    const Deadline deadline(TransportTimeouts.headMilliseconds);
    char reply[kTunnelReplyRoom + 1];
    int32_t held = 0;
    int headLength = 0;
    while (headLength == 0) {
        if (held == kTunnelReplyRoom) {
            ReportError("Proxy reply too long");
            return 1;
        }
        const int count = SocketReceive(reply + held, kTunnelReplyRoom - held, deadline.LeftMilliseconds());
        if (count < 0)
            return 1;
        held += count;
        const char* bodyStart = FindHeadEnd(reply, held);
        headLength = bodyStart != nullptr ? static_cast<int>(bodyStart - reply) : 0;
    }
    reply[held] = 0;
    *FindLineEnd(reply) = 0;
    const char* blank = strchr(reply, ' ');
    const int32_t status = blank != nullptr ? DecimalValue(blank + 1) : 0;
    if (strncmp(reply, "HTTP/", 5) != 0 || status < 200 || status > 299) {
        char text[kTunnelReplyRoom + 40];
        snprintf(text, sizeof text, "Proxy refused the tunnel: %s", reply);
        ReportError(text);
        return 1;
    }
    // The server speaks only after the handshake's first message: bytes here
    // came from the proxy and would break the handshake.
    if (held > headLength) {
        ReportError("Proxy sent data into the tunnel before it opened");
        return 1;
    }
    return 0;
}
