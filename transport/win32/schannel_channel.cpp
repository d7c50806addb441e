// The TLS channel on Windows: the system's own provider (SChannel) through
// SSPI, which does the handshakes and the records. The provider's automatic
// certificate check is switched off, because some implementations (Wine's
// among them) check nothing; the server is verified after every handshake
// (certificate_check.cpp) instead.
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

#include "transport/deadline.h"
#include "transport/tls_host.h"
#include "transport/tls_reasons.h"
#include "transport/win32/certificate_check.h"

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

// Room for the host, terminator included: a DNS name has at most 253 characters.
constexpr int kHostNameCapacity = 256;

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
    // The server is checked against it after every handshake.
    char host[kHostNameCapacity];
    // SNI: the host, or null for a dotted address.
    const char* targetName;
    // Bounds the whole of a handshake, the first and any the server starts
    // later, and each send.
    int handshakeTimeout;
    // The send bound the socket has been given (SendWithin).
    int sendTimeoutSet;
    // What the server sent first, to tell after a refusal who answered.
    ServerOpening opening;
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

// All of data within the channel's time-out, as plain sends go.
bool SendAll(TlsChannel* channel, const char* data, int length)
{
    return SendWithin(channel->socketHandle, data, length, channel->handshakeTimeout, &channel->sendTimeoutSet) == 0;
}

