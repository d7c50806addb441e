#include "tests/support/tls_front.h"

#include <openssl/err.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/loopback_peer.h"

namespace {

constexpr int kPollMilliseconds = 20;
// A trickling server sends a byte this often, this many times: for longer
// than the tests' handshake time-out, shorter than a test may take.
constexpr int kTrickleMilliseconds = 50;
constexpr int kTrickleBytes = 60;

// Application data whose record fails decryption: a well-formed TLS 1.2/1.3
// record header followed by bytes no key produced.
void SendBrokenRecord(SocketHandle connection)
{
    char record[5 + 48] = {0x17, 0x03, 0x03, 0x00, 48};
    memset(record + 5, 0x5A, 48);
    SendAll(connection, record, sizeof record);
}

// Waits for the client's hello and takes what has come of it.
void ReadHello(SocketHandle connection)
{
    char hello[16384];
    if (WaitReadable(connection, 5000) > 0)
        recv(connection, hello, sizeof hello, 0);
}

// A handshake record of 16 KiB, announced and then sent a byte at a time
// until the client goes or the bytes run out.
void Trickle(SocketHandle connection)
{
    const unsigned char header[5] = {0x16, 0x03, 0x03, 0x40, 0x00};
    for (int i = 0; i < kTrickleBytes; ++i) {
        const char byte = i < 5 ? static_cast<char>(header[i]) : 0;
        if (send(connection, &byte, 1, kSendFlags) != 1)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(kTrickleMilliseconds));
    }
}

}  // namespace

TlsFrontOptions RefusingServer(const std::string& name)
{
    TlsFrontOptions options;
    if (name == "server-2") {
        options.certificate = "server";
    } else if (name == "tls1.1") {
        options.maxVersion = TLS1_1_VERSION;
    } else if (name == "weak-ciphers") {
        // TLS 1.2 (1.3 has only strong ciphers) with nothing but ciphers that
        // leave the data unencrypted, which no client offers.
        options.maxVersion = TLS1_2_VERSION;
        options.ciphers = "NULL-SHA256:NULL-SHA:@SECLEVEL=0";
    } else if (name == "closes") {
        options.kind = TlsServerKind::Closes;
    } else if (name == "plain-http") {
        options.kind = TlsServerKind::PlainHttp;
    } else if (name == "trickles") {
        options.kind = TlsServerKind::Trickles;
    } else if (name == "untrusted" || name == "non-ca-issuer" || name == "other-host" || name == "expired" ||
               name == "not-yet-valid" || name == "client-only") {
        options.certificate = name;
    } else {
        abort();
    }
    return options;
}

std::string TestCertificateFile(const std::string& name)
{
    return std::string(WEBPRINT_TLS_CERTIFICATES) + "/" + name;
}

void TrustTestCa()
{
    setenv("SSL_CERT_FILE", TestCertificateFile("ca.pem").c_str(), 1);
    // Only the test CA: the machine's own roots play no part.
    setenv("SSL_CERT_DIR", WEBPRINT_TLS_CERTIFICATES, 1);
}

SSL_CTX* TestServerContext(const std::string& name, int maxVersion)
{
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, TestCertificateFile(name + ".pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, TestCertificateFile(name + ".key").c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_set_max_proto_version(context, maxVersion) != 1)
        abort();
    SSL_CTX_set_read_ahead(context, 1);
    if (maxVersion != 0 && maxVersion < TLS1_2_VERSION) {
        // Old versions are refused at the default security level.
        SSL_CTX_set_security_level(context, 0);
        SSL_CTX_set_min_proto_version(context, 0);
        SSL_CTX_set_cipher_list(context, "DEFAULT@SECLEVEL=0");
    }
    return context;
}

TlsFront::TlsFront(uint16_t backendPort, const TlsFrontOptions& options)
    : context_(TestServerContext(options.certificate, options.maxVersion)), backendPort_(backendPort),
      ending_(options.ending), kind_(options.kind)
{
    if (!options.ciphers.empty() && SSL_CTX_set_cipher_list(context_, options.ciphers.c_str()) != 1)
        abort();
    listener_ = ListenOnLoopback(16, &port_);
    thread_ = std::thread(&TlsFront::Run, this);
}

TlsFront::~TlsFront()
{
    Stop();
    CloseSocket(listener_);
    SSL_CTX_free(context_);
}

void TlsFront::Stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

void TlsFront::Run()
{
    std::vector<std::thread> relays;
    // A stop still takes the connections already made, so that they count,
    // even one a client closed at once.
    for (;;) {
        if (WaitReadable(listener_, stopping_ ? 0 : kPollMilliseconds) <= 0) {
            if (stopping_)
                break;
            continue;
        }
        SocketHandle connection = accept(listener_, nullptr, nullptr);
        if (connection == kNoSocket)
            continue;
        ++connections_;
        relays.emplace_back(&TlsFront::Serve, this, connection);
    }
    for (std::thread& relay : relays)
        relay.join();
}

void TlsFront::Serve(SocketHandle connection)
{
    if (kind_ == TlsServerKind::Tls) {
        Relay(connection);
        return;
    }
    ReadHello(connection);
    if (kind_ == TlsServerKind::PlainHttp) {
        const char answer[] = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        SendAll(connection, answer, sizeof answer - 1);
    } else if (kind_ == TlsServerKind::Trickles) {
        Trickle(connection);
    }
    CloseSocket(connection);
}

void TlsFront::Relay(SocketHandle connection)
{
    // OpenSSL writes to a client that has gone with write(): the SIGPIPE that
    // raises stays blocked in this thread instead of ending the test program.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    SSL* ssl = SSL_new(context_);
    SSL_set_fd(ssl, connection);
    if (SSL_accept(ssl) != 1) {
        SSL_free(ssl);
        CloseSocket(connection);
        ERR_clear_error();
        return;
    }
    ++handshakes_;
    SocketHandle backend = ConnectToLoopback(backendPort_);
    char buffer[16384];
    bool backendClosed = false;
    while (!stopping_) {
        pollfd sockets[2] = {{connection, POLLIN, 0}, {backend, POLLIN, 0}};
        if (SSL_has_pending(ssl) == 0 && poll(sockets, 2, kPollMilliseconds) <= 0)
            continue;
        if (SSL_has_pending(ssl) == 1 || sockets[0].revents != 0) {
            int count = SSL_read(ssl, buffer, sizeof buffer);
            if (count <= 0)
                break;
            bytesReceived_ += static_cast<size_t>(count);
            if (!SendAll(backend, buffer, static_cast<size_t>(count)))
                break;
        }
        if (sockets[1].revents != 0) {
            int count = static_cast<int>(recv(backend, buffer, sizeof buffer, 0));
            if (count <= 0) {
                backendClosed = true;
                break;
            }
            if (SSL_write(ssl, buffer, count) != count)
                break;
            if (SSL_version(ssl) == TLS1_3_VERSION && SSL_new_session_ticket(ssl) == 1)
                SSL_do_handshake(ssl);
        }
    }
    if (backendClosed && ending_ == TlsEnding::CloseNotify)
        SSL_shutdown(ssl);
    if (backendClosed && ending_ == TlsEnding::BrokenRecord)
        SendBrokenRecord(connection);
    SSL_free(ssl);
    CloseSocket(backend);
    CloseSocket(connection);
    ERR_clear_error();
}
