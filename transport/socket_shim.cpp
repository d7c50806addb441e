#include "transport/socket_shim.h"

#ifndef _WIN32
#include <cerrno>
#include <chrono>

#include <fcntl.h>
#include <poll.h>

static int StopDescriptor = -1;

void EndWaitsWhenReadable(int descriptor)
{
    StopDescriptor = descriptor;
}

bool StopRequested()
{
    pollfd entry = {StopDescriptor, POLLIN, 0};
    return StopDescriptor >= 0 && poll(&entry, 1, 0) > 0;
}

// Waits for events on the socket: >0 when they came, 0 at the time-out, <0
// on an error or once a stop is requested.
static int WaitFor(SocketHandle socketHandle, short events, int timeoutMilliseconds)
{
    // poll, unlike select, has no FD_SETSIZE limit on the descriptor number.
    // It ignores the stop entry while that is -1.
    pollfd entries[2] = {{socketHandle, events, 0}, {StopDescriptor, POLLIN, 0}};
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    for (;;) {
        int ready = poll(entries, 2, timeoutMilliseconds);
        if (ready > 0 && entries[1].revents != 0)
            return -1;
        // A signal handled meanwhile (a reload request) is no failure of the
        // wait: it goes on for the time that is left.
        if (ready >= 0 || errno != EINTR)
            return ready;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        timeoutMilliseconds = left > 0 ? static_cast<int>(left) : 0;
    }
}
#endif

int ConnectWithin(SocketHandle socketHandle, const sockaddr* address, int length, int timeoutMilliseconds)
{
#ifdef _WIN32
    (void)timeoutMilliseconds;
    return connect(socketHandle, address, length) == 0 ? 0 : -1;
#else
    // Without blocking, so the wait is ours to bound and to cut short.
    const int flags = fcntl(socketHandle, F_GETFL);
    if (flags < 0 || fcntl(socketHandle, F_SETFL, flags | O_NONBLOCK) != 0)
        return -1;
    int result = connect(socketHandle, address, static_cast<socklen_t>(length));
    if (result != 0 && errno == EINPROGRESS) {
        const int ready = WaitFor(socketHandle, POLLOUT, timeoutMilliseconds);
        int error = 0;
        if (ready == 0)
            error = ETIMEDOUT;
        else if (ready < 0)
            error = ECANCELED;
        else if (!ReadPendingError(socketHandle, &error))
            error = errno;
        result = error == 0 ? 0 : -1;
        errno = error;
    }
    const int connectErrno = errno;
    fcntl(socketHandle, F_SETFL, flags);
    errno = connectErrno;
    return result == 0 ? 0 : -1;
#endif
}

int WaitReadable(SocketHandle socketHandle, int timeoutMilliseconds)
{
    if (socketHandle == kNoSocket)
        return -1;
#ifdef _WIN32
    // Bytes already there need no select, the dearer call under Wine: a reply
    // has often arrived by the time its reader asks.
    u_long pending = 0;
    if (ioctlsocket(socketHandle, FIONREAD, &pending) == 0 && pending > 0)
        return 1;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(socketHandle, &readSet);
    timeval timeout;
    timeout.tv_sec = timeoutMilliseconds / 1000;
    timeout.tv_usec = (timeoutMilliseconds % 1000) * 1000;
    return select(0, &readSet, nullptr, nullptr, &timeout);
#else
    return WaitFor(socketHandle, POLLIN, timeoutMilliseconds);
#endif
}

bool InputWaiting(SocketHandle socketHandle)
{
#ifdef _WIN32
    u_long pending = 0;
    return ioctlsocket(socketHandle, FIONREAD, &pending) != 0 || pending > 0;
#else
    return WaitReadable(socketHandle, 0) != 0;
#endif
}

bool ReadPendingError(SocketHandle socketHandle, int* error)
{
    if (socketHandle == kNoSocket)
        return false;
    int value = 0;
#ifdef _WIN32
    int length = sizeof value;
    bool ok = getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) == 0;
#else
    socklen_t length = sizeof value;
    bool ok = getsockopt(socketHandle, SOL_SOCKET, SO_ERROR, &value, &length) == 0;
#endif
    if (ok)
        *error = value;
    return ok;
}

void DisableNagle(SocketHandle socketHandle)
{
    int on = 1;
    setsockopt(socketHandle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}
