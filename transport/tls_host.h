// How the TLS layer reads the host it is given: a dotted address is matched
// against the certificate's IP addresses and sent as no SNI, anything else is
// a name.
#pragma once

// Digits and dots only, as the connect code reads it.
bool IsDottedAddress(const char* host);

// Four decimal numbers of 0 to 255 without leading zeros, and nothing else:
// the one form every address parser reads the same. The connect call reads
// other forms too (127.1, octal 010, one large number), while a certificate
// check would read them differently or not at all, so TLS takes no other.
// Fills address in network order; false for any other text.
bool ReadPlainDottedAddress(const char* host, unsigned char address[4]);

// The host as TlsOpen takes it: *dotted tells whether it is an address, read
// into address. False, with the reason set, for an address in another form.
bool ReadTlsHost(const char* host, bool* dotted, unsigned char address[4], char* reason, int reasonCapacity);
