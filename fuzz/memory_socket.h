// The client's TCP connections kept in memory, for fuzzing whole polls
// without a kernel round trip or a peer thread. The fuzzer links with
// -Wl,--wrap for socket, connect, send, recv, poll and close: every AF_INET
// socket the client opens is still a real (never connected) socket, so
// options and errors behave as always, but its bytes go to a peer in this
// thread that answers each whole request, on whatever connection, with the
// next scripted reply, and closes the connection after the last reply or
// when a request finds none left. A socket closed twice aborts. Time passes at once: a wait for bytes that
// will not come ends as a time-out, and a read finds nothing (EAGAIN) rather
// than blocking.
#pragma once

#include <string>
#include <vector>

namespace memory_socket {

// Starts a poll: the replies to hand out, in order; forgets the requests seen.
void Script(std::vector<std::string> replies);

// What follows "func=" in each request that came whole, in order.
const std::vector<std::string>& Functions();

// Connections the client has opened and not closed.
int OpenConnections();

}  // namespace memory_socket
