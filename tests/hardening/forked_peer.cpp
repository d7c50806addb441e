#include "tests/hardening/forked_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

void SendAll(int connection, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t sent = send(connection, data, length, MSG_NOSIGNAL);
        if (sent <= 0)
            return;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
}

// Reads one request, head and Content-Length body; false at the end of the
// connection. *function is what follows "func=" in the request line.
bool ReadRequest(int connection, std::string* function)
{
    std::string data;
    size_t headEnd = std::string::npos;
    size_t bodyLength = 0;
    while (headEnd == std::string::npos || data.size() < headEnd + 4 + bodyLength) {
        char buffer[8192];
        ssize_t count = recv(connection, buffer, sizeof buffer, 0);
        if (count <= 0)
            return false;
        data.append(buffer, static_cast<size_t>(count));
        if (headEnd == std::string::npos && (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
            size_t field = data.find("Content-Length: ");
            if (field < headEnd)
                bodyLength = strtoul(data.c_str() + field + 16, nullptr, 10);
        }
    }
    size_t start = data.find("func=");
    size_t end = data.find(' ', start);
    *function = start < end && end != std::string::npos ? data.substr(start + 5, end - start - 5) : std::string();
    return true;
}

// The child's whole life: connections one after the other, each request
// answered from the script; killed by the parent.
[[noreturn]] void Serve(int listener, int requestLog, const std::vector<ScriptedResponse>& script)
{
    size_t next = 0;
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0)
            _exit(1);
        std::string function;
        while (ReadRequest(connection, &function)) {
            function += '\n';
            if (write(requestLog, function.data(), function.size()) != static_cast<ssize_t>(function.size()))
                _exit(1);
            if (next == script.size())
                break;
            const ScriptedResponse& response = script[next++];
            size_t length = response.cutAt < response.bytes.size() ? response.cutAt : response.bytes.size();
            SendAll(connection, response.bytes.data(), length);
            if (response.twice)
                SendAll(connection, response.bytes.data(), response.bytes.size());
            if (response.stall)
                pause();
            if (length < response.bytes.size())
                break;
        }
        close(connection);
    }
}

}  // namespace

ForkedPeer::ForkedPeer(const std::vector<ScriptedResponse>& script)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        abort();
    port_ = ntohs(address.sin_port);
    int log[2];
    if (pipe(log) != 0)
        abort();
    // Listening before the fork: the client may connect at once.
    child_ = fork();
    if (child_ < 0)
        abort();
    if (child_ == 0) {
        close(log[0]);
        Serve(listener, log[1], script);
    }
    close(log[1]);
    close(listener);
    requestLog_ = log[0];
}

ForkedPeer::~ForkedPeer()
{
    Stop();
}

std::vector<std::string> ForkedPeer::Stop()
{
    std::vector<std::string> functions;
    if (child_ < 0)
        return functions;
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
    child_ = -1;
    // The child is gone, so the log reads to its end without waiting.
    std::string text;
    char buffer[4096];
    ssize_t count;
    while ((count = read(requestLog_, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(count));
    close(requestLog_);
    requestLog_ = -1;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        functions.push_back(text.substr(start, end - start));
    return functions;
}
