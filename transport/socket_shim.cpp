#include "transport/socket_shim.h"

#include "transport/deadline.h"

#ifdef _WIN32
#include <atomic>

static std::atomic<bool> WaitsEnded{false};
// Turns readable when a stop is requested, so that a select in progress,
// which watches it too, wakes at once. A datagram socket that sends to itself.
// Any local process can send to it as well, so a datagram only wakes the
// wait: WaitsEnded alone says whether a stop was requested.
static std::atomic<SocketHandle> WakeSocket{kNoSocket};

static void EmptyWakeSocket(SocketHandle wake)
{
    char bytes[16];
    while (recv(wake, bytes, sizeof bytes, 0) > 0) {
    }
}

static SocketHandle MakeWakeSocket()
{
    SocketHandle wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    u_long nonBlocking = 1;
    if (wake != kNoSocket && (bind(wake, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                              ioctlsocket(wake, FIONBIO, &nonBlocking) != 0)) {
        closesocket(wake);
        wake = kNoSocket;
    }
    return wake;
}

void SetWaitsEnded(bool ended)
{
    const SocketHandle wake = WakeSocket;
    if (!ended) {
        // From now on the waits watch the wake socket; one left readable by
        // an earlier stop is emptied first.
        if (wake == kNoSocket)
            WakeSocket = MakeWakeSocket();
        else
            EmptyWakeSocket(wake);
        WaitsEnded = false;
        return;
    }
    WaitsEnded = true;
    sockaddr_in self = {};
    int length = sizeof self;
    const char byte = 0;
    if (wake != kNoSocket && getsockname(wake, reinterpret_cast<sockaddr*>(&self), &length) == 0)
        sendto(wake, &byte, 1, 0, reinterpret_cast<sockaddr*>(&self), length);
}

// Waits until the socket is readable (or, for writing, takes more or has
// failed), or a stop: 1, 0 at the time-out, <0 on an error or a stop. A
// datagram on the wake socket that no stop sent is read and ignored, and the
// wait goes on for the time that is left.
static int WaitForSocket(SocketHandle socketHandle, bool forWriting, int timeoutMilliseconds)
{
    const Deadline deadline(timeoutMilliseconds);
    const SocketHandle wake = WakeSocket;
    for (;;) {
        // Also after a datagram was read: it may have been the stop's, which
        // sets WaitsEnded before it sends.
        if (WaitsEnded)
            return -1;
        fd_set readSet;
        fd_set writeSet;
        fd_set failSet;
        FD_ZERO(&readSet);
        FD_ZERO(&writeSet);
        FD_ZERO(&failSet);
        FD_SET(socketHandle, forWriting ? &writeSet : &readSet);
        if (forWriting)
            FD_SET(socketHandle, &failSet);
        if (wake != kNoSocket)
            FD_SET(wake, &readSet);
        const int left = deadline.LeftMilliseconds();
        timeval timeout;
        timeout.tv_sec = left / 1000;
        timeout.tv_usec = (left % 1000) * 1000;
        const int ready = select(0, &readSet, &writeSet, &failSet, &timeout);
        // Woken by a stop: not the server's answer.
        if (WaitsEnded)
            return -1;
        if (ready <= 0)
            return ready;
        if (FD_ISSET(socketHandle, &readSet) || FD_ISSET(socketHandle, &writeSet) || FD_ISSET(socketHandle, &failSet))
            return 1;
        EmptyWakeSocket(wake);
        if (deadline.LeftMilliseconds() == 0)
            return 0;
    }
}
#else
#include <cerrno>

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
    if (WaitsEnded)
        return -1;
    // Bytes already there need no select, the dearer call under Wine: a reply
    // has often arrived by the time its reader asks.
    u_long pending = 0;
    if (ioctlsocket(socketHandle, FIONREAD, &pending) == 0 && pending > 0)
        return 1;
    return WaitForSocket(socketHandle, false, timeoutMilliseconds);
#else
    return WaitFor(socketHandle, POLLIN, timeoutMilliseconds);
#endif
}

bool InputWaiting(SocketHandle socketHandle)
{
#ifdef _WIN32
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(socketHandle, &readSet);
    timeval noWait = {0, 0};
    return select(0, &readSet, nullptr, nullptr, &noWait) != 0;
#else
    return WaitReadable(socketHandle, 0) != 0;
#endif
}

