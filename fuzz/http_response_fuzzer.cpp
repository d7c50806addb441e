// Feeds a server's response to httpRequest through a real socket, in the
// pieces the input chooses, so the head-end search, interim responses,
// Content-Length and chunked framing all meet data cut at every place.
//
// Input: one flags byte, one byte n (taken mod 16), n piece lengths (one byte
// each, 0 counts as 1), then the response bytes. The pieces are cut from the
// front of the response in that order; the rest is the last piece. A piece is
// sent only once the client has read everything before it, so each piece
// arrives in its own read.
//
// Flags: bit 0 a second exchange follows on the same connection; bit 1 the
// body output is small (16 bytes); bit 2 a head output is given (64 bytes).
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/hardening/paired_client.h"
#include "tests/support/loopback_peer.h"
#include "transport/print_client.h"

namespace {

struct Piece {
    const uint8_t* data;
    size_t size;
};

// Sends each piece once the client has taken everything sent before, then
// half-closes, so the client never waits out a time-out at the end.
void Feed(int peer, int client, const std::vector<Piece>& pieces, const std::atomic<bool>& done)
{
    for (const Piece& piece : pieces) {
        if (!SendAll(peer, reinterpret_cast<const char*>(piece.data), piece.size))
            return;
        // The client's descriptor stays valid until this thread is joined:
        // the fuzzer thread opens nothing while the exchange runs, so a number
        // closed by the client is not reused (ioctl then fails).
        int waiting = 0;
        while (!done.load() && ioctl(client, FIONREAD, &waiting) == 0 && waiting > 0)
            sched_yield();
    }
    shutdown(peer, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    size_t pieceCount = data[1] % 16;
    size_t at = 2;
    if (size < at + pieceCount)
        return 0;
    const uint8_t* lengths = data + at;
    at += pieceCount;
    std::vector<Piece> pieces;
    for (size_t i = 0; i < pieceCount && at < size; ++i) {
        size_t length = lengths[i] == 0 ? 1 : lengths[i];
        if (length > size - at)
            length = size - at;
        pieces.push_back({data + at, length});
        at += length;
    }
    if (at < size)
        pieces.push_back({data + at, size - at});

    KeepAlive = true;
    // Short, yet long enough for the feeding thread to follow each read.
    TransportTimeouts = {20, 20};
    std::atomic<bool> done(false);
    int peerEnd;
    {
        PrintClient client;
        // A client that drops this connection (bytes left over from the first
        // exchange) and connects anew reaches nobody.
        peerEnd = WireToSocketPair(&client);
        std::thread feeder(Feed, peerEnd, client.Socket, std::cref(pieces), std::cref(done));

        const int32_t bodyCapacity = (flags & 2) != 0 ? 16 : 65536;
        const int32_t headCapacity = 64;
        std::vector<char> body(static_cast<size_t>(bodyCapacity));
        std::vector<char> head(static_cast<size_t>(headCapacity));
        const int exchanges = (flags & 1) != 0 ? 2 : 1;
        for (int exchange = 0; exchange < exchanges; ++exchange) {
            // Without keep-alive the client would connect by itself; there is
            // only the one socket to offer.
            if (!KeepAlive || client.Socket == kNoSocket)
                break;
            int32_t bodyLength = -1;
            int result = client.httpRequest("path", "Content-Type: application/xml", "<x/>",
                                            (flags & 4) != 0 ? head.data() : nullptr, headCapacity, body.data(),
                                            bodyCapacity, &bodyLength);
            if (result == 0 && (client.Head.StatusCode != 200 || bodyLength < 0 || bodyLength > bodyCapacity))
                abort();
            if ((flags & 4) != 0 && result == 0 && strlen(head.data()) >= static_cast<size_t>(headCapacity))
                abort();
        }
        done = true;
        feeder.join();
        // Destroying the client closes its end when it is still open.
    }
    close(peerEnd);
    return 0;
}
