#include "fuzz/memory_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tests/support/loopback_peer.h"

extern "C" {
int __real_socket(int domain, int type, int protocol);
int __real_connect(int descriptor, const sockaddr* address, socklen_t length);
ssize_t __real_send(int descriptor, const void* data, size_t length, int flags);
ssize_t __real_recv(int descriptor, void* buffer, size_t size, int flags);
int __real_poll(pollfd* entries, nfds_t count, int timeout);
int __real_close(int descriptor);
}

namespace memory_socket {
namespace {

struct Connection {
    int descriptor = -1;        // the real socket standing for it; -1: none yet
    int type = 0;               // and the type it was made with
    bool open = false;          // the client holds it
    std::string request;        // bytes of a request not yet whole
    std::string reply;          // bytes the client has not read
    size_t replyRead = 0;
    bool peerClosed = false;    // after the reply bytes, the end of the stream
    bool reset = false;         // after the reply bytes, a reset
};

// A poll holds one or two connections at a time; more is a leak.
constexpr int kConnections = 16;
Connection Connections[kConnections];
std::function<Answer(const std::string& request)> AnswerFor;
size_t ReadPiece = 0;
std::vector<std::string> Seen;

// The connection the client holds on this descriptor, if any.
Connection* Find(int descriptor)
{
    for (Connection& connection : Connections) {
        if (connection.open && connection.descriptor == descriptor)
            return &connection;
    }
    return nullptr;
}

bool Readable(const Connection& connection)
{
    return connection.replyRead < connection.reply.size() || connection.peerClosed || connection.reset;
}

// Answers every request that is whole by now, as the loopback peer did.
void Serve(Connection* connection)
{
    while (!connection->peerClosed) {
        const size_t length = WholeRequestLength(connection->request);
        if (length == 0)
            return;
        const std::string request = connection->request.substr(0, length);
        Seen.push_back(RequestFunction(request));
        connection->request.erase(0, length);
        const Answer answer = AnswerFor(request);
        connection->reply += answer.bytes;
        connection->peerClosed = answer.closeAfter;
        connection->reset = answer.closeAfter && answer.reset;
    }
}

}  // namespace

void Script(std::function<Answer(const std::string& request)> answer, size_t readPiece)
{
    AnswerFor = std::move(answer);
    ReadPiece = readPiece;
    Seen.clear();
}

const std::vector<std::string>& Functions()
{
    return Seen;
}

int OpenConnections()
{
    int count = 0;
    for (const Connection& connection : Connections)
        count += connection.open ? 1 : 0;
    return count;
}

}  // namespace memory_socket

using memory_socket::Connection;
using memory_socket::Find;

extern "C" {

// A closed connection's real socket is kept for the next one: creating and
// closing a socket in the kernel would cost more than the whole poll.
int __wrap_socket(int domain, int type, int protocol)
{
    if (domain != AF_INET || protocol != 0)
        return __real_socket(domain, type, protocol);
    Connection* spare = nullptr;
    for (Connection& connection : memory_socket::Connections) {
        if (!connection.open && (connection.descriptor < 0 || connection.type == type)) {
            spare = &connection;
            break;
        }
    }
    if (spare == nullptr)
        abort();
    if (spare->descriptor < 0) {
        spare->descriptor = __real_socket(domain, type, protocol);
        spare->type = type;
        if (spare->descriptor < 0)
            return -1;
    }
    const int descriptor = spare->descriptor;
    *spare = Connection();
    spare->descriptor = descriptor;
    spare->type = type;
    spare->open = true;
    return descriptor;
}

int __wrap_connect(int descriptor, const sockaddr* address, socklen_t length)
{
    return Find(descriptor) != nullptr ? 0 : __real_connect(descriptor, address, length);
}

ssize_t __wrap_send(int descriptor, const void* data, size_t length, int flags)
{
    Connection* connection = Find(descriptor);
    if (connection == nullptr)
        return __real_send(descriptor, data, length, flags);
    if (connection->reset) {
        errno = EPIPE;
        return -1;
    }
    // Bytes sent after the peer has gone are lost, as the first send into a
    // closed TCP connection succeeds; the peer answers them with a reset.
    if (connection->peerClosed) {
        connection->reset = true;
        return static_cast<ssize_t>(length);
    }
    connection->request.append(static_cast<const char*>(data), length);
    memory_socket::Serve(connection);
    return static_cast<ssize_t>(length);
}

ssize_t __wrap_recv(int descriptor, void* buffer, size_t size, int flags)
{
    Connection* connection = Find(descriptor);
    if (connection == nullptr)
        return __real_recv(descriptor, buffer, size, flags);
    const size_t waiting = connection->reply.size() - connection->replyRead;
    if (waiting == 0) {
        errno = connection->reset ? ECONNRESET : EAGAIN;
        if (connection->peerClosed && !connection->reset)
            return 0;
        return -1;
    }
    size_t count = size < waiting ? size : waiting;
    if (memory_socket::ReadPiece > 0 && count > memory_socket::ReadPiece)
        count = memory_socket::ReadPiece;
    memcpy(buffer, connection->reply.data() + connection->replyRead, count);
    if ((flags & MSG_PEEK) == 0)
        connection->replyRead += count;
    return static_cast<ssize_t>(count);
}

int __wrap_poll(pollfd* entries, nfds_t count, int timeout)
{
    bool memory = false;
    bool others = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (Find(entries[i].fd) != nullptr)
            memory = true;
        else if (entries[i].fd >= 0)
            others = true;
    }
    if (!memory)
        return __real_poll(entries, count, timeout);
    // Other descriptors are asked without waiting: a wait here ends at once.
    int ready = 0;
    if (others) {
        std::vector<pollfd> real(entries, entries + count);
        for (pollfd& entry : real) {
            if (Find(entry.fd) != nullptr)
                entry.fd = -1;
        }
        ready = __real_poll(real.data(), count, 0);
        if (ready < 0)
            return ready;
        for (nfds_t i = 0; i < count; ++i)
            entries[i].revents = real[i].revents;
    }
    for (nfds_t i = 0; i < count; ++i) {
        const Connection* connection = Find(entries[i].fd);
        if (connection == nullptr)
            continue;
        short events = entries[i].events & POLLOUT;
        if (Readable(*connection))
            events |= entries[i].events & POLLIN;
        if (connection->peerClosed)
            events |= entries[i].events & POLLRDHUP;
        entries[i].revents = events;
        if (events != 0)
            ++ready;
    }
    return ready;
}

int __wrap_close(int descriptor)
{
    if (Connection* connection = Find(descriptor)) {
        connection->open = false;
        return 0;
    }
    // Closing a kept socket again would close a descriptor the client no
    // longer owns.
    for (const Connection& connection : memory_socket::Connections) {
        if (connection.descriptor == descriptor && descriptor >= 0)
            abort();
    }
    return __real_close(descriptor);
}

}  // extern "C"
