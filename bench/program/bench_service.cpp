// A print service for timing whole clients (webprint.exe, webprintd, or the
// minimal clients beside them) from outside: one job at a time, handed out
// only when armed, timed on the service's side so every client is measured
// alike.
//
//   webprint_bench_service --size BYTES --printer QUEUE --job-file FILE [--transport plain|tls]
//
// It writes the document of BYTES (what the printer must receive for the
// whole-size job; a smaller job gets its first bytes) to FILE, then
// prints "tls PORT" with --transport tls (the same service inside TLS, with
// the test certificate tests/support/tls/server.pem), "listening PORT" (plain
// TCP, always there: the minimal clients and arming use it) and one line per
// event on standard output:
//   query N PLAIN TLS        the N-th qryspool so far; plain connections and
//                            TLS handshakes so far
//   printed SECONDS BLOCKS MEDIAN_US P99_US
// A job's time runs from the qryspool reply that hands it out to the arrival
// of its printed request. A block's time is the gap between two spooldata
// requests: the reply, its complement and printing, and the next request.
//
// "POST /arm" arms the job once: the next qryspool gets it, later ones get
// EMPTY again. "POST /arm?size=N" arms a job of the document's first N bytes.
// "GET /job?size=N" answers with the document's first N bytes, for a plain
// download to compare with. Every other function under the service path
// answers "OK" (printlist "OK\r\n1", the computer token). One connection at
// a time, kept alive, requests read in order however many arrive at once
// (pipelined), replies in one send (one record under TLS) with TCP_NODELAY.
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/loopback_peer.h"
#include "tests/support/tls_front.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kServicePath[] = "/.00010101000000000000/system/rmtprt.aspx?func=";
constexpr long kBlockSize = 4096;

struct Options {
    long size = 16 << 20;
    const char* printer = nullptr;
    const char* jobFile = nullptr;
    bool tls = false;
};

bool ParseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--size") == 0)
            options->size = strtol(argv[i + 1], nullptr, 10);
        else if (strcmp(argv[i], "--printer") == 0)
            options->printer = argv[i + 1];
        else if (strcmp(argv[i], "--job-file") == 0)
            options->jobFile = argv[i + 1];
        else if (strcmp(argv[i], "--transport") == 0 && strcmp(argv[i + 1], "plain") == 0)
            options->tls = false;
        else if (strcmp(argv[i], "--transport") == 0 && strcmp(argv[i + 1], "tls") == 0)
            options->tls = true;
        else
            return false;
    }
    return argc % 2 == 1 && options->size > 0 && options->printer != nullptr && options->jobFile != nullptr;
}

