// trust-ca <certificate.pem>
// Adds a CA certificate to the current user's Root store of this Wine prefix,
// so that WinHTTP accepts the local update host. Test and demo tooling only:
// the machine's own trust store is never touched.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust-ca <certificate.pem>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "trust-ca: cannot read %ls\n", argv[1]);
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string pem = text.str();
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr)) {
        std::fprintf(stderr, "trust-ca: %ls is not a PEM certificate\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(pem.c_str(), (DWORD)pem.size(), CRYPT_STRING_BASE64HEADER, der.data(),
                         &size, nullptr, nullptr);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) {
        std::fprintf(stderr, "trust-ca: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                               CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!ok) {
        std::fprintf(stderr, "trust-ca: adding the certificate failed (%lu)\n", error);
        return 1;
    }
    std::printf("trust-ca: %ls trusted for the current user\n", argv[1]);
    return 0;
}
