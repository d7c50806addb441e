// The TLS channel on Windows: the system's own provider (SChannel) through
// SSPI. The provider's automatic certificate check is switched off, because
// some implementations (Wine's among them) check nothing; the chain, its trust,
// its dates and the host name are verified here after the handshake instead.
#include "transport/tls_channel.h"

#define SECURITY_WIN32
// SCH_CREDENTIALS and its TLS parameters, which need UNICODE_STRING.
#define SCHANNEL_USE_BLACKLISTS
#include <windows.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Room for encrypted input: one whole record (at most 16 KiB of data plus the
// provider's overhead) or a handshake flight with a long certificate chain.
constexpr int kIncomingCapacity = 65536;
// At most this much application data per record (the TLS limit).
constexpr int kRecordData = 16384;
// Decrypted data of one record; the provider never yields more.
constexpr int kPlainCapacity = kRecordData;
// One outgoing record: header, data and trailer (Wine reports a trailer of 256).
constexpr int kOutgoingCapacity = kRecordData + 2048;

// TLS content type of an alert record, readable in the clear before TLS 1.3.
constexpr unsigned char kAlertRecord = 21;

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of the Internet headers: the SSL
// policy leaves the name to the caller.
constexpr DWORD kPolicyIgnoresName = 0x00001000;

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                  ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

}  // namespace

struct TlsChannel {
    SocketHandle socketHandle;
    CredHandle credentials;
    CtxtHandle context;
    bool contextMade;
    SecPkgContext_StreamSizes sizes;
    // SNI and the name check during TlsOpen; null for a dotted address.
    const char* targetName;
    // Bounds each read of a handshake, the first and any the server starts later.
    int handshakeTimeout;
    // Received records not yet decrypted.
    char incoming[kIncomingCapacity];
    int incomingHeld;
    // Decrypted application data not yet handed out.
    char plain[kPlainCapacity];
    int plainStart;
    int plainHeld;
    bool peerClosed;
    bool failed;
    char outgoing[kOutgoingCapacity];
};

namespace {

void SetReason(char* reason, int capacity, const char* text)
{
    if (reason != nullptr && capacity > 0)
        snprintf(reason, static_cast<size_t>(capacity), "%s", text);
}

// A dotted address is never sent as SNI and is matched against the
// certificate's IP addresses; the connect code reads the host the same way.
bool IsDottedAddress(const char* host)
{
    return strspn(host, "0123456789.") == strlen(host);
}

bool SendAll(SocketHandle socketHandle, const char* data, int length)
{
    while (length > 0) {
        const int sent = send(socketHandle, data, length, kSendFlags);
        if (sent <= 0)
            return false;
        data += sent;
        length -= sent;
    }
    return true;
}

// Sends the token a handshake step produced and frees it.
bool SendToken(SocketHandle socketHandle, SecBuffer& token)
{
    bool sent = true;
    if (token.pvBuffer != nullptr) {
        if (token.cbBuffer > 0)
            sent = SendAll(socketHandle, static_cast<const char*>(token.pvBuffer), static_cast<int>(token.cbBuffer));
        FreeContextBuffer(token.pvBuffer);
        token.pvBuffer = nullptr;
    }
    return sent;
}

// Appends what the socket has after at most timeoutMilliseconds: >0 bytes,
// 0 closed, -1 error or no room, -2 time-out.
int ReadMore(TlsChannel* channel, int timeoutMilliseconds)
{
    const int room = kIncomingCapacity - channel->incomingHeld;
    if (room <= 0)
        return -1;
    const int ready = WaitReadable(channel->socketHandle, timeoutMilliseconds);
    if (ready == 0)
        return -2;
    if (ready < 0)
        return -1;
    const int count = recv(channel->socketHandle, channel->incoming + channel->incomingHeld, room, 0);
    if (count < 0)
        return -1;
    channel->incomingHeld += count;
    return count;
}

// Keeps the unused end of the input (SECBUFFER_EXTRA) for the next call.
void KeepExtra(TlsChannel* channel, const SecBuffer* buffers, int count)
{
    for (int i = 0; i < count; ++i) {
        if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer > 0 &&
            static_cast<int>(buffers[i].cbBuffer) <= channel->incomingHeld) {
            const int extra = static_cast<int>(buffers[i].cbBuffer);
            memmove(channel->incoming, channel->incoming + channel->incomingHeld - extra, static_cast<size_t>(extra));
            channel->incomingHeld = extra;
            return;
        }
    }
    channel->incomingHeld = 0;
}

