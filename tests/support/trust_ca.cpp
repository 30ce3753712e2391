// Trusts the test certificate authority in the Wine prefix it runs in, and nowhere else.
//   trust_ca.exe CA.der
#include "tests/support/test_files.h"

#include <windows.h>

#include <wincrypt.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fputs("usage: trust_ca CA.der\n", stderr);
        return 2;
    }
    const std::string der = ReadFileBytes(argv[1]);
    if (der.empty() ||
        !CertAddEncodedCertificateToSystemStoreW(L"Root", reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()))) {
        std::fprintf(stderr, "trust_ca: could not add the authority (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
