// The TLS layer natively: OpenSSL over the client's connected socket.
//
// Reads go through a socket BIO of our own that never blocks, so every wait
// for the network is a WaitReadable with the caller's time-out, and OpenSSL
// never sits inside recv() when only part of a record has arrived. Writes use
// MSG_NOSIGNAL, as plain sends do: a peer that closed must fail the send, not
// raise SIGPIPE and end the process.
#include "transport/tls_channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "transport/deadline.h"
#include "transport/tls_host.h"
#include "transport/tls_reasons.h"

struct TlsChannel {
    SSL* Ssl;
    SocketHandle Socket;
    // Waits inside a send (a TLS 1.2 renegotiation may need a read there).
    int TimeoutMilliseconds;
    // After a fatal error OpenSSL must not be used for that connection again.
    bool Failed = false;
    // close_notify is sent only if the socket takes it at once.
    bool Closing = false;
    // The socket read its end: OpenSSL asks before it takes a read of 0 bytes
    // for a close.
    bool EndOfStream = false;
    // What the server sent first, to tell after a refusal who answered.
    ServerOpening Opening = {};
};

namespace {

int SocketWrite(BIO* bio, const char* data, int length)
{
    TlsChannel* channel = static_cast<TlsChannel*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (!channel->Closing) {
        // All of it, within the time-out and ended by a stop, as plain sends.
        int socketTimeout = 0;
        return SendWithin(channel->Socket, data, length, channel->TimeoutMilliseconds, &socketTimeout) == 0 ? length
                                                                                                            : -1;
    }
    ssize_t sent = send(channel->Socket, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR)
        BIO_set_retry_write(bio);
    return static_cast<int>(sent);
}

int SocketRead(BIO* bio, char* buffer, int size)
{
    TlsChannel* channel = static_cast<TlsChannel*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t count = recv(channel->Socket, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_read(bio);
    channel->EndOfStream = count == 0;
    if (count > 0)
        channel->Opening.Keep(buffer, static_cast<int>(count));
    return static_cast<int>(count);
}

long SocketControl(BIO* bio, int command, long, void*)
{
    // Writes go straight to the socket: nothing is ever held to flush.
    if (command == BIO_CTRL_FLUSH)
        return 1;
    if (command == BIO_CTRL_EOF)
        return static_cast<TlsChannel*>(BIO_get_data(bio))->EndOfStream ? 1 : 0;
    return 0;
}

int SocketCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

// Made once and kept for the life of the process.
BIO_METHOD* SocketMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "webprint socket");
        if (made != nullptr) {
            BIO_meth_set_write(made, SocketWrite);
            BIO_meth_set_read(made, SocketRead);
            BIO_meth_set_ctrl(made, SocketControl);
            BIO_meth_set_create(made, SocketCreate);
        }
        return made;
    }();
    return method;
}

// Explains why the certificate check refused the server.
void DescribeCertificate(long verifyResult, const char* host, char* reason, int capacity)
{
    switch (verifyResult) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
        DescribeTlsFailure(TlsFailure::CertificateExpired, nullptr, reason, capacity);
        return;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        DescribeTlsFailure(TlsFailure::CertificateNotYetValid, nullptr, reason, capacity);
        return;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        DescribeTlsFailure(TlsFailure::CertificateWrongName, host, reason, capacity);
        return;
    // No chain to a trusted root: an unknown or self-signed issuer, or one on
    // the way that may not sign certificates.
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        DescribeTlsFailure(TlsFailure::CertificateNotTrusted, nullptr, reason, capacity);
        return;
    case X509_V_ERR_INVALID_PURPOSE:
        DescribeTlsFailure(TlsFailure::CertificateNotForServer, nullptr, reason, capacity);
        return;
    default:
        DescribeTlsFailure(TlsFailure::CertificateRejected, X509_verify_cert_error_string(verifyResult), reason,
                           capacity);
        return;
    }
}

