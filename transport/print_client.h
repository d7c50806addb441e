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
// receive buffer of the running httpRequest and are valid only inside it.
struct ResponseHead {
    char* StatusLine;
    int32_t HeadLength;
    int32_t ContentLength;
    char* Body;
    int16_t StatusCode;
    int32_t Chunked;
};

// Sizes of the client's text fields, terminator included.
constexpr int kCipherCapacity = 256;
constexpr int kComputerNameCapacity = 64;
constexpr int kHostCapacity = 64;

// Room for response data in the receive buffer of one exchange.
constexpr int kReceiveRoom = 65535;

// Receive time-outs. The program keeps 15 s and 3 s; tests shorten them.
struct ReceiveTimeouts {
    int headMilliseconds;
    int chunkMilliseconds;
};
extern ReceiveTimeouts TransportTimeouts;

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

    PrintClient();
    ~PrintClient();
    PrintClient(const PrintClient&) = delete;
    PrintClient& operator=(const PrintClient&) = delete;

    // Copies the settings. Returns 1 and copies nothing when a text does not
    // fit its field: a cut host or name would reach the wrong server or token.
    int Setup(const char* host, int32_t port, const char* computerName, const char* cipher);

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

    // One POST exchange; 0 only for a complete response with status 200.
    // headOut (headCapacity bytes) receives the head text and a NUL; bodyOut
    // (bodyCapacity bytes) receives exactly the body bytes, no NUL. A response
    // whose head or body does not fit its output fails without writing it.
    int httpRequest(const char* path, const char* extraHeader, const char* body,
                    char* headOut, int32_t headCapacity,
                    char* bodyOut, int32_t bodyCapacity, int32_t* bodyLength);

    // Byte count, -1 for an error or a closed peer, -2 for a time-out.
    int SocketReceive(char* buffer, int32_t size, int timeoutMilliseconds);

    // 0, or -2 when the head text holds no "HTTP".
    static int16_t ParseResponseHead(ResponseHead* head, char* start, char* bodyStart);
    static void ParseHeaderField(ResponseHead* head, const char* name, const char* value);
    static char* FindLineEnd(char* text);

private:
    int ReceiveMore(char* buffer, int32_t* held, int timeoutMilliseconds);
    bool ContinueChunkedBody(char* buffer, int32_t* held);
    int DecodeChunkedBody(char* buffer, int32_t* held);
    int FailExchange(const char* text);
    bool ConnectionStale();
};