// Sends the token a handshake step produced and frees it.
bool SendToken(TlsChannel* channel, SecBuffer& token)
{
    bool sent = true;
    if (token.pvBuffer != nullptr) {
        if (token.cbBuffer > 0)
            sent = SendAll(channel, static_cast<const char*>(token.pvBuffer), static_cast<int>(token.cbBuffer));
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
    channel->opening.Keep(channel->incoming + channel->incomingHeld, count);
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

// Explains a handshake the provider gave up: first by what the server sent,
// which the provider's codes do not tell reliably (some report every refusal
// as an internal error); then by the codes that do name a cause.
void DescribeRefusal(const TlsChannel* channel, SECURITY_STATUS status, char* reason, int reasonCapacity)
{
    if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        DescribeTlsFailure(TlsFailure::ClientCertificateWanted, nullptr, reason, reasonCapacity);
        return;
    }
    if (DescribeServerOpening(channel->opening, reason, reasonCapacity))
        return;
    // An alert later in the handshake, still in the clear before TLS 1.3:
    // record header (5 bytes), level, description.
    const unsigned char* held = reinterpret_cast<const unsigned char*>(channel->incoming);
    if (channel->incomingHeld >= 7 && held[0] == kAlertRecord && held[3] == 0 && held[4] == 2) {
        DescribeServerAlert(held[6], false, reason, reasonCapacity);
        return;
    }
    if (status == SEC_E_ILLEGAL_MESSAGE || status == SEC_E_MESSAGE_ALTERED || status == SEC_E_DECRYPT_FAILURE) {
        DescribeTlsFailure(TlsFailure::BrokenHandshake, nullptr, reason, reasonCapacity);
        return;
    }
    char code[32];
    snprintf(code, sizeof code, "provider error 0x%08lX", static_cast<unsigned long>(status));
    DescribeTlsFailure(TlsFailure::Unexpected, code, reason, reasonCapacity);
}

// Runs the handshake until the context is complete, all of it by the
// deadline: the first one, which reads the server's answer first, and one the
// server starts later, which begins with what is held (possibly nothing).
bool RunHandshake(TlsChannel* channel, bool readFirst, const Deadline& deadline, char* reason, int reasonCapacity)
{
    bool needInput = readFirst;
    for (;;) {
        if (needInput) {
            // Bytes that keep arriving would end even a wait of 0 at once.
            const int left = deadline.LeftMilliseconds();
            const int count = left > 0 ? ReadMore(channel, left) : -2;
            if (count == -2) {
                DescribeTlsFailure(TlsFailure::NotAnsweredInTime, nullptr, reason, reasonCapacity);
                return false;
            }
            if (count <= 0) {
                if (!DescribeServerOpening(channel->opening, reason, reasonCapacity))
                    DescribeTlsFailure(count == 0 ? TlsFailure::ServerClosed : TlsFailure::ConnectionBroken, nullptr,
                                       reason, reasonCapacity);
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
        const bool tokenSent = SendToken(channel, output[0]);
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            DescribeRefusal(channel, status, reason, reasonCapacity);
            return false;
        }
        if (!tokenSent) {
            DescribeTlsFailure(TlsFailure::ConnectionBroken, nullptr, reason, reasonCapacity);
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

// What every handshake must leave, the first and any later one: a protocol
// the credentials allow (not every provider keeps to them), a server
// certificate that passes every check, and the record sizes to send with.
bool ConfirmServer(TlsChannel* channel, char* reason, int reasonCapacity)
{
    SecPkgContext_ConnectionInfo connection = {};
    if (QueryContextAttributesA(&channel->context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK ||
        (connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0) {
        DescribeTlsFailure(TlsFailure::NoUsableVersion, nullptr, reason, reasonCapacity);
        return false;
    }
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&channel->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
        certificate == nullptr) {
        DescribeTlsFailure(TlsFailure::NoCertificate, nullptr, reason, reasonCapacity);
        return false;
    }
    const bool trusted = CheckServerCertificate(certificate, channel->host, reason, reasonCapacity);
    CertFreeCertificateContext(certificate);
    if (!trusted)
        return false;
    if (QueryContextAttributesA(&channel->context, SECPKG_ATTR_STREAM_SIZES, &channel->sizes) != SEC_E_OK) {
        DescribeTlsFailure(TlsFailure::Unexpected, "no record sizes", reason, reasonCapacity);
        return false;
    }
    return true;
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
    // renegotiation under TLS 1.2) goes back through the handshake, and the
    // server is checked again as after the first: a renegotiation may bring
    // another certificate. No record after it is decrypted before that.
    if (status == SEC_I_RENEGOTIATE &&
        (!RunHandshake(channel, false, Deadline(channel->handshakeTimeout), reason, reasonCapacity) ||
         !ConfirmServer(channel, reason, reasonCapacity))) {
        channel->failed = true;
        return -1;
    }
    return 1;
}

}  // namespace

TlsChannel* TlsOpen(SocketHandle socketHandle, const char* host, int timeoutMilliseconds, char* reason,
                    int reasonCapacity)
{
    // A handshake the server drags out byte by byte ends in time all the same.
    const Deadline deadline(timeoutMilliseconds);
    unsigned char address[4];
    bool dotted = false;
    if (!ReadTlsHost(host, &dotted, address, reason, reasonCapacity))
        return nullptr;
    if (strlen(host) >= static_cast<size_t>(kHostNameCapacity)) {
        DescribeTlsFailure(TlsFailure::Unexpected, "host name too long", reason, reasonCapacity);
        return nullptr;
    }
    TlsChannel* channel = new (std::nothrow) TlsChannel();
    if (channel == nullptr) {
        DescribeTlsFailure(TlsFailure::TlsUnavailable, nullptr, reason, reasonCapacity);
        return nullptr;
    }
    channel->socketHandle = socketHandle;
    strcpy(channel->host, host);
    channel->targetName = dotted ? nullptr : channel->host;
    channel->handshakeTimeout = timeoutMilliseconds;
    if (!AcquireCredentials(&channel->credentials)) {
        delete channel;
        DescribeTlsFailure(TlsFailure::TlsUnavailable, nullptr, reason, reasonCapacity);
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
        DescribeTlsFailure(TlsFailure::TlsUnavailable, nullptr, reason, reasonCapacity);
        FreeChannel(channel);
        return nullptr;
    }
    if (!SendToken(channel, output[0])) {
        DescribeTlsFailure(TlsFailure::ConnectionBroken, nullptr, reason, reasonCapacity);
        FreeChannel(channel);
        return nullptr;
    }
    // Records the server sent right after the handshake stay in incoming.
    if (!RunHandshake(channel, true, deadline, reason, reasonCapacity) ||
        !ConfirmServer(channel, reason, reasonCapacity)) {
        FreeChannel(channel);
        return nullptr;
    }
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
        if (!SendAll(channel, record, headerAndData + static_cast<int>(buffers[2].cbBuffer))) {
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
            SendToken(channel, output[0]);
        else if (output[0].pvBuffer != nullptr)
            FreeContextBuffer(output[0].pvBuffer);
    }
    FreeChannel(channel);
}
