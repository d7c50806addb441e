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
    // The job is for the printer named. Given a TLS server context, the
    // service speaks TLS.
    explicit LoopbackService(const std::string& job, SSL_CTX* tls = nullptr,
                             const std::string& printer = "Office Laser");
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
    static constexpr char kPrefix[] = ".00010101000000000000/system/rmtprt.aspx?func=";

    // What an ideal client does: connects, writes a request as the client does (head,
    // then body, in two sends), and reads exactly length bytes of reply
    // without looking at them. Both abort on failure.
    int Connect() const;  // a kept-alive connection with TCP_NODELAY
    static void SendRequest(int connection, const char* function, const char* body);
    static void ReadReply(int connection, char* buffer, int32_t length);

private:
    void Run();
    void Serve(int connection, SSL* ssl);

    std::string complemented_;
    SSL_CTX* tls_;
    std::atomic<int> connections_{0};
    std::string printer_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};
