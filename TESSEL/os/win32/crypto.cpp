// The seam over Win32: SHA-256 and ECDSA P-256 verification through the
// system's own CNG (bcrypt.dll, imported).
#include <windows.h>
#include <bcrypt.h>

#include <cstring>

#include "os.h"

namespace {

// What the opaque hash state holds on this side.
struct HashState {
  BCRYPT_HASH_HANDLE hash;
};
static_assert(sizeof(HashState) <= sizeof(OsHashState::opaque));

HashState* State(OsHashState* state) { return reinterpret_cast<HashState*>(state->opaque); }

// The providers live as long as the process; opening one costs more than a
// whole verification.
BCRYPT_ALG_HANDLE Provider(LPCWSTR algorithm, BCRYPT_ALG_HANDLE* slot) {
  if (*slot == nullptr && BCryptOpenAlgorithmProvider(slot, algorithm, nullptr, 0) != 0) *slot = nullptr;
  return *slot;
}
BCRYPT_ALG_HANDLE g_sha256 = nullptr;
BCRYPT_ALG_HANDLE g_ecdsa = nullptr;

}  // namespace

int OsHashBegin(OsHashState* state) {
  State(state)->hash = nullptr;
  BCRYPT_ALG_HANDLE provider = Provider(BCRYPT_SHA256_ALGORITHM, &g_sha256);
  if (provider == nullptr) return 0;
  // No hash object of ours: the system keeps it (Windows 7 and later).
  return BCryptCreateHash(provider, &State(state)->hash, nullptr, 0, nullptr, 0, 0) == 0 ? 1 : 0;
}

int OsHashData(OsHashState* state, const void* data, std::uint32_t length) {
  if (State(state)->hash == nullptr) return 0;
  return BCryptHashData(State(state)->hash, static_cast<PUCHAR>(const_cast<void*>(data)), length, 0) == 0 ? 1 : 0;
}

int OsHashEnd(OsHashState* state, unsigned char digest[kOsHashSize]) {
  if (State(state)->hash == nullptr) return 0;
  NTSTATUS status = BCryptFinishHash(State(state)->hash, digest, kOsHashSize, 0);
  OsHashAbandon(state);
  return status == 0 ? 1 : 0;
}

void OsHashAbandon(OsHashState* state) {
  if (State(state)->hash != nullptr) BCryptDestroyHash(State(state)->hash);
  State(state)->hash = nullptr;
}

int OsVerifySignature(const unsigned char publicKey[kOsPublicKeySize], const unsigned char digest[kOsHashSize],
                      const unsigned char signature[kOsSignatureSize]) {
  if (publicKey[0] != 0x04) return 0;
  BCRYPT_ALG_HANDLE provider = Provider(BCRYPT_ECDSA_P256_ALGORITHM, &g_ecdsa);
  if (provider == nullptr) return 0;
  // The key blob: its header, then X and Y as the point gives them.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey + 1, 64);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob, sizeof blob, 0) != 0) return 0;
  NTSTATUS status = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest), kOsHashSize,
                                          const_cast<PUCHAR>(signature), kOsSignatureSize, 0);
  BCryptDestroyKey(key);
  return status == 0 ? 1 : 0;
}