const char* HandshakeFailure(SECURITY_STATUS status)
{
    switch (status) {
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION:
    // Wine's answer to a server that speaks only versions it does not.
    case SEC_E_INTERNAL_ERROR:
        return "server offers no usable TLS version";
    case SEC_E_ILLEGAL_MESSAGE:
    case SEC_E_MESSAGE_ALTERED:
    case SEC_E_DECRYPT_FAILURE:
        return "server sent a broken or refusing handshake";
    case SEC_I_INCOMPLETE_CREDENTIALS:
        return "server asks for a client certificate";
    }
    return nullptr;
}

// Runs the handshake until the context is complete: the first one, which
// reads the server's answer first, and one the server starts later, which
// begins with what is held (possibly nothing).
bool RunHandshake(TlsChannel* channel, bool readFirst, char* reason, int reasonCapacity)
{
    const int timeoutMilliseconds = channel->handshakeTimeout;
    bool needInput = readFirst;
    for (;;) {
        if (needInput) {
            const int count = ReadMore(channel, timeoutMilliseconds);
            if (count <= 0) {
                SetReason(reason, reasonCapacity,
                          count == -2  ? "server did not answer in time"
                          : count == 0 ? "server closed the connection"
                                       : "connection broken");
                return false;
            }
        }
        SecBuffer input[2] = {{static_cast<unsigned long>(channel->incomingHeld), SECBUFFER_TOKEN, channel->incoming},
                              {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
        SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
        ULONG attributes = 0;
        const SECURITY_STATUS status =
            InitializeSecurityContextA(&channel->credentials, &channel->context, const_cast<char*>(channel->targetName),
                                       kContextRequest, 0, 0, &inputDesc, 0, nullptr, &outputDesc, &attributes,
                                       nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            if (output[0].pvBuffer != nullptr)
                FreeContextBuffer(output[0].pvBuffer);
            needInput = true;
            continue;
        }
        // On failure the token is the alert that tells the server why.
        const bool tokenSent = SendToken(channel->socketHandle, output[0]);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            const char* known = HandshakeFailure(status);
            char text[64];
            if (known == nullptr)
                snprintf(text, sizeof text, "provider error 0x%08lX", static_cast<unsigned long>(status));
            SetReason(reason, reasonCapacity, known != nullptr ? known : text);
            return false;
        }
        if (!tokenSent) {
            SetReason(reason, reasonCapacity, "connection broken");
            return false;
        }
        KeepExtra(channel, input, 2);
        if (status == SEC_E_OK)
            return true;
        needInput = channel->incomingHeld == 0;
    }
}

bool AcquireCredentials(CredHandle* credentials)
{
    // SCH_CREDENTIALS reaches TLS 1.3 where the system has it; systems that
    // do not know the record (Windows 7) take SCHANNEL_CRED and 1.2. Wine
    // takes the record but not its protocol limits, so the protocol is also
    // checked after the handshake.
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS modern = {};
    modern.dwVersion = SCH_CREDENTIALS_VERSION;
    modern.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    modern.cTlsParameters = 1;
    modern.pTlsParameters = &parameters;
    TimeStamp expiry;
    char package[] = UNISP_NAME_A;
    if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &modern, nullptr, nullptr,
                                  credentials, &expiry) == SEC_E_OK)
        return true;
    SCHANNEL_CRED classic = {};
    classic.dwVersion = SCHANNEL_CRED_VERSION;
    classic.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    classic.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    return AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &classic, nullptr, nullptr,
                                     credentials, &expiry) == SEC_E_OK;
}

// Whether the certificate lists the dotted address among its IP addresses.
bool NamesAddress(PCCERT_CONTEXT certificate, const char* host)
{
    const unsigned long address = inet_addr(host);
    const CERT_EXTENSION* extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2,
                                                        certificate->pCertInfo->cExtension,
                                                        certificate->pCertInfo->rgExtension);
    if (extension == nullptr)
        return false;
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
        return false;
    bool found = false;
    for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        found = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == 4 &&
                memcmp(entry.IPAddress.pbData, &address, 4) == 0;
    }
    LocalFree(names);
    return found;
}

