#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "transport/ascii.h"
#include "transport/decimal.h"
#include "transport/print_client.h"

namespace {

// Appends formatted text at *length; false when it does not fit.
bool Append(char* out, int capacity, int* length, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int added = vsnprintf(out + *length, capacity - *length, format, arguments);
    va_end(arguments);
    if (added < 0 || added >= capacity - *length)
        return false;
    *length += added;
    return true;
}

// The request head, byte for byte as every service expects it; -1 when it
// does not fit.
int ComposeRequestHead(char* out, int capacity, const char* path, const char* extraHeader,
                       int32_t bodyLength, const char* host)
{
    int length = 0;
    bool fits = Append(out, capacity, &length, "%s /%s HTTP/1.1%s", "POST", path, "\r\n");
    if (extraHeader == nullptr)
        fits = fits && Append(out, capacity, &length, "Content-Type: text/html\r\n");
    fits = fits && Append(out, capacity, &length, "Content-Length: %d%s", static_cast<int>(bodyLength), "\r\n");
    fits = fits && Append(out, capacity, &length, "User-Agent: Tarnwick Jan  9 2014\r\n");
    fits = fits && Append(out, capacity, &length, "Connection: Keep-Alive\r\n");
    fits = fits && Append(out, capacity, &length, "Host: %s\r\n", host);
    // The tests are on signed characters, as services have always seen them:
    // a header starting with a blank, a control character or a byte above 0x7F
    // is left out, and one already ending in a line break gets no second one.
    if (extraHeader != nullptr && static_cast<signed char>(extraHeader[0]) > 32) {
        fits = fits && Append(out, capacity, &length, "%s", extraHeader);
        if (static_cast<signed char>(extraHeader[strlen(extraHeader) - 1]) >= 32)
            fits = fits && Append(out, capacity, &length, "\r\n");
    }
    fits = fits && Append(out, capacity, &length, "\r\n");
    return fits ? length : -1;
}

// Finds the first CR LF CR LF, CR CR or LF LF of the held data, ends the head
// text there and returns the body start; null while the head is incomplete.
// The scan restarts at the buffer's start after every read, so a marker split
// across reads is found; the 64 KB bound keeps that cheap.
char* FindHeadEnd(char* buffer, int32_t held)
{
    for (int32_t i = 0; i + 1 < held; ++i) {
        if (i + 3 < held && memcmp(buffer + i, "\r\n\r\n", 4) == 0) {
            buffer[i] = 0;
            return buffer + i + 4;
        }
        if ((buffer[i] == '\r' && buffer[i + 1] == '\r') || (buffer[i] == '\n' && buffer[i + 1] == '\n')) {
            buffer[i] = 0;
            return buffer + i + 2;
        }
    }
    return nullptr;
}

// Copies [from, to) into out, cut to fit, and ends it with a NUL.
void CopyCut(char* out, size_t capacity, const char* from, const char* to)
{
    size_t length = static_cast<size_t>(to - from);
    if (length > capacity - 1)
        length = capacity - 1;
    memcpy(out, from, length);
    out[length] = 0;
}

}  // namespace

char* PrintClient::FindLineEnd(char* text)
{
    while (*text != 0 && *text != '\r' && *text != '\n')
        ++text;
    return text;
}

void PrintClient::ParseHeaderField(ResponseHead* head, const char* name, const char* value)
{
    if (StartsWithNoCase(name, "Content-Length"))
        head->ContentLength = DecimalValue(value);
    if (StartsWithNoCase(name, "Transfer-Encoding"))
        head->Chunked = strstr(value, "chunked") != nullptr ? 1 : 0;
}

int16_t PrintClient::ParseResponseHead(ResponseHead* head, char* start, char* bodyStart)
{
    memset(head, 0, sizeof *head);
    head->Body = bodyStart;
    head->HeadLength = static_cast<int32_t>(bodyStart - start);

    char* statusLine = strstr(start, "HTTP");
    if (statusLine == nullptr)
        return -2;
    // The code follows the first blank; it counts only when a second blank
    // follows somewhere, which may lie on a later line.
    char* firstBlank = strchr(statusLine, ' ');
    if (firstBlank != nullptr && strchr(firstBlank + 1, ' ') != nullptr)
        head->StatusCode = static_cast<int16_t>(static_cast<uint16_t>(DecimalValue(firstBlank + 1)));
    head->StatusLine = statusLine;

    char name[256];
    char value[1024];
    char* position = FindLineEnd(statusLine);
    while (*position != 0) {
        while (*position != 0 && static_cast<signed char>(*position) < 32)
            ++position;
        if (*position == 0)
            break;
        char* lineStart = position;
        char* lineEnd = FindLineEnd(lineStart);
        char* colon = strchr(lineStart, ':');
        if (colon != nullptr) {
            CopyCut(name, sizeof name, lineStart, colon);
            if (colon < lineEnd)
                CopyCut(value, sizeof value, colon + 1, lineEnd);
            else
                value[0] = 0;
            ParseHeaderField(head, name, value);
        }
        position = lineEnd;
    }
    return 0;
}

