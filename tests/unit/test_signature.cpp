// The update's signatures: the signed layout, the hash and the verification
// on this side (CNG on Windows, libcrypto on the host), against vectors
// made by Python's cryptography (gen_signature_vectors.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "os.h"
#include "settings.h"
#include "signature_vectors.h"
#include "update/update.h"

namespace {

void Hash(const unsigned char* data, std::size_t length, unsigned char digest[32], std::size_t piece = 7) {
  OsHashState state;
  ASSERT_EQ(OsHashBegin(&state), 1);
  for (std::size_t at = 0; at < length; at += piece)
    ASSERT_EQ(OsHashData(&state, data + at, static_cast<std::uint32_t>(std::min(piece, length - at))), 1);
  ASSERT_EQ(OsHashEnd(&state, digest), 1);
}

UpdateEntry Entry(const char* key, const char* version, const char* signature, std::int32_t signatures = 1) {
  UpdateEntry entry;
  std::strcpy(entry.key, key);
  std::strcpy(entry.versionText, version);
  std::strcpy(entry.signature, signature);
  entry.signatures = signatures;
  return entry;
}

}  // namespace

TEST(Signature, LayoutAndHashAreTheIndependentOnes) {
  unsigned char message[256];
  std::int32_t length = 0;
  ASSERT_EQ(UpdateSignedMessage("Acme Tool", "2.5", kInstallerHash, message, sizeof message, &length), 1);
  ASSERT_EQ(length, static_cast<std::int32_t>(sizeof kSignedLayout));
  EXPECT_EQ(std::memcmp(message, kSignedLayout, sizeof kSignedLayout), 0);
  EXPECT_EQ(UpdateSignedMessage("Acme Tool", "2.5", kInstallerHash, message, length - 1, &length), 0);
  unsigned char digest[32];
  Hash(kInstaller, sizeof kInstaller, digest);
  EXPECT_EQ(std::memcmp(digest, kInstallerHash, 32), 0);
}

TEST(Signature, OnlyTheMakersSignatureOfThisFileAndEntryVerifies) {
  unsigned char changed[32];
  unsigned char copy[sizeof kInstaller];
  std::memcpy(copy, kInstaller, sizeof copy);
  copy[100] ^= 1;
  Hash(copy, sizeof copy, changed);
  std::string cut = std::string(kSignedByMaker).substr(0, 84) + "==";
  std::string foreign = kSignedByMaker;
  foreign[10] = '*';
  const struct {
    const char* what;
    const unsigned char* key;
    UpdateEntry entry;
    const unsigned char* hash;
    std::int32_t verified;
  } cases[] = {
      {"good", kMakerKey, Entry("Acme Tool", "2.5", kSignedByMaker), kInstallerHash, 1},
      {"one changed byte", kMakerKey, Entry("Acme Tool", "2.5", kSignedByMaker), changed, 0},
      {"another version", kMakerKey, Entry("Acme Tool", "2.6", kSignedByMaker), kInstallerHash, 0},
      {"another product's", kMakerKey, Entry("Acme Tool", "2.5", kSignedForAnotherProduct), kInstallerHash, 0},
      {"another key's", kMakerKey, Entry("Acme Tool", "2.5", kSignedByOther), kInstallerHash, 0},
      {"checked with the other key", kOtherKey, Entry("Acme Tool", "2.5", kSignedByMaker), kInstallerHash, 0},
      {"truncated", kMakerKey, Entry("Acme Tool", "2.5", cut.c_str()), kInstallerHash, 0},
      {"not base64", kMakerKey, Entry("Acme Tool", "2.5", foreign.c_str()), kInstallerHash, 0},
      {"missing", kMakerKey, Entry("Acme Tool", "2.5", "", 0), kInstallerHash, 0},
      {"given twice", kMakerKey, Entry("Acme Tool", "2.5", kSignedByMaker, 2), kInstallerHash, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(UpdateVerifyEntry(c.key, c.entry, c.hash), c.verified) << c.what;
  unsigned char notAPoint[65] = {0x04};
  EXPECT_EQ(UpdateVerifyEntry(notAPoint, Entry("Acme Tool", "2.5", kSignedByMaker), kInstallerHash), 0);
}

TEST(Signature, TheListCarriesItPerEntry) {
  InstallSettings product = {};
  std::strcpy(product.CompanyName, "Acme");
  std::strcpy(product.ProductName, "Tool");
  auto record = [](char type, const std::string& text) { return std::string(1, '\x16') + type + text + "\r\n"; };
  const std::string other = record('1', "Acme Other") + record('5', kSignedForAnotherProduct) + record('0', "");
  UpdateEntry entry;
  // Another entry's signature is not this one's.
  std::string reply = other + record('1', "Acme Tool") + record('2', "2.5 final") + record('0', "");
  ASSERT_EQ(UpdateFindEntry(&product, reply.c_str(), &entry), 1);
  EXPECT_EQ(entry.signatures, 0);
  EXPECT_STREQ(entry.versionText, "2.5 final");
  EXPECT_STREQ(entry.newVersion, "2.5");
  reply = record('1', "Acme Tool") + record('5', kSignedByMaker) + record('5', kSignedByMaker) + record('0', "");
  ASSERT_EQ(UpdateFindEntry(&product, reply.c_str(), &entry), 1);
  EXPECT_EQ(UpdateEntrySigned(entry), 0);
}

// One signature has one text: other spellings of the same bytes (padding
// bits set, the padding cut or doubled) are refused, so a signature cannot
// be changed and still count.
TEST(Signature, OneTextForOneSignature) {
  const std::string good = kSignedByMaker;
  ASSERT_EQ(good.size(), 88u);
  ASSERT_EQ(good[85], 'w');  // the last byte's character: its four low bits are padding
  const struct {
    std::string text;
    std::int32_t decoded;
    const char* why;
  } cases[] = {
      {good, 1, "the maker's"},
      {good.substr(0, 85) + "x==", 0, "a padding bit set"},
      {good.substr(0, 85) + "/==", 0, "every padding bit set"},
      {good.substr(0, 87), 0, "without its final '='"},
      {good.substr(0, 86), 0, "without its padding"},
      {good + "=", 0, "a third '='"},
      {good.substr(0, 86) + "A=", 0, "a character for the first '='"},
      {good.substr(0, 86) + "=A", 0, "a character for the last '='"},
  };
  for (const auto& c : cases) {
    unsigned char signature[kUpdateSignatureSize];
    EXPECT_EQ(UpdateDecodeSignature(c.text.c_str(), signature), c.decoded) << c.why;
  }
}