// The chain to a root the machine trusts, its dates, and the host name.
bool VerifyServer(TlsChannel* channel, const char* host, char* reason, int reasonCapacity)
{
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&channel->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == nullptr) {
        SetReason(reason, reasonCapacity, "server sent no certificate");
        return false;
    }
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {serverAuth};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                                 nullptr, &chain)) {
        CertFreeCertificateContext(certificate);
        SetReason(reason, reasonCapacity, "certificate not trusted");
        return false;
    }

    const char* failure = nullptr;
    // The chain's own status is checked first: the SSL policy of some
    // providers passes a chain whose issuer was never found.
    const DWORD timeErrors = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;
    const DWORD chainErrors = chain->TrustStatus.dwErrorStatus;
    if ((chainErrors & ~timeErrors) != 0)
        failure = "certificate not trusted";
    else if (chainErrors != 0)
        failure = "certificate expired";

    const bool dotted = IsDottedAddress(host);
    wchar_t wideHost[256] = {};
    MultiByteToWideChar(CP_ACP, 0, host, -1, wideHost, 255);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara = {};
    sslPara.cbSize = sizeof sslPara;
    sslPara.dwAuthType = AUTHTYPE_SERVER;
    // A dotted address is matched below: not every provider's policy reads
    // the certificate's IP addresses.
    sslPara.fdwChecks = dotted ? kPolicyIgnoresName : 0;
    sslPara.pwszServerName = dotted ? nullptr : wideHost;
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &sslPara;
    CERT_CHAIN_POLICY_STATUS policyStatus = {};
    policyStatus.cbSize = sizeof policyStatus;
    if (failure == nullptr) {
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus))
            failure = "certificate not trusted";
        else if (policyStatus.dwError == static_cast<DWORD>(CERT_E_EXPIRED))
            failure = "certificate expired";
        else if (policyStatus.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
            failure = "certificate does not name";
        else if (policyStatus.dwError != 0)
            failure = "certificate not trusted";
        else if (dotted && !NamesAddress(certificate, host))
            failure = "certificate does not name";
    }
    CertFreeCertificateChain(chain);
    CertFreeCertificateContext(certificate);
    if (failure == nullptr)
        return true;
    if (reason != nullptr && reasonCapacity > 0) {
        if (strcmp(failure, "certificate does not name") == 0)
            snprintf(reason, static_cast<size_t>(reasonCapacity), "%s %s", failure, host);
        else
            SetReason(reason, reasonCapacity, failure);
    }
    return false;
}

// Checked after the handshake as well: not every provider keeps to the
// protocols the credentials allow.
bool UsesCurrentProtocol(TlsChannel* channel, char* reason, int reasonCapacity)
{
    SecPkgContext_ConnectionInfo connection = {};
    if (QueryContextAttributesA(&channel->context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK &&
        (connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) != 0)
        return true;
    SetReason(reason, reasonCapacity, "server offers no usable TLS version");
    return false;
}

void FreeChannel(TlsChannel* channel)
{
    if (channel->contextMade)
        DeleteSecurityContext(&channel->context);
    FreeCredentialsHandle(&channel->credentials);
    delete channel;
}

// Decrypts the next held record. 1: a record was taken (its data, if any, is
// now in plain); 0: the record is not complete yet; -1: the channel failed.
int DecryptHeld(TlsChannel* channel, char* reason, int reasonCapacity)
{
    if (channel->incomingHeld == 0)
        return 0;
    const bool alertRecord = static_cast<unsigned char>(channel->incoming[0]) == kAlertRecord;
    SecBuffer buffers[4] = {{static_cast<unsigned long>(channel->incomingHeld), SECBUFFER_DATA, channel->incoming},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&channel->context, &desc, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE)
        return 0;
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        channel->failed = true;
        char text[64];
        snprintf(text, sizeof text, "broken record or alert (0x%08lX)", static_cast<unsigned long>(status));
        SetReason(reason, reasonCapacity, text);
        return -1;
    }
    // Decryption is in place: the data lies inside incoming, which the extra
    // bytes are about to overwrite.
    for (int i = 0; i < 4; ++i) {
        if (buffers[i].BufferType != SECBUFFER_DATA || buffers[i].cbBuffer == 0)
            continue;
        if (buffers[i].cbBuffer > static_cast<unsigned long>(kPlainCapacity)) {
            channel->failed = true;
            SetReason(reason, reasonCapacity, "record too long");
            return -1;
        }
        memcpy(channel->plain, buffers[i].pvBuffer, buffers[i].cbBuffer);
        channel->plainStart = 0;
        channel->plainHeld = static_cast<int>(buffers[i].cbBuffer);
    }
    KeepExtra(channel, buffers, 4);
    // Some providers report close_notify as expired context, others as an
    // alert record that decrypts to nothing.
    if (status == SEC_I_CONTEXT_EXPIRED || (status == SEC_E_OK && alertRecord && channel->plainHeld == 0))
        channel->peerClosed = true;
    // A post-handshake message (a TLS 1.3 ticket on some systems, a
    // renegotiation under TLS 1.2) goes back through the handshake.
    if (status == SEC_I_RENEGOTIATE && !RunHandshake(channel, false, reason, reasonCapacity)) {
        channel->failed = true;
        return -1;
    }
    return 1;
}

}  // namespace

