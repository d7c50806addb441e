// The client object of one poll: one TCP connection to the print service,
// copies of the settings it needs, the parsed head of the last response and
// the three display callbacks through which every failure is reported.
#pragma once

#include <cstdint>

#include "transport/socket_shim.h"
#include "transport/tls_channel.h"

typedef void (*ProgressCallback)(int32_t position, int32_t maximum);
typedef void (*TextCallback)(const char* text);

// The parsed head of the last HTTP response. The pointers refer to the
// client's receive buffer and are valid only until the next read.
struct ResponseHead {
    char* StatusLine;
    int32_t HeadLength;
    int32_t ContentLength;
    char* Body;
    int16_t StatusCode;
    int32_t Chunked;
    // 1 when a Connection field names "close", or an HTTP/1.0 response does
    // not name "keep-alive": the server sends nothing more on this connection
    // after this response.
    int32_t Close;
    // 1 when a Connection field names "keep-alive".
    int32_t KeepAliveNamed;
};

// Sizes of the client's text fields, terminator included.
constexpr int kCipherCapacity = 256;
constexpr int kComputerNameCapacity = 64;
constexpr int kHostCapacity = 64;
// "http://", a host, ':' and a port: the start of a request's target that
// names the server for a proxy.
constexpr int kProxyTargetCapacity = kHostCapacity + 14;

// Room for response data in the receive buffer.
constexpr int kReceiveRoom = 65535;

// Receive time-outs. The program keeps 15 s and 3 s; tests shorten them.
struct ReceiveTimeouts {
    int headMilliseconds;
    int chunkMilliseconds;
};
extern ReceiveTimeouts TransportTimeouts;

// Results of SendRequest and ReadResponse besides 0 and 1. The server ended a
// connection that had answered before: not a failure, and nothing is
// reported. kConnectionEnding: the request did not go out, as the connection
// takes no more; the responses owed on it are still to be read.
// kConnectionEnded: the connection closed or reset before this response was
// whole; the requests unanswered on it go again on a new connection.
constexpr int kConnectionEnding = 2;
constexpr int kConnectionEnded = 3;

// On from process start until the first receive that fails with an error or a
// closed peer; then every request connects and closes by itself.
extern bool KeepAlive;

struct PrintClient {
    SocketHandle Socket;
    ResponseHead Head;
    char Cipher[kCipherCapacity];
    char ComputerName[kComputerNameCapacity];
    char Host[kHostCapacity];
    int32_t Port;
    ProgressCallback OnProgress;
    TextCallback OnStatus;
    TextCallback OnLog;
    // Off: plain TCP, byte for byte as always. On: every exchange inside a
    // verified TLS connection, carried by Channel while one is open.
    bool UseTls;
    TlsChannel* Channel;
    // An HTTP proxy between the client and the server; ProxyPort 0 connects
    // straight to Host:Port.
    char ProxyHost[kHostCapacity];
    int32_t ProxyPort;
    // How many spool data requests the block loop may keep on the connection
    // before their replies; 1 sends each request after the previous reply.
    int32_t BlocksInFlight;
    // Seconds the service may hold the query for a job before it answers;
    // 0 asks for an answer at once.
    int32_t LongPoll;
    // Added to the read time-out while a response is awaited: the time a
    // service holds the request's answer on purpose. 0 for every request but
    // a held query.
    int32_t HeldReplyMilliseconds;
    // Requests sent on this connection whose responses are still to be read.
    int32_t RequestsUnanswered;
    // Complete responses read on this connection: once it has answered, its
    // end is the server's ordinary close, not a failure.
    int32_t RepliesOnConnection;
    // A send failed while responses were owed: no request goes on this
    // connection any more, and what it still delivers is read.
    bool SendingEnded;
    // The read and send bounds the socket enforces by itself, where the
    // platform has them.
    int ReceiveTimeoutSet;
    int SendTimeoutSet;
    // What has arrived and is not yet read as a response, from ResponseStart
    // to ReceivedHeld. It outlives an exchange: with requests in flight, the
    // bytes after one response begin the next. After every read two NULs
    // follow the held data.
    int32_t ReceivedHeld;
    int32_t ResponseStart;
    char Received[kReceiveRoom + 2];

    PrintClient();
    ~PrintClient();
    PrintClient(const PrintClient&) = delete;
    PrintClient& operator=(const PrintClient&) = delete;

    // Copies the settings. Returns 1 and copies nothing when a text does not
    // fit its field: a cut host or name would reach the wrong server or token.
    int Setup(const char* host, int32_t port, const char* computerName, const char* cipher);
    // Every connection then goes to the proxy. Returns 1 and leaves the
    // client connecting straight when the host does not fit its field.
    int SetProxy(const char* host, int32_t port);

    int SocketConnect();
    int SocketSend(const void* data, int32_t length);
    void SocketClose();
    void ReleaseConnection();
    void ReportError(const char* text);
    // "SO_ERROR was N" with the socket's pending error, when it can be read.
    void ReportPendingError();
    void ReportFormatted(const char* format, ...)
#ifdef __GNUC__
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // One POST exchange: SendRequest, then ReadResponse; 0 only for a
    // complete response with status 200.
    int httpRequest(const char* path, const char* extraHeader, const char* body,
                    char* headOut, int32_t headCapacity,
                    char* bodyOut, int32_t bodyCapacity, int32_t* bodyLength);

    // Sends one POST, on the kept connection or a new one. 0 when it went
    // out, or when its send failed (reported; the read of its response then
    // fails); 1 when nothing was sent and there is nothing to read;
    // kConnectionEnding.
    int SendRequest(const char* path, const char* extraHeader, const char* body);
    // Bytes SendRequest puts on the wire for this request.
    int32_t RequestLength(const char* path, const char* extraHeader, const char* body);
    // Reads the response to the oldest request unanswered; 0 only for a
    // complete response with status 200. headOut (headCapacity bytes)
    // receives the head text and a NUL; bodyOut (bodyCapacity bytes) receives
    // exactly the body bytes, no NUL. A response whose head or body does not
    // fit its output fails without writing it. kConnectionEnded as above.
    int ReadResponse(char* headOut, int32_t headCapacity, char* bodyOut, int32_t bodyCapacity,
                     int32_t* bodyLength);

    // Byte count, -1 for an error or a closed peer, -2 for a time-out;
    // kReceiveEnded, not reported, when the peer closed or reset a connection
    // that has answered before.
    static constexpr int kReceiveEnded = -3;
    int SocketReceive(char* buffer, int32_t size, int timeoutMilliseconds);

    // 0, or -2 when the head text holds no "HTTP".
    static int16_t ParseResponseHead(ResponseHead* head, char* start, char* bodyStart);
    static void ParseHeaderField(ResponseHead* head, const char* name, const char* value);
    static char* FindLineEnd(char* text);
    // Ends the head text at the first CR LF CR LF, CR CR or LF LF of the held
    // data and returns the body start; null while the head is incomplete.
    static char* FindHeadEnd(char* buffer, int32_t held);

private:
    int SendBytes(const void* data, int32_t length);
    int FailSend();
    int ReceiveMore(int timeoutMilliseconds);
    int ContinueChunkedBody();
    int EndOfConnection(int count);
    int DecodeChunkedBody(int32_t* responseEnd);
    int FailExchange(const char* text);
    bool ConnectionStale();
    int OpenProxyTunnel();
    void ReportProxyUnreachable();
    void ProxyTargetPrefix(char* out, int capacity);
    void ServerAuthority(char* out, int capacity);
    void ForgetReceived();
};
