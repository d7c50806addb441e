// What reading a response costs the client: the head parse alone, and whole
// exchanges of httpRequest (head-end search, parse, Content-Length or chunked
// framing, copy out) over a socket pair, per MB of response.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/hardening/paired_client.h"
#include "tests/support/loopback_peer.h"
#include "transport/print_client.h"

namespace {

const char kHead[] =
    "HTTP/1.1 200 OK\r\nServer: PrintService/1.0\r\nDate: Mon, 07 Dec 2026 10:00:00 GMT\r\n"
    "Content-Type: application/octet-stream\r\nContent-Length: 4096";

void ParseHead(benchmark::State& state)
{
    // The head as the exchange leaves it: its end marker overwritten by a NUL.
    std::vector<char> head(kHead, kHead + sizeof kHead);
    head.resize(sizeof kHead + 3);
    ResponseHead parsed;
    for (auto _ : state) {
        PrintClient::ParseResponseHead(&parsed, head.data(), head.data() + sizeof kHead + 3);
        benchmark::DoNotOptimize(parsed);
    }
    if (parsed.StatusCode != 200 || parsed.ContentLength != 4096)
        abort();
    state.SetBytesProcessed(static_cast<int64_t>(sizeof kHead + 3) * state.iterations());
}
BENCHMARK(ParseHead);

std::string Body(size_t length)
{
    std::string body(length, '\0');
    for (size_t i = 0; i < length; ++i)
        body[i] = static_cast<char>(i * 7);
    return body;
}

std::string ContentLengthResponse(size_t bodyLength, size_t)
{
    return OkResponse(Body(bodyLength));
}

std::string ChunkedBodyResponse(size_t bodyLength, size_t chunkLength)
{
    const std::string body = Body(bodyLength);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < bodyLength; at += chunkLength)
        pieces.push_back(body.substr(at, chunkLength));
    return ChunkedResponse(pieces);
}

// Answers each request on its socket with the response, whole, in one send,
// until the client's end closes.
void Answer(int peer, const std::string& response)
{
    std::string head;
    std::string body;
    while (ReadWholeRequest(peer, &head, &body) && SendAll(peer, response.data(), response.size())) {
    }
}

// One exchange per iteration over a socket pair: the request goes out, the
// response comes back whole, and the client reads it. The round trip is in
// every figure alike; what differs between the cases is the reading.
template <std::string (*Response)(size_t, size_t)>
void ReadResponse(benchmark::State& state)
{
    const size_t bodyLength = static_cast<size_t>(state.range(0));
    const std::string response = Response(bodyLength, static_cast<size_t>(state.range(1)));
    KeepAlive = true;
    TransportTimeouts = {1000, 1000};
    std::vector<char> body(bodyLength);
    int peerEnd;
    std::thread peer;
    {
        PrintClient client;
        peerEnd = WireToSocketPair(&client);
        int buffer = 1 << 20;
        setsockopt(peerEnd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        setsockopt(client.Socket, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        peer = std::thread(Answer, peerEnd, std::cref(response));
        for (auto _ : state) {
            int32_t length = 0;
            if (client.httpRequest("path", "Content-Type: application/xml", "<x/>", nullptr, 0, body.data(),
                                   static_cast<int32_t>(bodyLength), &length) != 0 ||
                length != static_cast<int32_t>(bodyLength))
                abort();
        }
    }
    // Destroying the client closed its end, which ends the peer.
    peer.join();
    close(peerEnd);
    state.SetBytesProcessed(static_cast<int64_t>(response.size()) * state.iterations());
}

BENCHMARK_TEMPLATE(ReadResponse, ContentLengthResponse)
    ->ArgNames({"body", ""})
    ->UseRealTime()
    ->Args({4096, 0})
    ->Args({60000, 0});
BENCHMARK_TEMPLATE(ReadResponse, ChunkedBodyResponse)
    ->ArgNames({"body", "chunk"})
    ->UseRealTime()
    ->Args({4096, 1024})
    ->Args({4096, 64})
    ->Args({60000, 4096});

}  // namespace
