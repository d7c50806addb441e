// A misbehaving print service in a child process. It answers each request
// with the next response of its script, cut, stalled or doubled as the script
// says. Living in its own process, it leaves the test's descriptor table to
// the client alone, so a leaked socket shows in a plain count.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ScriptedResponse {
    std::string bytes;
    // Bytes sent before the fault; npos sends them all.
    size_t cutAt = std::string::npos;
    // After the bytes sent: true goes quiet without closing, false closes.
    bool stall = false;
    // Sends the whole response a second time right after the first.
    bool twice = false;
};

class ForkedPeer {
public:
    // Starts the child. A request beyond the script ends its connection.
    explicit ForkedPeer(const std::vector<ScriptedResponse>& script);
    // Ends the child if still running.
    ~ForkedPeer();
    ForkedPeer(const ForkedPeer&) = delete;
    ForkedPeer& operator=(const ForkedPeer&) = delete;

    uint16_t Port() const { return port_; }

    // Ends the child and returns the function name of every request it read
    // ("qryspool", "spooldata", ...), in order.
    std::vector<std::string> Stop();

private:
    pid_t child_ = -1;
    int requestLog_ = -1;
    uint16_t port_ = 0;
};
