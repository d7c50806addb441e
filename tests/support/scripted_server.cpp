#include "tests/support/scripted_server.h"

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <cstring>

#include "tests/support/loopback_peer.h"

namespace {

#ifdef _WIN32
// Test programs have no start-up code of their own; sockets need the library.
struct WinsockStarted {
    WinsockStarted()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 0), &data);
    }
} winsockStarted;
#endif

constexpr int kPollMilliseconds = 20;

enum class ReadOutcome { Request, PeerClosed, Stopped };

// Reads until the head and its Content-Length body are whole. data holds what
// was read of the connection and not yet taken: requests sent in flight.
ReadOutcome ReadRequest(SocketHandle connection, const bool& stopping, std::mutex& mutex, std::string& data,
                        ScriptedRequest* request)
{
    size_t headEnd = data.find("\r\n\r\n");
    size_t bodyLength = headEnd == std::string::npos ? 0 : AnnouncedLength(data.substr(0, headEnd));
    for (;;) {
        if (headEnd != std::string::npos && data.size() >= headEnd + 4 + bodyLength) {
            request->head = data.substr(0, headEnd);
            request->body = data.substr(headEnd + 4, bodyLength);
            data.erase(0, headEnd + 4 + bodyLength);
            size_t pathStart = request->head.find(" /");
            size_t pathEnd = request->head.find(" HTTP/");
            if (pathStart != std::string::npos && pathEnd != std::string::npos && pathEnd > pathStart)
                request->path = request->head.substr(pathStart + 2, pathEnd - pathStart - 2);
            return ReadOutcome::Request;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return ReadOutcome::Stopped;
        }
        int ready = WaitReadable(connection, kPollMilliseconds);
        if (ready < 0)
            return ReadOutcome::PeerClosed;
        if (ready == 0)
            continue;
        char chunk[8192];
        int count = recv(connection, chunk, sizeof chunk, 0);
        if (count <= 0)
            return ReadOutcome::PeerClosed;
        data.append(chunk, static_cast<size_t>(count));
        if (headEnd == std::string::npos) {
            headEnd = data.find("\r\n\r\n");
            if (headEnd != std::string::npos)
                bodyLength = AnnouncedLength(data.substr(0, headEnd));
        }
    }
}

}  // namespace

ScriptedServer::ScriptedServer(ScriptedHandler handler) : handler_(std::move(handler))
{
    listener_ = ListenOnLoopback(16, &port_);
    thread_ = std::thread(&ScriptedServer::Run, this);
}

ScriptedServer::~ScriptedServer()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    thread_.join();
    CloseSocket(listener_);
}

std::vector<ScriptedRequest> ScriptedServer::Requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int ScriptedServer::Connections()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

int ScriptedServer::ClosedByClient()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closedByClient_;
}

int ScriptedServer::ResetByServer()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return resetByServer_;
}

int ScriptedServer::RequestsDropped()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requestsDropped_;
}

void ScriptedServer::Run()
{
    std::vector<std::thread> workers;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                break;
        }
        if (WaitReadable(listener_, kPollMilliseconds) <= 0)
            continue;
        SocketHandle connection = accept(listener_, nullptr, nullptr);
        if (connection == kNoSocket)
            continue;
        // Each answer leaves at once, as a service's do: held back behind an
        // earlier one, it would be lost to a reset that follows it.
        DisableNagle(connection);
        int number;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            number = ++connections_;
        }
        workers.emplace_back(&ScriptedServer::Serve, this, connection, number);
    }
    for (std::thread& worker : workers)
        worker.join();
}

void ScriptedServer::Serve(SocketHandle connection, int number)
{
    std::string unread;
    bool closed = false;
    for (;;) {
        ScriptedRequest request;
        ReadOutcome outcome = ReadRequest(connection, stopping_, mutex_, unread, &request);
        if (outcome == ReadOutcome::PeerClosed) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++closedByClient_;
        }
        if (outcome != ReadOutcome::Request)
            break;
        if (closed) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++requestsDropped_;
            continue;
        }
        request.connection = number;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        ScriptedAnswer answer = handler_(request);
        if (answer.holdMilliseconds > 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait_for(lock, std::chrono::milliseconds(answer.holdMilliseconds), [this] { return stopping_; });
        }
        size_t piece = answer.pieceSize > 0 ? answer.pieceSize : answer.bytes.size();
        for (size_t offset = 0; offset < answer.bytes.size(); offset += piece) {
            if (offset > 0) {
                // Gives the client a chance to read each piece on its own; the
                // tests hold whatever the split turns out to be.
                std::this_thread::sleep_for(std::chrono::milliseconds(answer.pauseMilliseconds));
            }
            SendAll(connection, answer.bytes.data() + offset, std::min(piece, answer.bytes.size() - offset));
        }
        // As web servers do, a close stops the sending side only, and what
        // still comes is dropped until the client closes: requests already
        // in flight then meet no reset. (1 is SD_SEND and SHUT_WR alike.)
        if (answer.closeAfter && answer.reset) {
            // A reset at once, as a close with requests unread gives, rather
            // than at the client's next request.
            linger abort = {};
            abort.l_onoff = 1;
            setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
            CloseSocket(connection);
            std::lock_guard<std::mutex> lock(mutex_);
            ++resetByServer_;
            return;
        }
        closed = answer.closeAfter;
        if (closed)
            shutdown(connection, 1);
        if (answer.stall) {
            // Neither read nor close: the client must give up by its time-out.
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait(lock, [this] { return stopping_; });
            break;
        }
    }
    CloseSocket(connection);
}