// Explains a handshake that failed without a certificate verdict.
void DescribeHandshakeFailure(TlsChannel* channel, int error, char* reason, int capacity)
{
    if (DescribeServerOpening(channel->Opening, reason, capacity))
        return;
    unsigned long queued = ERR_peek_last_error();
    int code = ERR_GET_REASON(queued);
    if (ERR_GET_LIB(queued) == ERR_LIB_SSL && code >= SSL_AD_REASON_OFFSET) {
        DescribeServerAlert(code - SSL_AD_REASON_OFFSET, false, reason, capacity);
        return;
    }
    if (ERR_GET_LIB(queued) == ERR_LIB_SSL &&
        (code == SSL_R_UNSUPPORTED_PROTOCOL || code == SSL_R_VERSION_TOO_LOW)) {
        DescribeTlsFailure(TlsFailure::NoUsableVersion, nullptr, reason, capacity);
        return;
    }
    if (channel->EndOfStream || (error == SSL_ERROR_SYSCALL && queued == 0 && errno == 0)) {
        DescribeTlsFailure(TlsFailure::ServerClosed, nullptr, reason, capacity);
        return;
    }
    if (error == SSL_ERROR_SYSCALL && queued == 0) {
        DescribeTlsFailure(TlsFailure::ConnectionBroken, nullptr, reason, capacity);
        return;
    }
    const char* text = ERR_reason_error_string(queued);
    DescribeTlsFailure(TlsFailure::Unexpected, text != nullptr ? text : "no detail", reason, capacity);
}

void SetReason(char* reason, int capacity, const char* format, const char* detail = "")
{
    if (reason != nullptr && capacity > 0)
        snprintf(reason, static_cast<size_t>(capacity), format, detail);
}

// Explains a failed read on an open connection.
void DescribeFailure(int error, char* reason, int capacity)
{
    unsigned long queued = ERR_peek_last_error();
    if (error == SSL_ERROR_SYSCALL && queued == 0) {
        DescribeTlsFailure(errno != 0 ? TlsFailure::ConnectionBroken : TlsFailure::ServerClosed, nullptr, reason,
                           capacity);
        return;
    }
    int code = ERR_GET_REASON(queued);
    if (ERR_GET_LIB(queued) == ERR_LIB_SSL && code >= SSL_AD_REASON_OFFSET) {
        SetReason(reason, capacity, "alert from server: %s", SSL_alert_desc_string_long(code - SSL_AD_REASON_OFFSET));
        return;
    }
    const char* text = ERR_reason_error_string(queued);
    SetReason(reason, capacity, "%s", text != nullptr ? text : "internal error");
}

// Runs one OpenSSL call on the channel until it is done or fails, waiting for
// the socket whenever it wants more input: each wait at most
// timeoutMilliseconds, and all of them together no later than deadline when
// one is given. Returns the call's result, or 0 with *error set
// (SSL_ERROR_WANT_READ alone for a time-out).
template <typename Call>
int Drive(TlsChannel* channel, int timeoutMilliseconds, const Deadline* deadline, int* error, Call call)
{
    for (;;) {
        ERR_clear_error();
        errno = 0;
        int result = call();
        if (result > 0) {
            *error = SSL_ERROR_NONE;
            return result;
        }
        *error = SSL_get_error(channel->Ssl, result);
        if (*error != SSL_ERROR_WANT_READ)
            return 0;
        int wait = timeoutMilliseconds;
        if (deadline != nullptr) {
            wait = deadline->LeftMilliseconds();
            // Bytes that keep arriving would end even a wait of 0 at once.
            if (wait == 0)
                return 0;
        }
        int ready = WaitReadable(channel->Socket, wait);
        if (ready == 0)
            return 0;
        if (ready < 0) {
            *error = SSL_ERROR_SYSCALL;
            return 0;
        }
    }
}

void FreeChannel(TlsChannel* channel)
{
    SSL_free(channel->Ssl);
    delete channel;
    // What the failed calls left in this thread's error queue.
    ERR_clear_error();
}

}  // namespace

