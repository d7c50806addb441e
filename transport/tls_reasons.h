// Why a TLS connection could not be opened, and the one text each cause has.
// Both TLS channels word their refusals through this table, so a server gets
// the same reason from the Windows program and from the Linux daemon; a
// channel names a cause only when it saw it, and gives the generic text with
// its own detail otherwise.
#pragma once

enum class TlsFailure {
    NotAnsweredInTime,
    ServerClosed,
    ConnectionBroken,
    NotTls,
    NoUsableVersion,
    NoUsableCipher,
    ServerAlert,
    BrokenHandshake,
    ClientCertificateWanted,
    NoCertificate,
    CertificateNotTrusted,
    CertificateWrongName,
    CertificateExpired,
    CertificateNotYetValid,
    CertificateNotForServer,
    CertificateRejected,
    AddressNotPlain,
    TlsUnavailable,
    Unexpected,
};

// Writes the cause's text into reason; detail fills the text's one blank (the
// host, an alert number, the library's own words) where it has one.
void DescribeTlsFailure(TlsFailure cause, const char* detail, char* reason, int capacity);

// What an alert the server sent says. In answer to the client's hello a
// protocol version or cipher alert tells that the server has nothing the
// client accepts; any other alert is named by its number only.
void DescribeServerAlert(int description, bool answersHello, char* reason, int capacity);

// The first bytes a server sent on a connection, kept while the handshake
// runs: after a refusal they tell what kind of server answered.
struct ServerOpening {
    unsigned char bytes[16];
    int held;

    void Keep(const char* data, int count);
};

// Describes a refusal by what the server opened with: bytes that are no TLS
// record, an alert in answer to the hello, or a hello for a version older
// than TLS 1.2. False, reason untouched, when the opening tells none of these.
bool DescribeServerOpening(const ServerOpening& opening, char* reason, int capacity);
