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
// for: unread bytes, the peer's close or an error. This runs before a request
// on a kept connection, so a close is seen before anything is sent on it.
// Windows' unread byte count cannot see a close (Wine reports 0 bytes for a
// closed peer); a select that does not wait can, at about twice its cost
// under Wine (17 us against 9 us a call).
bool InputWaiting(SocketHandle socketHandle);

// What ReceiveWithin returns besides a byte count (0 is the peer's close).
constexpr int kReceiveFailed = -1;
constexpr int kReceiveTimedOut = -2;
constexpr int kReceiveWaitFailed = -3;  // also for kNoSocket

// Reads at most size bytes, waiting at most timeoutMilliseconds for the
// first. Bytes that have arrived already are read by one call, without a
// wait before it: Linux tries a read that does not block first; Windows has
// the socket itself bound each read (SO_RCVTIMEO), which costs the read
// nothing under Wine where a select before it costs as much again. A
// service that watches for its stop (SetWaitsEnded) waits as WaitReadable
// does instead, which looks at the unread byte count before any select.
// *socketTimeout holds the bound the socket has been given: 0 for a new
// socket, set anew whenever the time-out differs.
int ReceiveWithin(SocketHandle socketHandle, char* buffer, int size, int timeoutMilliseconds, int* socketTimeout);

// What SendWithin returns besides 0 (every byte taken).
constexpr int kSendFailed = -1;
constexpr int kSendTimedOut = -2;
constexpr int kSendWaitFailed = -3;  // a stop, or kNoSocket

// Sends all of data, waiting at most timeoutMilliseconds in all while the
// peer takes none: a server that stops reading cannot hold a poll for good,
// and a stop ends the wait as it ends a read's. Windows without a stop to
// watch has the socket bound the send itself (SO_SNDTIMEO); while a stop is
// watched the socket sends without blocking from then on, and waits as
// WaitReadable does. *socketTimeout records which, set once per socket: 0
// for a new one.
int SendWithin(SocketHandle socketHandle, const char* data, int length, int timeoutMilliseconds, int* socketTimeout);

#ifndef _WIN32
// A daemon's stop request: once this descriptor turns readable, every wait
// for the server (connect included) fails at once, so a stop cuts a poll
// short wherever it waits. -1 (the start value) watches nothing.
void EndWaitsWhenReadable(int descriptor);
// Whether that descriptor has turned readable; for waits of other libraries.
bool StopRequested();
#else
// A service's stop request, from any thread: true makes every wait for the
// server fail at once, the one in progress included, so a stop cuts a poll
// short wherever it waits. False waits as usual; a service gives it once at
// its start (after WSAStartup), before any wait a stop must end.
void SetWaitsEnded(bool ended);
#endif

// connect(): 0 connected, -1 not (errno or WSAGetLastError says why). Natively
// the wait is bounded by the time-out and ends when a stop is requested;
// Windows waits as long as its own connect takes.
int ConnectWithin(SocketHandle socketHandle, const sockaddr* address, int length, int timeoutMilliseconds);

// Reads the socket's pending error (SO_ERROR); false when it cannot be read.
bool ReadPendingError(SocketHandle socketHandle, int* error);

// Requests in flight go out as sends that follow each other before any reply;
// without this each one after the first waits for the peer's delayed
// acknowledgement.
void DisableNagle(SocketHandle socketHandle);
