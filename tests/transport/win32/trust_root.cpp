// Adds a CA certificate (PEM) to the machine's trusted roots. Run inside a
// private Wine prefix to trust a test CA there; Wine's certutil does nothing.
//   trust_root FILE.pem
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: trust_root FILE.pem\n");
        return 2;
    }
    FILE* file = fopen(argv[1], "rb");
    if (file == nullptr) {
        fprintf(stderr, "trust_root: cannot read %s\n", argv[1]);
        return 1;
    }
    std::vector<char> pem(65536);
    const size_t length = fread(pem.data(), 1, pem.size() - 1, file);
    fclose(file);

    std::vector<BYTE> der(pem.size());
    DWORD derLength = static_cast<DWORD>(der.size());
    if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(length), CRYPT_STRING_BASE64HEADER, der.data(),
                              &derLength, nullptr, nullptr)) {
        fprintf(stderr, "trust_root: %s holds no PEM certificate\n", argv[1]);
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
    if (store == nullptr) {
        fprintf(stderr, "trust_root: cannot open the machine's root store\n");
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), derLength,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
    if (!added) {
        fprintf(stderr, "trust_root: the store refused the certificate\n");
        return 1;
    }
    return 0;
}
