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
// does not fit. targetPrefix comes before the path's "/": empty, or the
// server's "http://host:port" for a proxy.
int ComposeRequestHead(char* out, int capacity, const char* targetPrefix, const char* path,
                       const char* extraHeader, int32_t bodyLength, const char* host)
{
    int length = 0;
    bool fits = Append(out, capacity, &length, "%s %s/%s HTTP/1.1%s", "POST", targetPrefix, path, "\r\n");
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

// True when the comma-separated value lists token, letters in any case and
// blanks around it allowed.
bool ListsToken(const char* value, const char* token)
{
    const size_t tokenLength = strlen(token);
    const char* item = value;
    for (;;) {
        while (*item == ' ' || *item == '\t' || *item == ',')
            ++item;
        if (*item == 0)
            return false;
        const char* end = item;
        while (*end != 0 && *end != ',')
            ++end;
        const char* last = end;
        while (last > item && (last[-1] == ' ' || last[-1] == '\t'))
            --last;
        if (static_cast<size_t>(last - item) == tokenLength && StartsWithNoCase(item, token))
            return true;
        item = end;
    }
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

// Finds the first CR LF CR LF, CR CR or LF LF of the held data, ends the head
// text there and returns the body start; null while the head is incomplete.
// The scan restarts at the buffer's start after every read, so a marker split
// across reads is found; the 64 KB bound keeps that cheap.
char* PrintClient::FindHeadEnd(char* buffer, int32_t held)
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
    // The whole name in any letter case; a close named in any of the fields
    // counts.
    if (StartsWithNoCase(name, "Connection") && name[10] == 0) {
        if (ListsToken(value, "close"))
            head->Close = 1;
        if (ListsToken(value, "keep-alive"))
            head->KeepAliveNamed = 1;
    }
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
    // An HTTP/1.0 server keeps the connection only when it says so.
    if (strncmp(statusLine, "HTTP/1.0", 8) == 0 && head->KeepAliveNamed == 0)
        head->Close = 1;
    return 0;
}

int PrintClient::SocketReceive(char* buffer, int32_t size, int timeoutMilliseconds)
{
    // After a response on it, the server may end a kept connection whenever
    // it likes: a close, or a reset when requests were still on their way.
    const bool endMayCome = RepliesOnConnection > 0;
    if (Channel != nullptr) {
        char reason[kTlsReasonCapacity];
        int count = TlsReceive(Channel, buffer, size, timeoutMilliseconds, reason, sizeof reason);
        if (count == -2) {
            ReportError("Read socket timeout, server is maybe not active");
        } else if (count == 0 && endMayCome) {
            return kReceiveEnded;
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
    buffer[0] = 0;
    int count = ReceiveWithin(Socket, buffer, size, timeoutMilliseconds, &ReceiveTimeoutSet);
    if (count == kReceiveWaitFailed) {
        ReportPendingError();
        ReportError("select() failed in SocketReceive");
        return -1;
    }
    if (count == kReceiveTimedOut) {
        ReportError("Read socket timeout, server is maybe not active");
        return -2;
    }
    if ((count == kReceiveFailed || count == 0) && endMayCome)
        return kReceiveEnded;
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
// data no request asked for, held already or waiting on the socket (what
// InputWaiting sees of a close differs by platform). Under TLS only
// application data counts: records the server sends on its own (session
// tickets) also make the socket readable.
bool PrintClient::ConnectionStale()
{
    if (Socket == kNoSocket || SendingEnded)
        return true;
    if (ReceivedHeld > ResponseStart)
        return true;
    return Channel != nullptr ? TlsConnectionStale(Channel) : InputWaiting(Socket);
}

// Appends a read to the held data and keeps two NULs after it, so the held
// data always reads as text.
int PrintClient::ReceiveMore(int timeoutMilliseconds)
{
    int count = SocketReceive(Received + ReceivedHeld, kReceiveRoom - ReceivedHeld, timeoutMilliseconds);
    if (count > 0) {
        ReceivedHeld += count;
        Received[ReceivedHeld] = 0;
        Received[ReceivedHeld + 1] = 0;
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

// Ends an exchange whose read brought no data. A connection that has
// answered before and then ended goes quietly: the caller asks again on a new
// one. A failed read or a closed peer before any response turns keep-alive
// off. After a time-out keep-alive stays as it is, but the connection goes: a
// response that comes later would pass for the next request's.
int PrintClient::EndOfConnection(int count)
{
    if (count == kReceiveEnded) {
        SocketClose();
        return kConnectionEnded;
    }
    if (count == -1)
        KeepAlive = false;
    return FailExchange(nullptr);
}

// Reads more of a chunked body: 0, or the exchange's result when the body
// cannot be completed.
int PrintClient::ContinueChunkedBody()
{
    if (ReceivedHeld == kReceiveRoom)
        return FailExchange("Invalid chunked reply");
    const int count = ReceiveMore(TransportTimeouts.chunkMilliseconds);
    return count > 0 ? 0 : EndOfConnection(count);
}

// Decodes a chunked body in place from Body on: the data of every chunk is
// moved down over the framing, so the body ends up as one run of bytes.
// *responseEnd receives where the response ends in the buffer.
int PrintClient::DecodeChunkedBody(int32_t* responseEnd)
{
    Head.ContentLength = 0;
    int32_t write = static_cast<int32_t>(Head.Body - Received);
    int32_t readAt = write;
    // 0 once the byte at readAt is held.
    auto hold = [&] { return readAt < ReceivedHeld ? 0 : ContinueChunkedBody(); };
    for (;;) {
        // Size line: every hex digit before the extension (';') counts; the line
        // ends at its LF.
        int32_t size = 0;
        bool inExtension = false;
        for (;;) {
            if (const int result = hold())
                return result;
            unsigned char c = static_cast<unsigned char>(Received[readAt++]);
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
            break;
        // The chunk and its CR LF must fit in the room left in the buffer.
        if (size > kReceiveRoom - 2 - readAt)
            return FailExchange("Invalid chunked reply");
        Head.ContentLength += size;
        for (int32_t remaining = size; remaining > 0;) {
            if (const int result = hold())
                return result;
            int32_t take = ReceivedHeld - readAt < remaining ? ReceivedHeld - readAt : remaining;
            memmove(Received + write, Received + readAt, static_cast<size_t>(take));
            write += take;
            readAt += take;
            remaining -= take;
        }
        for (int crlf = 0; crlf < 2; ++crlf) {
            if (const int result = hold())
                return result;
            // Anything else here means the size line lied: the data taken
            // would hold framing, or leave chunk data behind as framing.
            if (Received[readAt++] != "\r\n"[crlf])
                return FailExchange("Invalid chunked reply");
        }
    }
    // The body is whole; the response ends at the empty line after the
    // trailer lines, which may come in later reads. Left behind, a part of it
    // would begin the next response.
    for (;;) {
        const int32_t lineStart = readAt;
        do {
            if (const int result = hold())
                return result;
        } while (Received[readAt++] != '\n');
        if (readAt - lineStart == 1 || (readAt - lineStart == 2 && Received[lineStart] == '\r'))
            break;
    }
    *responseEnd = readAt;
    return 0;
}

int PrintClient::httpRequest(const char* path, const char* extraHeader, const char* body,
                             char* headOut, int32_t headCapacity,
                             char* bodyOut, int32_t bodyCapacity, int32_t* bodyLength)
{
    if (SendRequest(path, extraHeader, body) != 0)
        return 1;
    int result = ReadResponse(headOut, headCapacity, bodyOut, bodyCapacity, bodyLength);
    // The server ended the kept connection before this response: the request
    // goes once more, on a new connection, where an end is a failure.
    if (result == kConnectionEnded) {
        if (SendRequest(path, extraHeader, body) != 0)
            return 1;
        result = ReadResponse(headOut, headCapacity, bodyOut, bodyCapacity, bodyLength);
    }
    return result == 0 ? 0 : 1;
}

int PrintClient::SendRequest(const char* path, const char* extraHeader, const char* body)
{
    // A close seen before anything is sent, announced by the last response
    // (which closed the connection then) or found on the socket, is the
    // ordinary end of a kept connection: the request goes on a new one, and
    // keep-alive stays on. So is an end that a read finds after the
    // connection has answered (ReadResponse); only an end before any response
    // is a failure, which turns keep-alive off. Bytes
    // waiting that no request asked for (a server that answered twice) would
    // pass for this request's response, so they go with their connection.
    // With requests unanswered, what waits is their responses.
    // Inside TLS a failed connect ends the request: its reason is told, and
    // nothing goes out without a channel, so no send or read could fail on
    // its own.
    if (SendingEnded && RequestsUnanswered > 0)
        return kConnectionEnding;
    if (RequestsUnanswered == 0 && (!KeepAlive || ConnectionStale()) && SocketConnect() != 0 && UseTls)
        return FailExchange(nullptr);

    char request[kReceiveRoom];
    const int32_t bodyBytes = static_cast<int32_t>(strlen(body));
    char targetPrefix[kProxyTargetCapacity];
    ProxyTargetPrefix(targetPrefix, sizeof targetPrefix);
    const int headBytes =
        ComposeRequestHead(request, kReceiveRoom, targetPrefix, path, extraHeader, bodyBytes, Host);
    if (headBytes < 0) {
        ReportError("Request too long");
        ReleaseConnection();
        return 1;
    }
    // Head and body leave in one send when they fit: the server then wakes
    // once per request (inside TLS, decrypts one record). The bytes are the
    // same.
    int sent;
    if (bodyBytes <= kReceiveRoom - headBytes) {
        memcpy(request + headBytes, body, static_cast<size_t>(bodyBytes));
        sent = SendBytes(request, headBytes + bodyBytes);
    } else {
        sent = SendBytes(request, headBytes);
        if (sent == 0)
            sent = SendBytes(body, bodyBytes);
    }
    if (sent == 0) {
        ++RequestsUnanswered;
        return 0;
    }
    // A server that closed or reset the connection may still have sent the
    // responses owed on it: they are read, and nothing more goes on it.
    if (sent == kSendFailed && RequestsUnanswered > 0) {
        SendingEnded = true;
        return kConnectionEnding;
    }
    // Reported, and the connection closed: the read of the response fails
    // and ends the exchange.
    FailSend();
    return 0;
}

int32_t PrintClient::RequestLength(const char* path, const char* extraHeader, const char* body)
{
    char head[kReceiveRoom];
    const int32_t bodyBytes = static_cast<int32_t>(strlen(body));
    char targetPrefix[kProxyTargetCapacity];
    ProxyTargetPrefix(targetPrefix, sizeof targetPrefix);
    const int headBytes = ComposeRequestHead(head, kReceiveRoom, targetPrefix, path, extraHeader, bodyBytes, Host);
    return headBytes < 0 ? INT32_MAX : headBytes + bodyBytes;
}

int PrintClient::ReadResponse(char* headOut, int32_t headCapacity, char* bodyOut, int32_t bodyCapacity,
                              int32_t* bodyLength)
{
    // Responses read are dropped from the buffer's start only once they fill
    // half of it: the room left then holds any block response, and little is
    // moved.
    if (ResponseStart == ReceivedHeld) {
        ForgetReceived();
    } else if (ResponseStart > kReceiveRoom / 2) {
        memmove(Received, Received + ResponseStart, static_cast<size_t>(ReceivedHeld - ResponseStart + 2));
        ReceivedHeld -= ResponseStart;
        ResponseStart = 0;
    }

    for (;;) {
        // One pass per response head.
        char* bodyStart = nullptr;
        for (;;) {
            char* response = Received + ResponseStart;
            const int32_t held = ReceivedHeld - ResponseStart;
            if (bodyStart == nullptr && held > 0) {
                // The head is parsed once, as soon as its end is found.
                bodyStart = FindHeadEnd(response, held);
                if (bodyStart != nullptr) {
                    // Without a status line nothing tells where this reply ends.
                    if (ParseResponseHead(&Head, response, bodyStart) != 0)
                        return FailExchange(nullptr);
                    if (Head.Chunked != 1 && Head.StatusCode != 100 && Head.ContentLength < 0)
                        return FailExchange("Invalid Content-Length");
                }
            }
            if (bodyStart != nullptr &&
                (Head.Chunked == 1 || Head.StatusCode == 100 || Head.ContentLength <= held - Head.HeadLength))
                break;
            const int count = ReceiveMore(TransportTimeouts.headMilliseconds + HeldReplyMilliseconds);
            if (count < 0)
                return EndOfConnection(count);
        }
        if (Head.StatusCode != 100)
            break;
        // An interim response is its head alone; what follows it belongs to
        // the final response and to those after it.
        ResponseStart += Head.HeadLength;
    }

    char* const headText = Received + ResponseStart;
    int32_t responseEnd;
    if (Head.Chunked == 1) {
        if (const int result = DecodeChunkedBody(&responseEnd))
            return result;
    } else {
        // No length given: the body is what arrived together with the head,
        // unless more responses are to come, whose bytes those are.
        if (Head.ContentLength == 0 && RequestsUnanswered <= 1)
            Head.ContentLength = ReceivedHeld - ResponseStart - Head.HeadLength;
        responseEnd = ResponseStart + Head.HeadLength + Head.ContentLength;
    }
    ResponseStart = responseEnd;
    if (RequestsUnanswered > 0)
        --RequestsUnanswered;
    ++RepliesOnConnection;

    const bool fits = (headOut == nullptr || Head.HeadLength < headCapacity) &&
                      (bodyOut == nullptr || Head.ContentLength <= bodyCapacity);
    if (fits && headOut != nullptr) {
        memcpy(headOut, headText, static_cast<size_t>(Head.HeadLength));
        headOut[Head.HeadLength] = 0;
    }
    if (fits && bodyOut != nullptr) {
        memcpy(bodyOut, Head.Body, static_cast<size_t>(Head.ContentLength));
        *bodyLength = Head.ContentLength;
    }

    // A server that announced its close sends nothing more on this
    // connection: the next request connects anew.
    if (Head.Close == 1)
        SocketClose();
    else
        ReleaseConnection();
    if (!fits) {
        ReportError("Reply too long");
        return 1;
    }
    if (Head.StatusCode == 200)
        return 0;
    ReportFormatted("%s", headText);
    return 1;
}