TlsChannel* TlsOpen(SocketHandle socketHandle, const char* host, int timeoutMilliseconds, char* reason,
                    int reasonCapacity)
{
    TlsChannel* channel = new (std::nothrow) TlsChannel();
    if (channel == nullptr) {
        SetReason(reason, reasonCapacity, "out of memory");
        return nullptr;
    }
    channel->socketHandle = socketHandle;
    channel->targetName = IsDottedAddress(host) ? nullptr : host;
    channel->handshakeTimeout = timeoutMilliseconds;
    if (!AcquireCredentials(&channel->credentials)) {
        delete channel;
        SetReason(reason, reasonCapacity, "system TLS provider unavailable");
        return nullptr;
    }

    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        InitializeSecurityContextA(&channel->credentials, nullptr, const_cast<char*>(channel->targetName),
                                   kContextRequest, 0, 0, nullptr, 0, &channel->context, &outputDesc, &attributes,
                                   nullptr);
    channel->contextMade = status == SEC_I_CONTINUE_NEEDED;
    if (!channel->contextMade) {
        if (output[0].pvBuffer != nullptr)
            FreeContextBuffer(output[0].pvBuffer);
        SetReason(reason, reasonCapacity, "system TLS provider refused to start");
        FreeChannel(channel);
        return nullptr;
    }
    if (!SendToken(socketHandle, output[0])) {
        SetReason(reason, reasonCapacity, "connection broken");
        FreeChannel(channel);
        return nullptr;
    }
    if (!RunHandshake(channel, true, reason, reasonCapacity) ||
        !UsesCurrentProtocol(channel, reason, reasonCapacity) || !VerifyServer(channel, host, reason, reasonCapacity) ||
        QueryContextAttributesA(&channel->context, SECPKG_ATTR_STREAM_SIZES, &channel->sizes) != SEC_E_OK) {
        FreeChannel(channel);
        return nullptr;
    }
    // Records the server sent right after the handshake stay in incoming.
    channel->targetName = nullptr;
    return channel;
}

