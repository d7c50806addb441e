// A TLS server on loopback for tests and benchmarks (OpenSSL, native only).
// It does the handshake with one of the committed test certificates and
// relays each connection's application data to a plain backend on loopback,
// such as a ScriptedServer, one backend connection per TLS connection: the
// backend sees the requests exactly as the client sent them inside TLS. A TLS
// 1.3 connection also gets a session ticket after every reply, as servers
// send them on their own: one arrives while the client sits between requests.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "transport/socket_shim.h"

// A file of tests/support/tls by name, e.g. "ca.pem".
std::string TestCertificateFile(const std::string& name);

// Makes OpenSSL in this process trust the test CA, through SSL_CERT_FILE as
// an administrator would point it at a CA bundle.
void TrustTestCa();

// A server context with the certificate and key NAME.pem and NAME.key;
// maxVersion 0 allows the newest TLS version. Aborts when the files do not load.
SSL_CTX* TestServerContext(const std::string& name, int maxVersion);

// What the server does when its backend closes a connection.
enum class TlsEnding {
    CloseNotify,   // sends close_notify, then closes
    PlainClose,    // closes the socket without a word
    BrokenRecord,  // sends a record that fails its integrity check, then closes
};

// How the server meets a connection.
enum class TlsServerKind {
    Tls,        // the handshake, then the relay to the backend
    Closes,     // reads the client's hello and closes
    PlainHttp,  // answers the hello as a plain HTTP service does, and closes
    Trickles,   // sends the start of a handshake record a byte at a time
};

struct TlsFrontOptions {
    std::string certificate = "server";
    int maxVersion = 0;
    // The cipher list for TLS 1.2 and older; empty keeps OpenSSL's own.
    std::string ciphers;
    TlsEnding ending = TlsEnding::CloseNotify;
    TlsServerKind kind = TlsServerKind::Tls;
};

// The server a row of the TLS refusal table (tls_refusals.h) names; aborts
// for a name it does not know.
TlsFrontOptions RefusingServer(const std::string& name);

class TlsFront {
public:
    TlsFront(uint16_t backendPort, const TlsFrontOptions& options);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;

    uint16_t Port() const { return port_; }
    // Ends every connection and waits for them; the counts stay readable.
    void Stop();
    // Connections accepted, and of them those whose handshake completed.
    int Connections() const { return connections_; }
    int Handshakes() const { return handshakes_; }
    // Application bytes the clients sent, over all connections.
    size_t BytesReceived() const { return bytesReceived_; }

private:
    void Run();
    void Serve(SocketHandle connection);
    void Relay(SocketHandle connection);

    SSL_CTX* context_;
    uint16_t backendPort_;
    TlsEnding ending_;
    TlsServerKind kind_;
    SocketHandle listener_ = kNoSocket;
    uint16_t port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<int> handshakes_{0};
    std::atomic<size_t> bytesReceived_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
