// A loopback HTTP peer for tests. It runs on its own thread, accepts any number
// of connections, reads each request whole (head and Content-Length body) and
// answers with whatever the test's handler returns for it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback_peer.h"
#include "transport/socket_shim.h"

struct ScriptedRequest {
    std::string head;  // request line and header lines, up to the empty line
    std::string body;
    std::string path;  // the request target without its leading '/'
    int connection;    // 1 for the first connection accepted, 2 for the next...
};

struct ScriptedAnswer {
    std::string bytes;       // sent as they are
    size_t pieceSize = 0;    // >0: send in pieces of this size, pausing between them
    int pauseMilliseconds = 1;
    int holdMilliseconds = 0; // wait this long before the first byte, as a service holding a query does
    bool closeAfter = false; // close the connection once the bytes are sent
    bool reset = false;      // with closeAfter: reset the connection, as a close with requests unread does
    bool stall = false;      // send the bytes, then neither read nor close until the server stops
};

using ScriptedHandler = std::function<ScriptedAnswer(const ScriptedRequest&)>;

class ScriptedServer {
public:
    explicit ScriptedServer(ScriptedHandler handler);
    ~ScriptedServer();

    uint16_t Port() const { return port_; }
    std::vector<ScriptedRequest> Requests();
    int Connections();
    // Connections the client closed (the server saw the end of its stream).
    int ClosedByClient();
    // Connections closed outright by a reset answer.
    int ResetByServer();
    // Requests read on a connection after its close and left unanswered.
    int RequestsDropped();

private:
    void Run();
    void Serve(SocketHandle connection, int number);

    ScriptedHandler handler_;
    SocketHandle listener_ = kNoSocket;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<ScriptedRequest> requests_;
    std::condition_variable stopped_;
    int connections_ = 0;
    int closedByClient_ = 0;
    int resetByServer_ = 0;
    int requestsDropped_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};
