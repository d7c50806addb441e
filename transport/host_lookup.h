// A host name's IPv4 address, for the connect. Natively the lookup runs
// where a daemon's stop can abandon it: a resolver that never answers would
// otherwise hold the stop for all its time-outs and retries (5 s a try, two
// tries a server by default).
#pragma once

#include "transport/socket_shim.h"

// True with *address set; false when the name has no IPv4 address, the
// lookup failed, or (natively) a stop was requested before it ended.
bool LookUpHost(const char* host, in_addr* address);
