// The client's TCP connections kept in memory, for fuzzing whole polls
// without a kernel round trip or a peer thread. The fuzzer links with
// -Wl,--wrap for socket, connect, send, recv, poll and close: every AF_INET
// socket the client opens is still a real (never connected) socket, so
// options and errors behave as always, but its bytes go to a peer in this
// thread that answers each whole request, on whatever connection, with what
// the fuzzer's answer function gives. A socket closed twice aborts. Time
// passes at once: a wait for bytes that will not come ends as a time-out, and
// a read finds nothing (EAGAIN) rather than blocking.
//
// A peer that has closed takes the next send as a TCP peer does (the bytes
// are lost) and resets the connection: later sends fail, and reads give
// what had arrived, then the reset.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace memory_socket {

struct Answer {
    std::string bytes;
    bool closeAfter = false;  // the peer closes once the bytes are sent
    bool reset = false;       // with closeAfter: it resets the connection instead
};

// Starts a poll: answer is called with each whole request; forgets the
// requests seen. Reads give at most readPiece bytes each (0: all there is).
void Script(std::function<Answer(const std::string& request)> answer, size_t readPiece);

// What follows "func=" in each request that came whole, in order.
const std::vector<std::string>& Functions();

// Connections the client has opened and not closed.
int OpenConnections();

}  // namespace memory_socket
