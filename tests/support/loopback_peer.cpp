#include "tests/support/loopback_peer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/decimal.h"

SocketHandle ListenOnLoopback(int backlog, uint16_t* port)
{
    SocketHandle listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
#ifdef _WIN32
    int length = sizeof address;
#else
    socklen_t length = sizeof address;
#endif
    if (listener == kNoSocket || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, backlog) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        abort();
    *port = ntohs(address.sin_port);
    return listener;
}

SocketHandle ConnectToLoopback(uint16_t port)
{
    SocketHandle connection = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connection == kNoSocket || connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        abort();
    DisableNagle(connection);
    return connection;
}

std::string OkResponse(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string ChunkedResponse(const std::vector<std::string>& pieces)
{
    std::string response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const std::string& piece : pieces) {
        char size[16];
        // %lx: the Windows runtime of older systems has no %zx.
        snprintf(size, sizeof size, "%lx\r\n", static_cast<unsigned long>(piece.size()));
        response += size + piece + "\r\n";
    }
    return response + "0\r\n\r\n";
}

size_t AnnouncedLength(const std::string& head)
{
    size_t field = head.find("Content-Length: ");
    return field == std::string::npos ? 0 : static_cast<size_t>(DecimalValue(head.c_str() + field + 16));
}

bool ReadWholeRequest(SocketHandle connection, std::string* head, std::string* body, std::string* pending)
{
    return ReadWholeRequest([connection](char* buffer, int size) { return recv(connection, buffer, size, 0); },
                            head, body, pending);
}

bool ReadWholeRequest(const std::function<int(char* buffer, int size)>& receive, std::string* head,
                      std::string* body, std::string* pending)
{
    std::string dropped;
    std::string& data = pending != nullptr ? *pending : dropped;
    size_t length;
    while ((length = WholeRequestLength(data)) == 0) {
        char buffer[8192];
        int count = receive(buffer, sizeof buffer);
        if (count <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(count));
    }
    const size_t headEnd = data.find("\r\n\r\n");
    *head = data.substr(0, headEnd);
    *body = data.substr(headEnd + 4, length - headEnd - 4);
    data.erase(0, length);
    return true;
}

size_t WholeRequestLength(const std::string& data)
{
    const size_t headEnd = data.find("\r\n\r\n");
    if (headEnd == std::string::npos)
        return 0;
    const size_t length = headEnd + 4 + AnnouncedLength(data.substr(0, headEnd));
    return data.size() < length ? 0 : length;
}

bool SendAll(SocketHandle connection, const char* data, size_t length)
{
    while (length > 0) {
        int sent = send(connection, data, static_cast<int>(length), kSendFlags);
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

std::string RequestFunction(const std::string& head)
{
    size_t start = head.find("func=");
    if (start == std::string::npos)
        return std::string();
    size_t end = head.find(' ', start);
    return end == std::string::npos ? std::string() : head.substr(start + 5, end - start - 5);
}