int TlsSend(TlsChannel* channel, const void* data, int32_t length)
{
    if (channel->failed || length < 0)
        return 1;
    const SecPkgContext_StreamSizes& sizes = channel->sizes;
    int chunkLimit = static_cast<int>(sizes.cbMaximumMessage);
    if (chunkLimit > kRecordData)
        chunkLimit = kRecordData;
    if (chunkLimit <= 0 || static_cast<int>(sizes.cbHeader + sizes.cbTrailer) + chunkLimit > kOutgoingCapacity)
        return 1;
    const char* next = static_cast<const char*>(data);
    int32_t left = length;
    while (left > 0) {
        const int chunk = left < chunkLimit ? static_cast<int>(left) : chunkLimit;
        char* record = channel->outgoing;
        memcpy(record + sizes.cbHeader, next, static_cast<size_t>(chunk));
        SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                                {static_cast<unsigned long>(chunk), SECBUFFER_DATA, record + sizes.cbHeader},
                                {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + chunk},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&channel->context, 0, &desc, 0) != SEC_E_OK) {
            channel->failed = true;
            return 1;
        }
        // The provider may use less than the trailer it announced: send the
        // sizes it returned, the three parts one after the other.
        const int headerAndData = static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer);
        if (buffers[0].cbBuffer != sizes.cbHeader)
            memmove(record + buffers[0].cbBuffer, buffers[1].pvBuffer, buffers[1].cbBuffer);
        memmove(record + headerAndData, buffers[2].pvBuffer, buffers[2].cbBuffer);
        if (!SendAll(channel->socketHandle, record, headerAndData + static_cast<int>(buffers[2].cbBuffer))) {
            channel->failed = true;
            return 1;
        }
        next += chunk;
        left -= chunk;
    }
    return 0;
}

int TlsReceive(TlsChannel* channel, char* buffer, int32_t size, int timeoutMilliseconds, char* reason,
               int reasonCapacity)
{
    if (size <= 0) {
        SetReason(reason, reasonCapacity, "no room to receive");
        return -1;
    }
    for (;;) {
        if (channel->plainHeld > 0) {
            const int count = size < channel->plainHeld ? static_cast<int>(size) : channel->plainHeld;
            memcpy(buffer, channel->plain + channel->plainStart, static_cast<size_t>(count));
            channel->plainStart += count;
            channel->plainHeld -= count;
            return count;
        }
        if (channel->peerClosed)
            return 0;
        if (channel->failed) {
            SetReason(reason, reasonCapacity, "connection failed earlier");
            return -1;
        }
        const int taken = DecryptHeld(channel, reason, reasonCapacity);
        if (taken < 0)
            return -1;
        if (taken > 0)
            continue;
        const int count = ReadMore(channel, timeoutMilliseconds);
        if (count == -2)
            return -2;
        if (count == 0 && channel->incomingHeld == 0) {
            // A plain close between records: the peer is gone.
            channel->peerClosed = true;
            return 0;
        }
        if (count <= 0) {
            channel->failed = true;
            SetReason(reason, reasonCapacity, count == 0 ? "connection closed inside a record" : "connection broken");
            return -1;
        }
    }
}

bool TlsConnectionStale(TlsChannel* channel)
{
    for (;;) {
        if (channel->plainHeld > 0 || channel->peerClosed || channel->failed)
            return true;
        const int taken = DecryptHeld(channel, nullptr, 0);
        if (taken < 0)
            return true;
        if (taken > 0)
            continue;
        // Nothing complete is held: take what has arrived, without waiting.
        if (!InputWaiting(channel->socketHandle))
            return false;
        const int count = ReadMore(channel, 0);
        if (count == -2)
            return false;
        if (count <= 0)
            return true;
    }
}

void TlsClose(TlsChannel* channel)
{
    if (channel == nullptr)
        return;
    if (!channel->failed) {
        DWORD shutdown = SCHANNEL_SHUTDOWN;
        SecBuffer control[1] = {{sizeof shutdown, SECBUFFER_TOKEN, &shutdown}};
        SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, control};
        SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
        ULONG attributes = 0;
        if (ApplyControlToken(&channel->context, &controlDesc) == SEC_E_OK)
            InitializeSecurityContextA(&channel->credentials, &channel->context, nullptr, kContextRequest, 0, 0,
                                       nullptr, 0, nullptr, &outputDesc, &attributes, nullptr);
        // Only when the socket takes it at once: closing never waits on the peer.
        fd_set writeSet;
        FD_ZERO(&writeSet);
        FD_SET(channel->socketHandle, &writeSet);
        timeval noWait = {0, 0};
        if (output[0].pvBuffer != nullptr && select(0, nullptr, &writeSet, nullptr, &noWait) > 0)
            SendToken(channel->socketHandle, output[0]);
        else if (output[0].pvBuffer != nullptr)
            FreeContextBuffer(output[0].pvBuffer);
    }
    FreeChannel(channel);
}
