// The rules every way of setting the client up applies to a value given as
// text: the installers' parameters, the daemon's settings file and the
// window's fields. Each returns an empty text for a good value, else one
// sentence naming the value ("PORT=0 is not a number from 1 to 65535.").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int32_t kPortMinimum = 1;
constexpr int32_t kPortMaximum = 65535;
constexpr int32_t kPollMinimum = 1;
constexpr int32_t kPollMaximum = 86400;
// Spool data requests the block loop may keep on a connection before their
// replies; 1 sends each request after the previous reply.
constexpr int32_t kBlocksInFlightMinimum = 1;
constexpr int32_t kBlocksInFlightMaximum = 256;
// Seconds a query may be held by the service; 0 does not ask it to hold.
constexpr int32_t kLongPollMinimum = 0;
constexpr int32_t kLongPollMaximum = 300;

// Decimal digits only (leading zeros allowed), from minimum to maximum.
std::string NumberProblem(const std::string& name, const std::string& value, unsigned long minimum,
                          unsigned long maximum);
std::string LengthProblem(const std::string& name, const std::string& value, size_t limit);
// A host name or dotted address: letters, digits, '.', '-', '_'; no scheme,
// port, path, quote or blank.
bool IsHostText(const std::string& text);
std::string HostProblem(const std::string& name, const std::string& value);

// An HTTP proxy as "host:port": a host by the rule above, at most 63
// characters, and a port from 1 to 65535. Empty is good (no proxy).
std::string ProxyProblem(const std::string& name, const std::string& value);
// Splits a good "host:port"; false (outputs untouched) for a value
// ProxyProblem refuses or an empty one.
bool SplitProxy(const std::string& value, std::string* host, int32_t* port);
