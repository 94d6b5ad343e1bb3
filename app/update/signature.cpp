// The maker's signatures: the bytes signed for an entry's installer and for
// its web page, the '5' and '6' records' base64, and their check with the
// key the program carries.
#include <cstring>

#include "internal.h"
#include "tessel-core.h"
#include "tessel-str.h"

using update::kUnit;

namespace {

constexpr const char kSignedMagic[] = "Quillon Update 1";  // 16 bytes, no terminator signed
constexpr const char kPageMagic[] = "Quillon WebPage1";    // the same for a page

std::uint32_t LittleEndianTo(unsigned char* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
  return 4;
}

std::int32_t Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::uint32_t LengthAndText(unsigned char* at, const char* text) {
  std::uint32_t length = static_cast<std::uint32_t>(StrLength(text));
  LittleEndianTo(at, length);
  std::memcpy(at + 4, text, length);
  return 4 + length;
}

// One signature record of an entry: there, once, and readable.
bool OneReadable(std::int32_t count, const char* text, const char* what, const char* key,
                 unsigned char signature[kUpdateSignatureSize]) {
  if (count == 0) {
    LogPrint("Update %s missing for '%s'\n", what, key);
    return false;
  }
  if (count > 1) {
    LogPrint("Update %s given %d times for '%s'\n", what, static_cast<int>(count), key);
    return false;
  }
  if (!UpdateDecodeSignature(text, signature)) {
    LogPrint("Update %s unreadable for '%s'\n", what, key);
    return false;
  }
  return true;
}

}  // namespace

namespace update {

bool Sha256(const unsigned char* data, std::int32_t length, unsigned char digest[kUpdateHashSize]) {
  OsHashState state;
  if (!OsHashBegin(&state)) return false;
  if (!OsHashData(&state, data, static_cast<std::uint32_t>(length))) {
    OsHashAbandon(&state);
    return false;
  }
  return OsHashEnd(&state, digest) != 0;
}

}  // namespace update

std::int32_t UpdateSignedMessage(const char* key, const char* version,
                                 const unsigned char installerHash[kUpdateHashSize], unsigned char* message,
                                 std::int32_t capacity, std::int32_t* length) {
  CHECK_POINTER(kUnit, key);
  CHECK_POINTER(kUnit, version);
  CHECK_POINTER(kUnit, installerHash);
  CHECK_POINTER(kUnit, message);
  CHECK_POINTER(kUnit, length);
  std::int32_t keyLength = StrLength(key);
  std::int32_t versionLength = StrLength(version);
  std::int32_t total = 16 + 4 + keyLength + 4 + versionLength + kUpdateHashSize;
  if (total > capacity) return 0;
  unsigned char* at = message;
  std::memcpy(at, kSignedMagic, 16);
  at += 16;
  at += LittleEndianTo(at, static_cast<std::uint32_t>(keyLength));
  std::memcpy(at, key, static_cast<std::size_t>(keyLength));
  at += keyLength;
  at += LittleEndianTo(at, static_cast<std::uint32_t>(versionLength));
  std::memcpy(at, version, static_cast<std::size_t>(versionLength));
  at += versionLength;
  std::memcpy(at, installerHash, kUpdateHashSize);
  *length = total;
  return 1;
}

std::int32_t UpdateDecodeSignature(const char* text, unsigned char signature[kUpdateSignatureSize]) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, signature);
  // 64 bytes: 21 groups of four characters for 63 bytes, then one byte in
  // two characters and "==".
  if (StrLength(text) != 88 || text[86] != '=' || text[87] != '=') return 0;
  std::uint32_t bits = 0;
  std::int32_t held = 0;
  std::int32_t out = 0;
  for (std::int32_t i = 0; i < 86; ++i) {
    std::int32_t value = Base64Value(text[i]);
    if (value < 0) return 0;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      signature[out++] = static_cast<unsigned char>(bits >> held);
    }
  }
  // The last character's four low bits are padding and must be zero.
  return out == kUpdateSignatureSize && (bits & ((1u << held) - 1)) == 0 ? 1 : 0;
}

std::int32_t UpdateEntrySigned(const UpdateEntry& entry) {
  unsigned char signature[kUpdateSignatureSize];
  return OneReadable(entry.signatures, entry.signature, "signature", entry.key, signature) ? 1 : 0;
}

std::int32_t UpdateVerifyEntry(const unsigned char* makerKey, const UpdateEntry& entry,
                               const unsigned char installerHash[kUpdateHashSize]) {
  CHECK_POINTER(kUnit, makerKey);
  CHECK_POINTER(kUnit, installerHash);
  if (!UpdateEntrySigned(entry)) return 0;
  unsigned char signature[kUpdateSignatureSize];
  UpdateDecodeSignature(entry.signature, signature);
  unsigned char message[16 + 4 + kUpdateField + 4 + kUpdateVersionField + kUpdateHashSize];
  std::int32_t length = 0;
  unsigned char digest[kUpdateHashSize];
  if (!UpdateSignedMessage(entry.key, entry.versionText, installerHash, message, sizeof message, &length) ||
      !update::Sha256(message, length, digest)) {
    LogPrint("Update signature could not be checked for '%s'\n", entry.key);
    return 0;
  }
  if (!OsVerifySignature(makerKey, digest, signature)) {
    LogPrint("Update signature does not match '%s' %s\n", entry.key, entry.versionText);
    return 0;
  }
  LogPrint("Update signature verified for '%s' %s\n", entry.key, entry.versionText);
  return 1;
}

std::int32_t UpdatePageMessage(const char* key, const char* page, unsigned char* message, std::int32_t capacity,
                               std::int32_t* length) {
  CHECK_POINTER(kUnit, key);
  CHECK_POINTER(kUnit, page);
  CHECK_POINTER(kUnit, message);
  CHECK_POINTER(kUnit, length);
  std::int32_t total = 16 + 4 + StrLength(key) + 4 + StrLength(page);
  if (total > capacity) return 0;
  std::memcpy(message, kPageMagic, 16);
  std::uint32_t at = 16;
  at += LengthAndText(message + at, key);
  LengthAndText(message + at, page);
  *length = total;
  return 1;
}

std::int32_t UpdateVerifyPage(const unsigned char* makerKey, const UpdateEntry& entry) {
  CHECK_POINTER(kUnit, makerKey);
  unsigned char signature[kUpdateSignatureSize];
  if (!OneReadable(entry.pageSignatures, entry.pageSignature, "page signature", entry.key, signature)) return 0;
  unsigned char message[16 + 4 + kUpdateField + 4 + kUpdateField];
  std::int32_t length = 0;
  unsigned char digest[kUpdateHashSize];
  if (!UpdatePageMessage(entry.key, entry.webPage, message, sizeof message, &length) ||
      !update::Sha256(message, length, digest) || !OsVerifySignature(makerKey, digest, signature)) {
    LogPrint("Update page signature does not match '%s' '%s'\n", entry.key, entry.webPage);
    return 0;
  }
  return 1;
}
