// A print service for one job, as quick as a loopback socket allows, for
// timing the client against the wire rather than against a slow server. It
// answers qryspool with the job, spooldata with the block at the offset asked
// (every byte complemented, as services send spool data) and every other
// function with "OK". One thread, one connection at a time, kept alive.
// Given a TLS server context, it speaks the same inside TLS.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

class LoopbackService {
public:
    explicit LoopbackService(const std::string& job, SSL_CTX* tls = nullptr);
    ~LoopbackService();
    LoopbackService(const LoopbackService&) = delete;
    LoopbackService& operator=(const LoopbackService&) = delete;

    uint16_t Port() const { return port_; }
    // Connections accepted so far: under TLS, one handshake each.
    int Connections() const { return connections_; }

    // The reply bodies, as sent: what an ideal client reads back.
    std::string QueryBody() const;
    // Bytes of a whole reply whose body has the given length.
    static int32_t ReplyLength(int32_t bodyLength);

    static constexpr int32_t kBlockSize = 4096;

private:
    void Run();
    void Serve(int connection, SSL* ssl);

    std::string complemented_;
    SSL_CTX* tls_;
    std::atomic<int> connections_{0};
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};
