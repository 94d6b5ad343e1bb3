// The server's certificate of a Schannel session, judged by hand (the
// context asks for manual validation, so that the log can tell why it was
// refused): CertGetCertificateChain against the system's trusted roots,
// then the SSL policy with the server's name. And what the session agreed
// and the certificate holds, for the caller's own checks.
#include "tlscert.h"

#include <wincrypt.h>

#include <cstring>
#include <initializer_list>

namespace {

// The hash of a certificate's signature, by its algorithm's name. RSASSA-PSS
// names its hash in its parameters, SHA-1 when they name none.
std::int32_t SignatureHash(const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
  const char* oid = algorithm.pszObjId ? algorithm.pszObjId : "";
  if (std::strcmp(oid, "1.2.840.113549.1.1.2") == 0) return kTlsHashMd2;
  for (const char* md5 : {"1.2.840.113549.1.1.4", "1.3.14.3.2.3", "1.3.14.3.2.25"})
    if (std::strcmp(oid, md5) == 0) return kTlsHashMd5;
  for (const char* sha1 : {"1.2.840.113549.1.1.5", "1.3.14.3.2.29", "1.2.840.10045.4.1", "1.2.840.10040.4.3",
                           "1.3.14.3.2.27", "1.3.14.3.2.13"})
    if (std::strcmp(oid, sha1) == 0) return kTlsHashSha1;
  if (std::strcmp(oid, "1.2.840.113549.1.1.10") == 0) {
    // The SHA-2 family's arc, 2.16.840.1.101.3.4.2, as DER.
    static const unsigned char kSha2[] = {0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02};
    const CRYPT_OBJID_BLOB& parameters = algorithm.Parameters;
    for (DWORD at = 0; parameters.pbData && at + sizeof kSha2 <= parameters.cbData; ++at)
      if (std::memcmp(parameters.pbData + at, kSha2, sizeof kSha2) == 0) return kTlsHashOther;
    return kTlsHashSha1;
  }
  return kTlsHashOther;
}

}  // namespace

bool TlsVerifyServer(CtxtHandle* context, const char* hostName, std::int32_t* failure, std::uint32_t* detail) {
  PCCERT_CONTEXT certificate = nullptr;
  SECURITY_STATUS status = QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
  if (status != SEC_E_OK || certificate == nullptr) {
    *failure = kTlsUntrusted;
    *detail = static_cast<std::uint32_t>(status);
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
  bool verified = false;
  *failure = kTlsUntrusted;
  if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &chainPara, 0, nullptr,
                               &chain)) {
    *detail = GetLastError();
  } else {
    wchar_t name[256] = {};
    MultiByteToWideChar(CP_ACP, 0, hostName, -1, name, 255);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = name;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS result = {};
    result.cbSize = sizeof result;
    if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
      *detail = GetLastError();
    } else {
      *detail = result.dwError;
      verified = result.dwError == 0;
      if (result.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH))
        *failure = kTlsNameMismatch;
      else if (result.dwError == static_cast<DWORD>(CERT_E_EXPIRED))
        *failure = kTlsExpired;
      // The chain's own verdict as well: not every system's policy refuses
      // a chain that ends below any root (Wine's lets a partial one pass).
      // Only what was not asked for (revocation) may stay unknown.
      DWORD errors = chain->TrustStatus.dwErrorStatus &
                     ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
                                         CERT_TRUST_IS_NOT_TIME_NESTED);
      if (verified && errors != 0) {
        verified = false;
        if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
          *failure = kTlsExpired;
          *detail = static_cast<std::uint32_t>(CERT_E_EXPIRED);
        } else {
          *detail =
              static_cast<std::uint32_t>(errors & CERT_TRUST_IS_PARTIAL_CHAIN ? CERT_E_CHAINING : CERT_E_UNTRUSTEDROOT);
        }
      }
    }
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return verified;
}

void TlsDescribe(CtxtHandle* context, OsTlsFacts* facts) {
  *facts = OsTlsFacts{};
  SecPkgContext_ConnectionInfo connection = {};
  if (QueryContextAttributesA(context, SECPKG_ATTR_CONNECTION_INFO, &connection) == SEC_E_OK) {
    static const struct {
      DWORD bits;
      std::int32_t version;
    } kProtocols[] = {{SP_PROT_SSL2, 0x0002},   {SP_PROT_SSL3, 0x0300},   {SP_PROT_TLS1_0, 0x0301},
                      {SP_PROT_TLS1_1, 0x0302}, {SP_PROT_TLS1_2, 0x0303}, {SP_PROT_TLS1_3, 0x0304}};
    for (const auto& row : kProtocols)
      if (connection.dwProtocol & row.bits) facts->protocol = row.version;
    // Another protocol (or none) stays 0: unknown, and refused as such.
    if (connection.dwProtocol & ~static_cast<DWORD>(SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1 |
                                                    SP_PROT_TLS1_2 | SP_PROT_TLS1_3))
      facts->protocol = 0;
    facts->cipherBits = static_cast<std::int32_t>(connection.dwCipherStrength);
  }
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesA(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == nullptr)
    return;
  CERT_PUBLIC_KEY_INFO& key = certificate->pCertInfo->SubjectPublicKeyInfo;
  const char* kind = key.Algorithm.pszObjId ? key.Algorithm.pszObjId : "";
  if (std::strcmp(kind, szOID_RSA_RSA) == 0 || std::strcmp(kind, "1.2.840.113549.1.1.10") == 0) {
    facts->keyKind = kTlsKeyRsa;
    facts->keyBits = static_cast<std::int32_t>(CertGetPublicKeyLength(X509_ASN_ENCODING, &key));
  } else if (std::strcmp(kind, szOID_ECC_PUBLIC_KEY) == 0) {
    // The point's coordinates tell the curve's size: 04 X Y, or 02/03 X.
    facts->keyKind = kTlsKeyEc;
    DWORD size = key.PublicKey.cbData;
    if (size > 1 && key.PublicKey.pbData[0] == 0x04)
      facts->keyBits = static_cast<std::int32_t>((size - 1) / 2 * 8);
    else if (size > 1)
      facts->keyBits = static_cast<std::int32_t>((size - 1) * 8);
  } else if (std::strcmp(kind, szOID_X957_DSA) == 0) {
    facts->keyKind = kTlsKeyDsa;
    facts->keyBits = static_cast<std::int32_t>(CertGetPublicKeyLength(X509_ASN_ENCODING, &key));
  } else {
    facts->keyKind = kTlsKeyOther;
  }
  facts->signatureHash = SignatureHash(certificate->pCertInfo->SignatureAlgorithm);
  CertFreeCertificateContext(certificate);
}
