// Adds one DER certificate to the LOCAL_MACHINE Root store of the Wine
// prefix it runs in, so that the prefix trusts the HTTPS tests' throwaway
// CA; Wine's crypt32 otherwise reads only the host's anchors.
//
//   addroot.exe CERT.der
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: addroot.exe CERT.der\n");
        return 2;
    }
    FILE* file = _wfopen(argv[1], L"rb");
    if (file == nullptr) {
        std::fprintf(stderr, "addroot: cannot open the certificate\n");
        return 1;
    }
    std::vector<BYTE> der(64 * 1024);
    size_t length = std::fread(der.data(), 1, der.size(), file);
    std::fclose(file);
    if (length == 0 || length == der.size()) {
        std::fprintf(stderr, "addroot: the certificate is empty or too long\n");
        return 1;
    }
    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "addroot: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                  static_cast<DWORD>(length),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "addroot: the certificate was not added (%lu)\n", error);
        return 1;
    }
    return 0;
}
