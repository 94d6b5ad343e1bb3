// The maker's side of signed updates: the key pair, the signature of an
// installer for a version-list entry, and the version list itself.
//
// What is signed for an entry (the program builds the same bytes):
//   "Quillon Update 1" (16 bytes), the entry's key ("Company Product") and
//   the version text, each after its length as 32-bit little-endian, then
//   the SHA-256 of the installer file (32 bytes).
// The signature is ECDSA on P-256 with SHA-256, r and s as 32 big-endian
// bytes each, base64 in the list's '5' record.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace signing {

using Bytes = std::vector<std::uint8_t>;

struct KeyPair {
  bool ok = false;
  std::string problem;
  std::string privatePem;  // PKCS#8
  std::string publicPem;   // SubjectPublicKeyInfo
};
KeyPair GenerateKeyPair();

// The 65-byte point of a public key in PEM; empty with a problem when the
// text is no P-256 public key.
Bytes PublicPoint(const std::string& pem, std::string* problem);

// The bytes the maker signs for an entry.
Bytes SignedMessage(const std::string& entryKey, const std::string& version, std::span<const std::uint8_t> installer);

// The '5' record's text (base64 of r and s); empty with a problem when the
// key is no P-256 private key in PEM.
std::string Sign(const std::string& privatePem, const std::string& entryKey, const std::string& version,
                 std::span<const std::uint8_t> installer, std::string* problem);

// The bytes the maker signs for an entry's web page: "Quillon WebPage1"
// (16 bytes), the entry's key and the page's URL, each after its length as
// 32-bit little-endian. A product with the maker's key opens only a page
// so signed (the list's '6' record).
Bytes PageMessage(const std::string& entryKey, const std::string& page);
// The '6' record's text for the page; empty with a problem as Sign.
std::string SignPage(const std::string& privatePem, const std::string& entryKey, const std::string& page,
                     std::string* problem);
bool VerifyPage(const std::string& publicPem, const std::string& entryKey, const std::string& page,
                const std::string& signature);

// Whether the signature text is the key's for the entry and installer.
bool Verify(const std::string& publicPem, const std::string& entryKey, const std::string& version,
            std::span<const std::uint8_t> installer, const std::string& signature);

std::string Base64(std::span<const std::uint8_t> data);
// The first 8 bytes of a key's SHA-256 in hex, to tell keys apart.
std::string Fingerprint(std::span<const std::uint8_t> point);

// One product of a version list's source.
struct ListEntry {
  int line = 0;
  std::string key, version, page, url, file;
};
// A version list's source: "[Company Product]" starts an entry, then
// "version:", "page:", "url:" and "file:" lines; '#' starts a comment.
struct ListSource {
  bool ok = false;
  std::string problem;
  std::vector<ListEntry> entries;
};
ListSource ParseListSource(const std::string& text);

// One record: 0x16, its type, its text, CR LF.
std::string Record(char type, const std::string& text);

}  // namespace signing
