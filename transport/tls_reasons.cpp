#include "transport/tls_reasons.h"

#include <cstdio>
#include <cstring>

namespace {

// Indexed by TlsFailure; "%s" takes the detail.
const char* const kTexts[] = {
    "server did not answer in time",
    "server closed the connection",
    "connection broken",
    "server does not speak TLS",
    "server offers no usable TLS version",
    "server offers no usable cipher",
    "server refused the handshake (alert %s)",
    "server sent a broken or refusing handshake",
    "server asks for a client certificate",
    "server sent no certificate",
    "certificate not trusted",
    "certificate does not name %s",
    "certificate expired",
    "certificate not yet valid",
    "certificate not issued for a TLS server",
    "certificate rejected (%s)",
    "%s is not a plain dotted address",
    "TLS not usable on this computer",
    "unexpected TLS failure (%s)",
};
static_assert(sizeof kTexts / sizeof kTexts[0] == static_cast<int>(TlsFailure::Unexpected) + 1,
              "one text per cause");

// TLS record content types and the handshake message and alerts read here.
constexpr unsigned char kFirstRecordType = 20;
constexpr unsigned char kAlertRecord = 21;
constexpr unsigned char kHandshakeRecord = 22;
constexpr unsigned char kLastRecordType = 23;
constexpr unsigned char kServerHello = 2;
constexpr int kHandshakeFailureAlert = 40;
constexpr int kProtocolVersionAlert = 70;
constexpr int kInsufficientSecurityAlert = 71;
// TLS 1.2 as a record or hello version; 1.3 hellos carry it too.
constexpr int kTls12 = 0x0303;

}  // namespace

void DescribeTlsFailure(TlsFailure cause, const char* detail, char* reason, int capacity)
{
    if (reason == nullptr || capacity <= 0)
        return;
    snprintf(reason, static_cast<size_t>(capacity), kTexts[static_cast<int>(cause)], detail != nullptr ? detail : "");
}

void DescribeServerAlert(int description, bool answersHello, char* reason, int capacity)
{
    if (description == kProtocolVersionAlert) {
        DescribeTlsFailure(TlsFailure::NoUsableVersion, nullptr, reason, capacity);
    } else if (answersHello &&
               (description == kHandshakeFailureAlert || description == kInsufficientSecurityAlert)) {
        DescribeTlsFailure(TlsFailure::NoUsableCipher, nullptr, reason, capacity);
    } else {
        char number[12];
        snprintf(number, sizeof number, "%d", description);
        DescribeTlsFailure(TlsFailure::ServerAlert, number, reason, capacity);
    }
}

void ServerOpening::Keep(const char* data, int count)
{
    const int room = static_cast<int>(sizeof bytes) - held;
    const int taken = count < room ? count : room;
    if (taken > 0) {
        memcpy(bytes + held, data, static_cast<size_t>(taken));
        held += taken;
    }
}

bool DescribeServerOpening(const ServerOpening& opening, char* reason, int capacity)
{
    const unsigned char* bytes = opening.bytes;
    if (opening.held < 1)
        return false;
    // Every TLS record starts with its content type and the major version 3:
    // anything else (an HTTP status line, a banner) comes from another protocol.
    if (bytes[0] < kFirstRecordType || bytes[0] > kLastRecordType || (opening.held >= 2 && bytes[1] != 3)) {
        DescribeTlsFailure(TlsFailure::NotTls, nullptr, reason, capacity);
        return true;
    }
    // An alert before any handshake message is in the clear: level, description.
    if (bytes[0] == kAlertRecord && opening.held >= 7) {
        DescribeServerAlert(bytes[6], true, reason, capacity);
        return true;
    }
    // A server hello's own version follows the record header (5 bytes), the
    // message type (1) and its length (3).
    if (bytes[0] == kHandshakeRecord && opening.held >= 11 && bytes[5] == kServerHello &&
        (bytes[9] << 8 | bytes[10]) < kTls12) {
        DescribeTlsFailure(TlsFailure::NoUsableVersion, nullptr, reason, capacity);
        return true;
    }
    return false;
}