int ReceiveWithin(SocketHandle socketHandle, char* buffer, int size, int timeoutMilliseconds, int* socketTimeout)
{
    if (socketHandle == kNoSocket)
        return kReceiveWaitFailed;
#ifdef _WIN32
    // A bound of 0 would mean none at all; a read for no bytes may not wait
    // on the socket's bound either. Both wait first instead. So does every
    // read while a service watches for its stop: a blocking read sees neither
    // the wake socket nor, under Wine, a shutdown from another thread.
    const bool socketBounds = timeoutMilliseconds > 0 && size > 0 && WakeSocket == kNoSocket && !WaitsEnded;
    if (socketBounds && *socketTimeout != timeoutMilliseconds) {
        const DWORD milliseconds = static_cast<DWORD>(timeoutMilliseconds);
        const char* value = reinterpret_cast<const char*>(&milliseconds);
        const bool set = setsockopt(socketHandle, SOL_SOCKET, SO_RCVTIMEO, value, sizeof milliseconds) == 0;
        *socketTimeout = set ? timeoutMilliseconds : 0;
    }
    if (!socketBounds || *socketTimeout != timeoutMilliseconds) {
        const int ready = WaitReadable(socketHandle, timeoutMilliseconds);
        if (ready <= 0)
            return ready < 0 ? kReceiveWaitFailed : kReceiveTimedOut;
    }
    const int count = recv(socketHandle, buffer, size, 0);
    if (count < 0)
        return WSAGetLastError() == WSAETIMEDOUT ? kReceiveTimedOut : kReceiveFailed;
    return count;
#else
    (void)socketTimeout;
    // A stop ends a job between blocks too, not only where a read waits: a
    // server that keeps up would otherwise hold the daemon to the job's end.
    if (StopRequested())
        return kReceiveWaitFailed;
    if (size > 0) {
        const ssize_t count = recv(socketHandle, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
        if (count >= 0)
            return static_cast<int>(count);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return kReceiveFailed;
    }
    const int ready = WaitReadable(socketHandle, timeoutMilliseconds);
    if (ready <= 0)
        return ready < 0 ? kReceiveWaitFailed : kReceiveTimedOut;
    const ssize_t count = recv(socketHandle, buffer, static_cast<size_t>(size), 0);
    return count < 0 ? kReceiveFailed : static_cast<int>(count);
#endif
}

#ifdef _WIN32
// What SendWithin's *socketTimeout holds once the socket sends without blocking.
static constexpr int kSendsWithoutBlocking = -1;

#endif

int SendWithin(SocketHandle socketHandle, const char* data, int length, int timeoutMilliseconds, int* socketTimeout)
{
    if (socketHandle == kNoSocket)
        return kSendWaitFailed;
#ifdef _WIN32
    if (WakeSocket == kNoSocket && !WaitsEnded && timeoutMilliseconds > 0) {
        if (*socketTimeout != timeoutMilliseconds) {
            const DWORD milliseconds = static_cast<DWORD>(timeoutMilliseconds);
            const char* value = reinterpret_cast<const char*>(&milliseconds);
            const bool set = setsockopt(socketHandle, SOL_SOCKET, SO_SNDTIMEO, value, sizeof milliseconds) == 0;
            *socketTimeout = set ? timeoutMilliseconds : 0;
        }
        if (*socketTimeout == timeoutMilliseconds) {
            while (length > 0) {
                const int sent = send(socketHandle, data, length, 0);
                if (sent <= 0)
                    return WSAGetLastError() == WSAETIMEDOUT ? kSendTimedOut : kSendFailed;
                data += sent;
                length -= sent;
            }
            return 0;
        }
    }
    // From its first send on, a socket whose waits watch a stop does not
    // block, so a wait for room watches the stop as well. Its reads wait
    // before every recv all the same.
    if (*socketTimeout != kSendsWithoutBlocking) {
        u_long nonBlocking = 1;
        if (ioctlsocket(socketHandle, FIONBIO, &nonBlocking) != 0)
            return kSendFailed;
        *socketTimeout = kSendsWithoutBlocking;
    }
    const Deadline deadline(timeoutMilliseconds);
    while (length > 0) {
        const int sent = send(socketHandle, data, length, 0);
        if (sent > 0) {
            data += sent;
            length -= sent;
            continue;
        }
        if (sent < 0 && WSAGetLastError() != WSAEWOULDBLOCK)
            return kSendFailed;
        const int ready = WaitForSocket(socketHandle, true, deadline.LeftMilliseconds());
        if (ready <= 0)
            return ready < 0 ? kSendWaitFailed : kSendTimedOut;
    }
    return 0;
#else
    (void)socketTimeout;
    const Deadline deadline(timeoutMilliseconds);
    while (length > 0) {
        const ssize_t sent = send(socketHandle, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            length -= static_cast<int>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return kSendFailed;
        // The wait ends at once when a stop is requested.
        const int ready = WaitFor(socketHandle, POLLOUT, deadline.LeftMilliseconds());
        if (ready <= 0)
            return ready < 0 ? kSendWaitFailed : kSendTimedOut;
    }
    return 0;
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
