// The TLS layer under the HTTP exchange, one implementation per platform: the
// system's own provider (SChannel through SSPI) on Windows, OpenSSL natively.
// The HTTP code above sees plain bytes in and out and never which library
// carries them. The server's certificate is verified inside TlsOpen, against
// the machine's trusted roots and the host name, so no caller can skip it.
#pragma once

#include <cstdint>

#include "transport/socket_shim.h"

struct TlsChannel;

// Room for a failure reason, terminator included.
constexpr int kTlsReasonCapacity = 256;

// Handshake on a connected socket: TLS 1.2 or later, SNI for a host name and
// none for a dotted address, then the certificate chain and the name (a dotted
// address, which must be in plain form, must be among the certificate's IP
// addresses). The whole handshake ends within timeoutMilliseconds, however
// the server spaces its bytes. Returns the channel, or null with a short
// reason from the table in tls_reasons.h ("certificate not trusted",
// "server did not answer in time", ...). The socket stays the caller's in
// both cases.
TlsChannel* TlsOpen(SocketHandle socketHandle, const char* host, int timeoutMilliseconds,
                    char* reason, int reasonCapacity);

// Sends all of data as application records; 0, or 1 on failure.
int TlsSend(TlsChannel* channel, const void* data, int32_t length);

// Reads application data into buffer, waiting for the socket only when no
// decrypted data is held. Returns the byte count, 0 when the peer closed the
// connection (close_notify or a plain close), -1 for a TLS failure (an alert,
// a broken record; reason says which) or a socket error, -2 for a time-out.
int TlsReceive(TlsChannel* channel, char* buffer, int32_t size, int timeoutMilliseconds,
               char* reason, int reasonCapacity);

// Before a request on a kept connection: consumes records that carry no
// application data (TLS 1.3 session tickets, key updates) without waiting.
// True when the connection cannot carry a new request: application data is
// waiting unread, the peer closed, or the channel failed.
bool TlsConnectionStale(TlsChannel* channel);

// Sends close_notify when it can without waiting and frees the channel; the
// caller closes the socket.
void TlsClose(TlsChannel* channel);
