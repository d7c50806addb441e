#include "transport/win32/certificate_check.h"

#include <cstdio>
#include <cstring>

#include "transport/tls_host.h"
#include "transport/tls_reasons.h"

namespace {

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID of the Internet headers: the SSL
// policy leaves the name to the caller.
constexpr DWORD kPolicyIgnoresName = 0x00001000;

// Chain states that mean it does not end at a root the machine trusts: an
// unknown or distrusted root, a missing or cyclic issuer, a bad signature, or
// an issuer on the way that may not sign certificates.
constexpr DWORD kUntrustedChain = CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                                  CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                                  CERT_TRUST_INVALID_BASIC_CONSTRAINTS | CERT_TRUST_IS_EXPLICIT_DISTRUST;
constexpr DWORD kOutsideDates = CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED;

// Whether the certificate lists the address among its IP addresses. Not
// every provider's SSL policy reads them, so they are compared here.
bool NamesAddress(PCCERT_CONTEXT certificate, const unsigned char address[4])
{
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
                memcmp(entry.IPAddress.pbData, address, 4) == 0;
    }
    LocalFree(names);
    return found;
}

// Which date a chain outside its dates missed: "expired" says the wrong thing
// of a certificate whose time has not come yet.
TlsFailure DateFailure(PCCERT_CHAIN_CONTEXT chain)
{
    for (DWORD c = 0; c < chain->cChain; ++c) {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        for (DWORD e = 0; e < simple->cElement; ++e) {
            const CERT_CHAIN_ELEMENT* element = simple->rgpElement[e];
            if ((element->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_TIME_VALID) != 0 &&
                CertVerifyTimeValidity(nullptr, element->pCertContext->pCertInfo) < 0)
                return TlsFailure::CertificateNotYetValid;
        }
    }
    return TlsFailure::CertificateExpired;
}

// The chain's own status, checked before the SSL policy: some providers'
// policy passes a chain whose issuer was never found. False when it is clean.
bool ChainFailure(PCCERT_CHAIN_CONTEXT chain, TlsFailure* cause, char* detail, size_t detailCapacity)
{
    const DWORD status = chain->TrustStatus.dwErrorStatus;
    if (status == 0)
        return false;
    if ((status & kUntrustedChain) != 0)
        *cause = TlsFailure::CertificateNotTrusted;
    else if ((status & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0)
        *cause = TlsFailure::CertificateNotForServer;
    else if ((status & kOutsideDates) != 0)
        *cause = DateFailure(chain);
    else
        *cause = TlsFailure::CertificateRejected;
    snprintf(detail, detailCapacity, "chain status 0x%08lX", static_cast<unsigned long>(status));
    return true;
}

// The SSL policy: the chain for a server, and the host name unless it is an
// address. False when it passes.
bool PolicyFailure(PCCERT_CHAIN_CONTEXT chain, const char* host, bool dotted, TlsFailure* cause, char* detail,
                   size_t detailCapacity)
{
    wchar_t wideHost[256] = {};
    MultiByteToWideChar(CP_ACP, 0, host, -1, wideHost, 255);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara = {};
    sslPara.cbSize = sizeof sslPara;
    sslPara.dwAuthType = AUTHTYPE_SERVER;
    sslPara.fdwChecks = dotted ? kPolicyIgnoresName : 0;
    sslPara.pwszServerName = dotted ? nullptr : wideHost;
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &sslPara;
    CERT_CHAIN_POLICY_STATUS policyStatus = {};
    policyStatus.cbSize = sizeof policyStatus;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policyPara, &policyStatus)) {
        *cause = TlsFailure::CertificateRejected;
        snprintf(detail, detailCapacity, "policy not checked");
        return true;
    }
    const DWORD error = policyStatus.dwError;
    if (error == 0)
        return false;
    if (error == static_cast<DWORD>(CERT_E_EXPIRED))
        *cause = DateFailure(chain);
    else if (error == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
        *cause = TlsFailure::CertificateWrongName;
    else if (error == static_cast<DWORD>(CERT_E_WRONG_USAGE))
        *cause = TlsFailure::CertificateNotForServer;
    else if (error == static_cast<DWORD>(CERT_E_UNTRUSTEDROOT) || error == static_cast<DWORD>(CERT_E_CHAINING))
        *cause = TlsFailure::CertificateNotTrusted;
    else
        *cause = TlsFailure::CertificateRejected;
    snprintf(detail, detailCapacity, "policy error 0x%08lX", static_cast<unsigned long>(error));
    return true;
}

}  // namespace

bool CheckServerCertificate(PCCERT_CONTEXT certificate, const char* host, char* reason, int reasonCapacity)
{
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
        DescribeTlsFailure(TlsFailure::CertificateRejected, "no chain built", reason, reasonCapacity);
        return false;
    }
    const bool dotted = IsDottedAddress(host);
    unsigned char address[4];
    TlsFailure cause = TlsFailure::CertificateWrongName;
    char detail[48] = "";
    bool failed = ChainFailure(chain, &cause, detail, sizeof detail) ||
                  PolicyFailure(chain, host, dotted, &cause, detail, sizeof detail);
    if (!failed && dotted) {
        cause = TlsFailure::CertificateWrongName;
        failed = !ReadPlainDottedAddress(host, address) || !NamesAddress(certificate, address);
    }
    CertFreeCertificateChain(chain);
    if (failed)
        DescribeTlsFailure(cause, cause == TlsFailure::CertificateWrongName ? host : detail, reason, reasonCapacity);
    return !failed;
}
