#include "transport/socket_shim.h"

#ifdef _WIN32
#include <atomic>

static std::atomic<bool> WaitsEnded{false};
// The socket a wait watches now, so that a stop on another thread can end it.
static std::atomic<SocketHandle> WaitingSocket{kNoSocket};

void SetWaitsEnded(bool ended)
{
    WaitsEnded = ended;
    // The waiting thread names its socket before it looks at the flag, and
    // this looks at the socket after setting the flag, so at least one of
    // the two sees the other. A shut down socket is readable at once; should
    // its number already belong to the poll's next connection, that one's
    // wait fails too, as every wait from now on does.
    const SocketHandle waiting = WaitingSocket.load();
    if (ended && waiting != kNoSocket)
        shutdown(waiting, SD_BOTH);
}
#else
#include <cerrno>
#include <chrono>

#include <poll.h>

static int StopDescriptor = -1;

void EndWaitsWhenReadable(int descriptor)
{
    StopDescriptor = descriptor;
}
#endif

int WaitReadable(SocketHandle socketHandle, int timeoutMilliseconds)
{
    if (socketHandle == kNoSocket)
        return -1;
#ifdef _WIN32
    WaitingSocket = socketHandle;
    int ready = -1;
    if (!WaitsEnded) {
        // Bytes already there need no select, the dearer call under Wine: a
        // reply has often arrived by the time its reader asks.
        u_long pending = 0;
        if (ioctlsocket(socketHandle, FIONREAD, &pending) == 0 && pending > 0) {
            ready = 1;
        } else {
            fd_set readSet;
            FD_ZERO(&readSet);
            FD_SET(socketHandle, &readSet);
            timeval timeout;
            timeout.tv_sec = timeoutMilliseconds / 1000;
            timeout.tv_usec = (timeoutMilliseconds % 1000) * 1000;
            ready = select(0, &readSet, nullptr, nullptr, &timeout);
        }
    }
    WaitingSocket = kNoSocket;
    // A stop while the socket was shut down under the wait: not the server's answer.
    return WaitsEnded ? -1 : ready;
#else
    // poll, unlike select, has no FD_SETSIZE limit on the descriptor number.
    // It ignores the stop entry while that is -1.
    pollfd entries[2] = {{socketHandle, POLLIN, 0}, {StopDescriptor, POLLIN, 0}};
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
