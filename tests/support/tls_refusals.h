// The servers a TLS client must refuse before it sends anything, and the
// reason it gives for each: one table, run against both TLS channels. The
// Windows channel's tests meet each server as a listener of tls_peer.py, the
// native tests as a TlsFront (RefusingServer); both know them by these names.
#pragma once

struct TlsRefusalRow {
    const char* server;
    const char* host;
    const char* reason;
};

// Each row's handshake may take at most this long; the trickling server
// keeps sending for longer.
constexpr int kTlsRefusalMilliseconds = 1000;

constexpr TlsRefusalRow kTlsRefusalRows[] = {
    {"untrusted", "localhost", "certificate not trusted"},
    {"non-ca-issuer", "localhost", "certificate not trusted"},
    {"other-host", "localhost", "certificate does not name localhost"},
    {"other-host", "127.0.0.1", "certificate does not name 127.0.0.1"},
    // Both read as 127.0.0.1 to connect, but 010 would be 8 there and 10 to
    // a certificate check: TLS takes only the plain form.
    {"server-2", "127.0.0.01", "127.0.0.01 is not a plain dotted address"},
    {"server-2", "127.1", "127.1 is not a plain dotted address"},
    {"expired", "localhost", "certificate expired"},
    {"not-yet-valid", "localhost", "certificate not yet valid"},
    {"client-only", "localhost", "certificate not issued for a TLS server"},
    {"tls1.1", "localhost", "server offers no usable TLS version"},
    {"weak-ciphers", "localhost", "server offers no usable cipher"},
    {"closes", "localhost", "server closed the connection"},
    {"plain-http", "localhost", "server does not speak TLS"},
    {"trickles", "localhost", "server did not answer in time"},
};
