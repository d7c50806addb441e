// The HTTP proxy Linux programs take from their environment, for a daemon
// whose settings file names none: a systemd drop-in with Environment= lines
// is where an administrator sets it.
#pragma once

#include <string>

// For connections to host and port: https_proxy under TLS, http_proxy in
// plain TCP, each in lower case before upper case, unless no_proxy
// (NO_PROXY) covers them: "*", or a list of entries, each a host name
// matching itself and every name below it, an address matching itself, or a
// range as address/bits; with ":port" (an IPv6 address in brackets) an entry
// covers that port only. A name never covers an address. A value reads
// "host:port" or "http://host[:port][/]" (port 80 when left out). Sets
// *proxy to "host:port", empty for none, and returns true; false with
// *problem set when the value names no proxy the daemon can use (another
// scheme, a user name or password, a bad host or port).
bool ProxyFromEnvironment(const std::string& host, int port, bool tls, std::string* proxy, std::string* problem);