// The same bytes on every run, so a printout can be checked by its hash.
std::string MakeDocument(long size)
{
    std::string bytes(static_cast<size_t>(size), '\0');
    uint32_t state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

long NumberAfter(const std::string& text, const char* name)
{
    size_t at = text.find(name);
    return at == std::string::npos ? -1 : strtol(text.c_str() + at + strlen(name), nullptr, 10);
}

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    size_t index = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

// One client connection, inside TLS when ssl is set.
struct Peer {
    SocketHandle socket;
    SSL* ssl;
};

bool SendAll(const Peer& peer, const char* data, size_t length)
{
    if (peer.ssl == nullptr)
        return ::SendAll(peer.socket, data, length);
    return SSL_write(peer.ssl, data, static_cast<int>(length)) == static_cast<int>(length);
}

bool ReadWholeRequest(const Peer& peer, std::string* head, std::string* body, std::string* pending)
{
    if (peer.ssl == nullptr)
        return ::ReadWholeRequest(peer.socket, head, body, pending);
    return ::ReadWholeRequest([&peer](char* buffer, int size) { return SSL_read(peer.ssl, buffer, size); }, head,
                              body, pending);
}

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

class BenchService {
public:
    BenchService(const Options& options, const std::string& document)
        : options_(options), document_(document), spool_(document)
    {
        for (char& c : spool_)
            c = static_cast<char>(~c);
        blockTimes_.reserve(static_cast<size_t>(options.size / kBlockSize + 1));
    }

    // Counted as connections are accepted; each query line shows them.
    long plainConnections = 0;
    long tlsHandshakes = 0;

    void Serve(const Peer& connection)
    {
        std::string head;
        std::string body;
        std::string pending;
        while (ReadWholeRequest(connection, &head, &body, &pending)) {
            if (!Answer(connection, head, body))
                return;
        }
    }

private:
    bool Reply(const Peer& connection, const char* data, size_t length)
    {
        char reply[kBlockSize + 128];
        int headLength = snprintf(reply, sizeof reply, "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n",
                                  static_cast<int>(length));
        memcpy(reply + headLength, data, length);
        return SendAll(connection, reply, static_cast<size_t>(headLength) + length);
    }

    bool Reply(const Peer& connection, const std::string& text)
    {
        return Reply(connection, text.data(), text.size());
    }

    bool Answer(const Peer& connection, const std::string& head, const std::string& body)
    {
        const Clock::time_point now = Clock::now();
        if (head.compare(0, 9, "POST /arm") == 0) {
            jobSize_ = SizeAsked(head);
            armed_ = jobSize_ > 0;
            return Reply(connection, armed_ ? "OK" : "bad size");
        }
        if (head.compare(0, 8, "GET /job") == 0) {
            const long size = SizeAsked(head);
            if (size <= 0)
                return false;
            const std::string replyHead = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
            return SendAll(connection, replyHead.data(), replyHead.size()) &&
                   SendAll(connection, document_.data(), static_cast<size_t>(size));
        }
        if (head.find(kServicePath) == std::string::npos)
            return false;
        const std::string function = RequestFunction(head);
        if (function == "printlist")
            return Reply(connection, "OK\r\n1");
        if (function == "qryspool") {
            printf("query %ld %ld %ld\n", ++queries_, plainConnections, tlsHandshakes);
            fflush(stdout);
            if (!armed_)
                return Reply(connection, "EMPTY");
            armed_ = false;
            ++jobId_;
            blockTimes_.clear();
            const bool sent = Reply(connection, "SPOOL\r\nbench.spl\r\n" + std::to_string(jobSize_) +
                                                    "\r\nbench job\r\n" + options_.printer + "\r\n" +
                                                    std::to_string(jobId_));
            jobStart_ = Clock::now();
            lastBlock_ = Clock::time_point();
            return sent;
        }
        if (function == "spooldata") {
            long offset = NumberAfter(body, "offset='");
            if (offset < 0 || offset >= jobSize_)
                return false;
            if (lastBlock_ != Clock::time_point())
                blockTimes_.push_back(Seconds(lastBlock_, now));
            lastBlock_ = now;
            long length = std::min(kBlockSize, jobSize_ - offset);
            return Reply(connection, spool_.data() + offset, static_cast<size_t>(length));
        }
        if (function == "printed" && jobStart_ != Clock::time_point()) {
            printf("printed %.6f %zu %.1f %.1f\n", Seconds(jobStart_, now), blockTimes_.size() + 1,
                   Percentile(blockTimes_, 0.5) * 1e6, Percentile(blockTimes_, 0.99) * 1e6);
            fflush(stdout);
            jobStart_ = Clock::time_point();
        }
        return Reply(connection, "OK");
    }

    // The size a request's "size=" asks for: the whole document without one,
    // 0 for one it does not hold.
    long SizeAsked(const std::string& head) const
    {
        const long size = NumberAfter(head.substr(0, head.find("\r\n")), "size=");
        if (size < 0)
            return options_.size;
        return size <= options_.size ? size : 0;
    }

    const Options& options_;
    const std::string& document_;
    std::string spool_;
    bool armed_ = false;
    long jobSize_ = 0;
    long queries_ = 0;
    long jobId_ = 0;
    Clock::time_point jobStart_;
    Clock::time_point lastBlock_;
    std::vector<double> blockTimes_;
};

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: %s --size BYTES --printer QUEUE --job-file FILE [--transport plain|tls]\n", argv[0]);
        return 2;
    }
    const std::string document = MakeDocument(options.size);
    FILE* out = fopen(options.jobFile, "wb");
    if (out == nullptr || fwrite(document.data(), 1, document.size(), out) != document.size() || fclose(out) != 0) {
        perror(options.jobFile);
        return 1;
    }
    BenchService service(options, document);
    // OpenSSL writes with write(): a client gone must not end the service.
    signal(SIGPIPE, SIG_IGN);
    SSL_CTX* context = options.tls ? TestServerContext("server", 0) : nullptr;
    pollfd listeners[2] = {{kNoSocket, POLLIN, 0}, {kNoSocket, POLLIN, 0}};
    uint16_t port = 0;
    if (context != nullptr) {
        listeners[1].fd = ListenOnLoopback(16, &port);
        printf("tls %u\n", port);
    }
    listeners[0].fd = ListenOnLoopback(16, &port);
    printf("listening %u\n", port);
    fflush(stdout);
    for (;;) {
        if (poll(listeners, 2, -1) < 0)
            return 1;
        const bool overTls = listeners[1].revents != 0;
        Peer peer{accept(listeners[overTls ? 1 : 0].fd, nullptr, nullptr), nullptr};
        if (peer.socket == kNoSocket)
            return 1;
        DisableNagle(peer.socket);
        if (overTls) {
            peer.ssl = SSL_new(context);
            SSL_set_fd(peer.ssl, peer.socket);
        }
        if (!overTls) {
            ++service.plainConnections;
            service.Serve(peer);
        } else if (SSL_accept(peer.ssl) == 1) {
            ++service.tlsHandshakes;
            service.Serve(peer);
        }
        SSL_free(peer.ssl);
        CloseSocket(peer.socket);
    }
}
