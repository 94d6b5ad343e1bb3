// The seam's host side of SHA-256 and ECDSA P-256 verification, through
// OpenSSL's libcrypto.
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstring>

#include "os.h"

namespace {

struct HashState {
  EVP_MD_CTX* context;
};
static_assert(sizeof(HashState) <= sizeof(OsHashState::opaque));

HashState* State(OsHashState* state) { return reinterpret_cast<HashState*>(state->opaque); }

// The public key of a 65-byte uncompressed point; null when it is none.
EVP_PKEY* PublicKey(const unsigned char point[kOsPublicKeySize]) {
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("prime256v1"), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(point), kOsPublicKeySize),
      OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (context == nullptr || EVP_PKEY_fromdata_init(context) <= 0 ||
      EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) <= 0)
    key = nullptr;
  EVP_PKEY_CTX_free(context);
  return key;
}

}  // namespace

int OsHashBegin(OsHashState* state) {
  State(state)->context = EVP_MD_CTX_new();
  if (State(state)->context != nullptr && EVP_DigestInit_ex(State(state)->context, EVP_sha256(), nullptr) == 1)
    return 1;
  OsHashAbandon(state);
  return 0;
}

int OsHashData(OsHashState* state, const void* data, std::uint32_t length) {
  if (State(state)->context == nullptr) return 0;
  return EVP_DigestUpdate(State(state)->context, data, length) == 1 ? 1 : 0;
}

int OsHashEnd(OsHashState* state, unsigned char digest[kOsHashSize]) {
  if (State(state)->context == nullptr) return 0;
  unsigned int length = 0;
  bool done = EVP_DigestFinal_ex(State(state)->context, digest, &length) == 1 && length == kOsHashSize;
  OsHashAbandon(state);
  return done ? 1 : 0;
}

void OsHashAbandon(OsHashState* state) {
  EVP_MD_CTX_free(State(state)->context);
  State(state)->context = nullptr;
}

int OsVerifySignature(const unsigned char publicKey[kOsPublicKeySize], const unsigned char digest[kOsHashSize],
                      const unsigned char signature[kOsSignatureSize]) {
  if (publicKey[0] != 0x04) return 0;
  EVP_PKEY* key = PublicKey(publicKey);
  if (key == nullptr) return 0;
  // libcrypto takes the signature in DER: the two numbers r and s.
  ECDSA_SIG* pair = ECDSA_SIG_new();
  BIGNUM* r = BN_bin2bn(signature, 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature + 32, 32, nullptr);
  unsigned char* der = nullptr;
  int derLength = 0;
  if (pair != nullptr && r != nullptr && s != nullptr && ECDSA_SIG_set0(pair, r, s) == 1) {
    r = s = nullptr;  // owned by the pair now
    derLength = i2d_ECDSA_SIG(pair, &der);
  }
  BN_free(r);
  BN_free(s);
  ECDSA_SIG_free(pair);
  int verified = 0;
  EVP_PKEY_CTX* context = derLength > 0 ? EVP_PKEY_CTX_new(key, nullptr) : nullptr;
  if (context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
      EVP_PKEY_verify(context, der, static_cast<std::size_t>(derLength), digest, kOsHashSize) == 1)
    verified = 1;
  EVP_PKEY_CTX_free(context);
  OPENSSL_free(der);
  EVP_PKEY_free(key);
  return verified;
}
