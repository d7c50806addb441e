// The server's certificate as the Windows TLS channel checks it after the
// handshake, through the system's certificate store (CryptoAPI): a chain to a
// root the machine trusts, within its dates, meant for a TLS server, naming
// the host. The provider's own check is off, since some providers (Wine's
// among them) check nothing.
#pragma once

#include <windows.h>
#include <wincrypt.h>

// True when the certificate passes every check; otherwise false with the
// reason from the shared table of TLS failures.
bool CheckServerCertificate(PCCERT_CONTEXT certificate, const char* host, char* reason, int reasonCapacity);
