#include "tests/support/tls_front.h"

#include <openssl/err.h>
#include <poll.h>
#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/loopback_peer.h"

namespace {

constexpr int kPollMilliseconds = 20;

// Application data whose record fails decryption: a well-formed TLS 1.2/1.3
// record header followed by bytes no key produced.
void SendBrokenRecord(SocketHandle connection)
{
    char record[5 + 48] = {0x17, 0x03, 0x03, 0x00, 48};
    memset(record + 5, 0x5A, 48);
    SendAll(connection, record, sizeof record);
}

}  // namespace

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
      ending_(options.ending)
{
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
    while (!stopping_) {
        if (WaitReadable(listener_, kPollMilliseconds) <= 0)
            continue;
        SocketHandle connection = accept(listener_, nullptr, nullptr);
        if (connection == kNoSocket)
            continue;
        ++connections_;
        relays.emplace_back(&TlsFront::Relay, this, connection);
    }
    for (std::thread& relay : relays)
        relay.join();
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
