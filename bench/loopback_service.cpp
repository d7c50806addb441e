#include "bench/loopback_service.h"

#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kOkHead[] = "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n";

// Reads and writes on the connection, inside TLS when ssl is given.
long Receive(int connection, SSL* ssl, char* buffer, size_t size)
{
    return ssl != nullptr ? SSL_read(ssl, buffer, static_cast<int>(size)) : recv(connection, buffer, size, 0);
}

bool Send(int connection, SSL* ssl, const char* data, size_t length)
{
    return ssl != nullptr ? SSL_write(ssl, data, static_cast<int>(length)) == static_cast<int>(length)
                          : SendAll(connection, data, length);
}

// The number after "name" in text, or -1.
long NumberAfter(const char* text, const char* name)
{
    const char* at = strstr(text, name);
    return at == nullptr ? -1 : strtol(at + strlen(name), nullptr, 10);
}

}  // namespace

LoopbackService::LoopbackService(const std::string& job, SSL_CTX* tls, const std::string& printer)
    : complemented_(job), tls_(tls), printer_(printer)
{
    for (char& c : complemented_)
        c = static_cast<char>(~c);
    listener_ = ListenOnLoopback(16, &port_);
    thread_ = std::thread(&LoopbackService::Run, this);
}

LoopbackService::~LoopbackService()
{
    // Wakes the blocked accept, which then fails and ends the thread.
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
}

std::string LoopbackService::QueryBody() const
{
    return "SPOOL\r\njob1.spl\r\n" + std::to_string(complemented_.size()) + "\r\nBenchmark\r\n" + printer_ + "\r\n1";
}

int32_t LoopbackService::ReplyLength(int32_t bodyLength)
{
    return snprintf(nullptr, 0, kOkHead, static_cast<int>(bodyLength)) + bodyLength;
}

int LoopbackService::Connect() const
{
    return ConnectToLoopback(port_);
}

void LoopbackService::SendRequest(int connection, const char* function, const char* body)
{
    char head[512];
    int length = snprintf(head, sizeof head,
                          "POST /%s%s HTTP/1.1\r\nContent-Length: %d\r\nUser-Agent: Tarnwick Jan  9 2014\r\n"
                          "Connection: Keep-Alive\r\nHost: 127.0.0.1\r\nContent-Type: application/xml\r\n\r\n",
                          kPrefix, function, static_cast<int>(strlen(body)));
    if (send(connection, head, static_cast<size_t>(length), MSG_NOSIGNAL) != length ||
        send(connection, body, strlen(body), MSG_NOSIGNAL) != static_cast<ssize_t>(strlen(body)))
        abort();
}

void LoopbackService::ReadReply(int connection, char* buffer, int32_t length)
{
    for (int32_t held = 0; held < length;) {
        ssize_t count = recv(connection, buffer + held, static_cast<size_t>(length - held), 0);
        if (count <= 0)
            abort();
        held += static_cast<int32_t>(count);
    }
}

void LoopbackService::Run()
{
    // OpenSSL writes with write(): a client gone must not end the benchmark.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        int connection = accept(listener_, nullptr, nullptr);
        if (connection < 0)
            return;
        ++connections_;
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        SSL* ssl = nullptr;
        if (tls_ != nullptr) {
            ssl = SSL_new(tls_);
            SSL_set_fd(ssl, connection);
        }
        if (ssl == nullptr || SSL_accept(ssl) == 1)
            Serve(connection, ssl);
        SSL_free(ssl);
        close(connection);
    }
}

void LoopbackService::Serve(int connection, SSL* ssl)
{
    const std::string query = QueryBody();
    char request[16384];
    size_t held = 0;
    request[0] = 0;
    char reply[kBlockSize + 128];
    for (;;) {
        // A whole request: head, then its Content-Length body.
        char* headEnd = strstr(request, "\r\n\r\n");
        long bodyLength = headEnd != nullptr ? NumberAfter(request, "Content-Length: ") : 0;
        while (headEnd == nullptr || held < static_cast<size_t>(headEnd + 4 - request) + bodyLength) {
            if (held == sizeof request - 1)
                return;
            long count = Receive(connection, ssl, request + held, sizeof request - 1 - held);
            if (count <= 0)
                return;
            held += static_cast<size_t>(count);
            request[held] = 0;
            if (headEnd == nullptr && (headEnd = strstr(request, "\r\n\r\n")) != nullptr)
                bodyLength = NumberAfter(request, "Content-Length: ");
        }
        const char* body = headEnd + 4;
        const char* data = "OK";
        long dataLength = 2;
        if (strstr(request, "func=qryspool ") != nullptr) {
            data = query.data();
            dataLength = static_cast<long>(query.size());
        } else if (strstr(request, "func=spooldata ") != nullptr) {
            long offset = NumberAfter(body, "offset='");
            long size = static_cast<long>(complemented_.size());
            if (offset < 0 || offset >= size)
                return;
            data = complemented_.data() + offset;
            dataLength = size - offset < kBlockSize ? size - offset : kBlockSize;
        }
        // Head and body leave in one send.
        int headLength = snprintf(reply, sizeof reply, kOkHead, static_cast<int>(dataLength));
        memcpy(reply + headLength, data, static_cast<size_t>(dataLength));
        if (!Send(connection, ssl, reply, static_cast<size_t>(headLength + dataLength)))
            return;
        // Keeps whatever followed the request for the next one.
        size_t used = static_cast<size_t>(body - request) + static_cast<size_t>(bodyLength);
        memmove(request, request + used, held - used);
        held -= used;
        request[held] = 0;
    }
}
