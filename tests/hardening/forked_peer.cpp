#include "tests/hardening/forked_peer.h"

#include "tests/support/loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

// Reads one request; *function is what follows "func=" in the request line.
bool ReadRequest(int connection, std::string* function)
{
    std::string head;
    std::string body;
    if (!ReadWholeRequest(connection, &head, &body))
        return false;
    *function = RequestFunction(head);
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
    int listener = ListenOnLoopback(16, &port_);
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