int PrintClient::SocketReceive(char* buffer, int32_t size, int timeoutMilliseconds)
{
    if (Channel != nullptr) {
        char reason[kTlsReasonCapacity];
        int count = TlsReceive(Channel, buffer, size, timeoutMilliseconds, reason, sizeof reason);
        if (count == -2) {
            ReportError("Read socket timeout, server is maybe not active");
        } else if (count == 0) {
            ReportError("Partner program has issued a closesocket()\n");
            return -1;
        } else if (count == -1) {
            char text[32 + kTlsReasonCapacity];
            snprintf(text, sizeof text, "TLS connection failed: %s", reason);
            ReportError(text);
        }
        return count;
    }
    int ready = WaitReadable(Socket, timeoutMilliseconds);
    if (ready < 0) {
        ReportPendingError();
        ReportError("select() failed in SocketReceive");
        return -1;
    }
    if (ready == 0) {
        ReportError("Read socket timeout, server is maybe not active");
        return -2;
    }
    buffer[0] = 0;
    int count = recv(Socket, buffer, size, 0);
    if (count < 0) {
        ReportError("read() failed");
        ReportPendingError();
        return -1;
    }
    if (count == 0) {
        ReportError("Partner program has issued a closesocket()\n");
        return -1;
    }
    return count;
}

// Whether the connection can carry no new request: it is closed, or holds
// unread data (what InputWaiting sees of a close differs by platform). Under
// TLS only application data counts: records the server sends on its own
// (session tickets) also make the socket readable.
bool PrintClient::ConnectionStale()
{
    if (Socket == kNoSocket)
        return true;
    return Channel != nullptr ? TlsConnectionStale(Channel) : InputWaiting(Socket);
}

// Appends a read to the held data and keeps two NULs after it, so the held
// data always reads as text.
int PrintClient::ReceiveMore(char* buffer, int32_t* held, int timeoutMilliseconds)
{
    int count = SocketReceive(buffer + *held, kReceiveRoom - *held, timeoutMilliseconds);
    if (count > 0) {
        *held += count;
        buffer[*held] = 0;
        buffer[*held + 1] = 0;
    }
    return count;
}

// Ends an exchange whose response cannot be read whole. What is left of it on
// the connection would be taken for the next response, so the connection goes.
int PrintClient::FailExchange(const char* text)
{
    if (text != nullptr)
        ReportError(text);
    SocketClose();
    return 1;
}

// Reads more of a chunked body; false when the body cannot be completed.
bool PrintClient::ContinueChunkedBody(char* buffer, int32_t* held)
{
    if (*held == kReceiveRoom) {
        FailExchange("Invalid chunked reply");
        return false;
    }
    int count = ReceiveMore(buffer, held, TransportTimeouts.chunkMilliseconds);
    if (count > 0)
        return true;
    if (count == -1)
        KeepAlive = false;
    FailExchange(nullptr);
    return false;
}

// Decodes a chunked body in place from Body on: the data of every chunk is
// moved down over the framing, so the body ends up as one run of bytes.
int PrintClient::DecodeChunkedBody(char* buffer, int32_t* held)
{
    Head.ContentLength = 0;
    char* write = Head.Body;
    int32_t readAt = static_cast<int32_t>(Head.Body - buffer);
    for (;;) {
        // Size line: every hex digit before the extension (';') counts; the line
        // ends at its LF.
        int32_t size = 0;
        bool inExtension = false;
        for (;;) {
            if (readAt == *held && !ContinueChunkedBody(buffer, held))
                return 1;
            unsigned char c = static_cast<unsigned char>(buffer[readAt++]);
            if (c == '\n')
                break;
            inExtension = inExtension || c == ';';
            int digit = HexDigitValue(c);
            if (inExtension || digit < 0)
                continue;
            if (size > (kReceiveRoom - digit) / 16)
                return FailExchange("Invalid chunked reply");
            size = size * 16 + digit;
        }
        if (size == 0)
            return 0;
        // The chunk and its CR LF must fit in the room left in the buffer.
        if (size > kReceiveRoom - 2 - readAt)
            return FailExchange("Invalid chunked reply");
        Head.ContentLength += size;
        for (int32_t remaining = size; remaining > 0;) {
            if (readAt == *held && !ContinueChunkedBody(buffer, held))
                return 1;
            int32_t take = *held - readAt < remaining ? *held - readAt : remaining;
            memmove(write, buffer + readAt, static_cast<size_t>(take));
            write += take;
            readAt += take;
            remaining -= take;
        }
        for (int crlf = 0; crlf < 2; ++crlf) {
            if (readAt == *held && !ContinueChunkedBody(buffer, held))
                return 1;
            // Anything else here means the size line lied: the data taken
            // would hold framing, or leave chunk data behind as framing.
            if (buffer[readAt++] != "\r\n"[crlf])
                return FailExchange("Invalid chunked reply");
        }
    }
}

