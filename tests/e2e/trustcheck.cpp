// Test helper: what Windows makes of a signed program, as the elevation
// prompt shows it: WinVerifyTrust's verdict on the file's Authenticode
// signature, the publisher (the signer's certificate's name) and the
// program's version information.
//
//   trustcheck FILE.exe
//
// Prints "trust: 0x%08lX" (0 when the signature holds and chains to a
// trusted root), "publisher: ...", and the version texts; exit code 0 when
// it could look, 2 when it could not.
#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* text) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n : 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
  return out;
}

LONG Trust(const std::wstring& path) {
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  return result;
}

// The signer's name from the signature embedded in the file, whether or
// not it is trusted.
std::string Publisher(const std::wstring& path) {
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                        CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr))
    return "(none)";
  std::string name = "(none)";
  DWORD size = 0;
  if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size)) {
    std::vector<BYTE> info(size);
    if (CryptMsgGetParam(message, CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size)) {
      PCCERT_CONTEXT signer =
          CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, CERT_FIND_SUBJECT_CERT,
                                     reinterpret_cast<CERT_INFO*>(info.data()), nullptr);
      if (signer != nullptr) {
        char text[256] = {};
        CertGetNameStringA(signer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, sizeof text);
        name = text;
        CertFreeCertificateContext(signer);
      }
    }
  }
  CryptMsgClose(message);
  CertCloseStore(store, 0);
  return name;
}

void VersionTexts(const char* path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  std::vector<char> block(size > 0 ? size : 1);
  if (size == 0 || !GetFileVersionInfoA(path, 0, size, block.data())) {
    std::printf("version: (none)\n");
    return;
  }
  struct Translation {
    WORD language, codePage;
  }* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof *translation) {
    std::printf("version: (no translation)\n");
    return;
  }
  for (const char* name : {"FileDescription", "CompanyName", "ProductName", "FileVersion"}) {
    char query[128];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", translation->language, translation->codePage,
                  name);
    char* value = nullptr;
    UINT n = 0;
    std::printf("%s: %s\n", name,
                VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&value), &n) && n > 0 ? value : "(none)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: trustcheck FILE.exe\n");
    return 2;
  }
  const std::wstring path = Wide(argv[1]);
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "no file %s\n", argv[1]);
    return 2;
  }
  std::printf("trust: 0x%08lX\n", static_cast<unsigned long>(Trust(path)));
  std::printf("publisher: %s\n", Publisher(path).c_str());
  VersionTexts(argv[1]);
  return 0;
}
