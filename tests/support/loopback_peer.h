// Pieces every loopback peer of the tests, fuzzers and benchmarks needs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "transport/socket_shim.h"

// A socket listening on 127.0.0.1 at a free port; aborts when there is none.
SocketHandle ListenOnLoopback(int backlog, uint16_t* port);

// A connection to 127.0.0.1 at port with TCP_NODELAY, as the client makes
// them; aborts when it cannot connect.
SocketHandle ConnectToLoopback(uint16_t port);

// Blocks until one request is whole: head up to the empty line (without it)
// and its Content-Length body. False when the connection ends first. Bytes
// read past the request (pipelined requests) stay in *pending for the next
// call, which starts from them; without pending they are dropped.
bool ReadWholeRequest(SocketHandle connection, std::string* head, std::string* body,
                      std::string* pending = nullptr);
// The same over any byte stream: receive fills at most size bytes and returns
// the count, or 0 or less when the stream has ended.
bool ReadWholeRequest(const std::function<int(char* buffer, int size)>& receive, std::string* head,
                      std::string* body, std::string* pending = nullptr);

// The length of the request data starts with, head, empty line and body,
// once it is whole; 0 while it is not.
size_t WholeRequestLength(const std::string& data);

// Sends all of data unless the connection fails; false then.
bool SendAll(SocketHandle connection, const char* data, size_t length);

// What follows "func=" in a request line, up to its blank; empty without one.
std::string RequestFunction(const std::string& head);

// A whole response with status 200: the body framed by Content-Length, or sent
// as one chunk per piece.
std::string OkResponse(const std::string& body);
std::string ChunkedResponse(const std::vector<std::string>& pieces);

// The Content-Length announced in a request head, 0 when there is none.
size_t AnnouncedLength(const std::string& head);
