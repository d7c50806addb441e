#include "transport/socket_shim.h"

#ifndef _WIN32
#include <poll.h>
#endif

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
    // poll, unlike select, has no FD_SETSIZE limit on the descriptor number.
    pollfd entry{socketHandle, POLLIN, 0};
    return poll(&entry, 1, timeoutMilliseconds);
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
