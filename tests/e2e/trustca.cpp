// Test helper: makes a test's certificate authority trusted, or no longer
// trusted, by the current user of a Wine prefix, in the ROOT store where
// Windows keeps the user's trusted roots.
//
//   trustca add FILE.der       add the certificate (exit 0 when added)
//   trustca remove FILE.der    remove it again (exit 0 when none is left)
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool ReadFile(const char* path, std::vector<unsigned char>* bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  unsigned char piece[4096];
  std::size_t n;
  while ((n = std::fread(piece, 1, sizeof piece, file)) > 0) bytes->insert(bytes->end(), piece, piece + n);
  std::fclose(file);
  return !bytes->empty();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "add") != 0 && std::strcmp(argv[1], "remove") != 0)) {
    std::fprintf(stderr, "usage: trustca add|remove FILE.der\n");
    return 2;
  }
  std::vector<unsigned char> der;
  if (!ReadFile(argv[2], &der)) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 2;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "ROOT");
  if (store == nullptr) {
    std::fprintf(stderr, "cannot open the ROOT store (0x%08lX)\n", GetLastError());
    return 1;
  }
  int code = 0;
  if (std::strcmp(argv[1], "add") == 0) {
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
      std::fprintf(stderr, "cannot add the certificate (0x%08lX)\n", GetLastError());
      code = 1;
    }
  } else {
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (wanted == nullptr) {
      code = 1;
    } else {
      // Deleting frees the context it is given; the search starts over.
      for (;;) {
        PCCERT_CONTEXT found =
            CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
        if (found == nullptr) break;
        if (!CertDeleteCertificateFromStore(found)) {
          code = 1;
          break;
        }
      }
      CertFreeCertificateContext(wanted);
    }
  }
  CertCloseStore(store, 0);
  return code;
}