TlsChannel* TlsOpen(SocketHandle socketHandle, const char* host, int timeoutMilliseconds,
                    char* reason, int reasonCapacity)
{
    // A handshake the server drags out byte by byte ends in time all the same.
    const Deadline deadline(timeoutMilliseconds);
    unsigned char address[4];
    bool dotted = false;
    if (!ReadTlsHost(host, &dotted, address, reason, reasonCapacity))
        return nullptr;
    DescribeTlsFailure(TlsFailure::TlsUnavailable, nullptr, reason, reasonCapacity);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    TlsChannel* channel = new (std::nothrow) TlsChannel{nullptr, socketHandle, timeoutMilliseconds};
    BIO* bio = SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    bool ready = context != nullptr && channel != nullptr && bio != nullptr &&
                 SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
                 // Honours SSL_CERT_FILE and SSL_CERT_DIR, as every OpenSSL
                 // program on the machine does.
                 SSL_CTX_set_default_verify_paths(context) == 1;
    if (ready) {
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        // A peer that closes without close_notify is a closed peer, as over
        // plain TCP: the response's framing tells whether it was complete.
        SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
        // One recv takes whatever has arrived, not a record header and then
        // its body: a 4 KB reply costs one call, as over plain TCP.
        SSL_CTX_set_read_ahead(context, 1);
        channel->Ssl = SSL_new(context);
        ready = channel->Ssl != nullptr;
    }
    if (ready) {
        BIO_set_data(bio, channel);
        SSL_set_bio(channel->Ssl, bio, bio);
        bio = nullptr;
        X509_VERIFY_PARAM* check = SSL_get0_param(channel->Ssl);
        if (dotted) {
            ready = X509_VERIFY_PARAM_set1_ip(check, address, sizeof address) == 1;
        } else {
            X509_VERIFY_PARAM_set_hostflags(check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            ready = X509_VERIFY_PARAM_set1_host(check, host, 0) == 1 &&
                    SSL_set_tlsext_host_name(channel->Ssl, host) == 1;
        }
    }
    // The channel holds its own reference to the context.
    SSL_CTX_free(context);
    BIO_free(bio);
    if (!ready) {
        if (channel != nullptr)
            FreeChannel(channel);
        return nullptr;
    }

    int error;
    if (Drive(channel, timeoutMilliseconds, &deadline, &error, [&] { return SSL_connect(channel->Ssl); }) > 0)
        return channel;
    long verifyResult = SSL_get_verify_result(channel->Ssl);
    if (error == SSL_ERROR_WANT_READ) {
        DescribeTlsFailure(TlsFailure::NotAnsweredInTime, nullptr, reason, reasonCapacity);
    } else if (verifyResult != X509_V_OK) {
        DescribeCertificate(verifyResult, host, reason, reasonCapacity);
    } else {
        DescribeHandshakeFailure(channel, error, reason, reasonCapacity);
    }
    channel->Failed = true;
    FreeChannel(channel);
    return nullptr;
}

int TlsSend(TlsChannel* channel, const void* data, int32_t length)
{
    if (channel->Failed)
        return 1;
    if (length <= 0)
        return 0;
    int error;
    // Without partial writes, SSL_write returns only when all of data is sent.
    if (Drive(channel, channel->TimeoutMilliseconds, nullptr, &error,
              [&] { return SSL_write(channel->Ssl, data, length); }) > 0)
        return 0;
    channel->Failed = true;
    return 1;
}

int TlsReceive(TlsChannel* channel, char* buffer, int32_t size, int timeoutMilliseconds,
               char* reason, int reasonCapacity)
{
    if (channel->Failed) {
        SetReason(reason, reasonCapacity, "connection already failed");
        return -1;
    }
    // Nothing held: wait before the first read rather than after a read that
    // finds the socket empty.
    if (SSL_has_pending(channel->Ssl) == 0) {
        int ready = WaitReadable(channel->Socket, timeoutMilliseconds);
        if (ready == 0)
            return -2;
        if (ready < 0) {
            SetReason(reason, reasonCapacity, "connection broken");
            channel->Failed = true;
            return -1;
        }
    }
    // No room: like recv() for 0 bytes, a closed peer once anything arrives.
    if (size <= 0)
        return 0;
    int error;
    int count = Drive(channel, timeoutMilliseconds, nullptr, &error,
                      [&] { return SSL_read(channel->Ssl, buffer, size); });
    if (count > 0)
        return count;
    if (error == SSL_ERROR_WANT_READ)
        return -2;
    if (error == SSL_ERROR_ZERO_RETURN)
        return 0;
    DescribeFailure(error, reason, reasonCapacity);
    channel->Failed = true;
    return -1;
}

bool TlsConnectionStale(TlsChannel* channel)
{
    if (channel->Failed)
        return true;
    // A peek reads and consumes whatever records wait (session tickets, key
    // updates) and stops at the first application data, leaving it unread.
    ERR_clear_error();
    char byte;
    int result = SSL_peek(channel->Ssl, &byte, 1);
    return result > 0 || SSL_get_error(channel->Ssl, result) != SSL_ERROR_WANT_READ;
}

void TlsClose(TlsChannel* channel)
{
    if (channel == nullptr)
        return;
    if (!channel->Failed && SSL_is_init_finished(channel->Ssl)) {
        channel->Closing = true;
        ERR_clear_error();
        SSL_shutdown(channel->Ssl);
    }
    FreeChannel(channel);
}
