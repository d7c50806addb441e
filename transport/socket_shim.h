// One set of socket calls over Winsock 2 and BSD sockets, so the transport
// compiles unchanged for Windows and for the native test build.
#pragma once

#include <cstdint>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
// Linux raises SIGPIPE on a send to a closed peer; Windows only returns an error.
constexpr int kSendFlags = 0;

inline int CloseSocket(SocketHandle socketHandle) { return closesocket(socketHandle); }
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;

inline int CloseSocket(SocketHandle socketHandle) { return close(socketHandle); }
#endif

// Waits until the socket is readable: >0 readable, 0 time-out, <0 error
// (also for kNoSocket, which has nothing to wait on).
int WaitReadable(SocketHandle socketHandle, int timeoutMilliseconds);

// Whether a kept connection has input waiting that no request of ours asked
// for: unread bytes, on Linux also the peer's close or an error. Windows tells
// only of bytes here: its checks that also see a close (select, WSAPoll) cost
// a round trip to Wine's server, about twice the byte count's, and this runs
// before every request. A close the check misses fails the next request.
bool InputWaiting(SocketHandle socketHandle);

#ifndef _WIN32
// A daemon's stop request: once this descriptor turns readable, every wait
// for the server (connect included) fails at once, so a stop cuts a poll
// short wherever it waits. -1 (the start value) watches nothing.
void EndWaitsWhenReadable(int descriptor);
// Whether that descriptor has turned readable; for waits of other libraries.
bool StopRequested();
#endif

// connect(): 0 connected, -1 not (errno or WSAGetLastError says why). Natively
// the wait is bounded by the time-out and ends when a stop is requested;
// Windows waits as long as its own connect takes.
int ConnectWithin(SocketHandle socketHandle, const sockaddr* address, int length, int timeoutMilliseconds);

// Reads the socket's pending error (SO_ERROR); false when it cannot be read.
bool ReadPendingError(SocketHandle socketHandle, int* error);

// Requests go out as two sends (head, body); without this each one waits for
// the peer's delayed acknowledgement.
void DisableNagle(SocketHandle socketHandle);