int PrintClient::httpRequest(const char* path, const char* extraHeader, const char* body,
                             char* headOut, int32_t headCapacity,
                             char* bodyOut, int32_t bodyCapacity, int32_t* bodyLength)
{
    // Room for the response, and two NULs after the held data.
    char buffer[kReceiveRoom + 2];

    // A connection that an earlier failure closed cannot carry this request,
    // kept alive or not. Bytes already waiting on a kept connection answer no
    // request of ours (a server that answered twice); read now, they would
    // pass for this request's reply. A new connection leaves them behind, and
    // the close of a server that went idle where the check sees it; where it
    // does not, the request meets the close and fails.
    if (!KeepAlive || ConnectionStale())
        SocketConnect();

    int32_t bodyBytes = static_cast<int32_t>(strlen(body));
    int headBytes = ComposeRequestHead(buffer, kReceiveRoom, path, extraHeader, bodyBytes, Host);
    if (headBytes < 0) {
        ReportError("Request too long");
        ReleaseConnection();
        return 1;
    }
    // A failed send has reported itself and closed the socket; the first read
    // below then fails and ends the exchange. Inside TLS, head and body leave
    // as one record when they fit: the server then wakes and decrypts once per
    // request, where two records cost a quarter of the throughput on loopback.
    // The bytes inside are the same.
    if (UseTls && bodyBytes <= kReceiveRoom - headBytes) {
        memcpy(buffer + headBytes, body, static_cast<size_t>(bodyBytes));
        SocketSend(buffer, headBytes + bodyBytes);
    } else {
        SocketSend(buffer, headBytes);
        SocketSend(body, bodyBytes);
    }

    int32_t held;
    do {
        // One pass per response: an interim 100 is dropped with everything held.
        held = 0;
        char* bodyStart = nullptr;
        for (;;) {
            int count = ReceiveMore(buffer, &held, TransportTimeouts.headMilliseconds);
            // A reply that comes after its time-out would pass for the next
            // request's, so the connection goes; keep-alive stays as it is.
            if (count == -2)
                return FailExchange(nullptr);
            if (count < 0) {
                KeepAlive = false;
                ReleaseConnection();
                return 1;
            }
            if (bodyStart == nullptr) {
                // The head is parsed once, as soon as its end is found.
                bodyStart = FindHeadEnd(buffer, held);
                if (bodyStart == nullptr)
                    continue;
                // Without a status line nothing tells where this reply ends.
                if (ParseResponseHead(&Head, buffer, bodyStart) != 0)
                    return FailExchange(nullptr);
                if (Head.Chunked == 1 || Head.StatusCode == 100)
                    break;
                if (Head.ContentLength < 0)
                    return FailExchange("Invalid Content-Length");
            }
            if (Head.ContentLength <= held - Head.HeadLength)
                break;
        }
    } while (Head.StatusCode == 100);

    if (Head.Chunked == 1) {
        if (DecodeChunkedBody(buffer, &held) != 0)
            return 1;
    } else if (Head.ContentLength == 0) {
        // No length given: the body is what arrived together with the head.
        Head.ContentLength = held - Head.HeadLength;
    }

    if ((headOut != nullptr && Head.HeadLength >= headCapacity) ||
        (bodyOut != nullptr && Head.ContentLength > bodyCapacity)) {
        ReportError("Reply too long");
        ReleaseConnection();
        return 1;
    }
    if (headOut != nullptr) {
        memcpy(headOut, buffer, static_cast<size_t>(Head.HeadLength));
        headOut[Head.HeadLength] = 0;
    }
    if (bodyOut != nullptr) {
        memcpy(bodyOut, Head.Body, static_cast<size_t>(Head.ContentLength));
        *bodyLength = Head.ContentLength;
    }

    ReleaseConnection();
    if (Head.StatusCode == 200)
        return 0;
    ReportFormatted("%s", buffer);
    return 1;
}
