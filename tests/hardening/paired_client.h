// A client whose connection is one end of a socket pair: exchanges over a
// real socket, with no listener to accept and nothing to connect.
#pragma once

struct PrintClient;

// Sets the client up on one end of a new pair and returns the other end;
// aborts when there is no pair. Its port is 0, so a client that drops the
// pair and connects anew is refused at once. The status and log callbacks
// read each text whole, which lets ASan see one that is not terminated;
// progress is ignored.
int WireToSocketPair(PrintClient* client);
