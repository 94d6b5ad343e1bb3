#include "signing.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <sstream>

namespace signing {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length > 0 ? length : 0));
}

Key ReadKey(const std::string& pem, bool isPrivate) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  return Key(isPrivate ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                       : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
}

bool IsP256(EVP_PKEY* key) {
  char group[64] = {};
  std::size_t length = 0;
  return key && EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1 &&
         std::strcmp(group, "prime256v1") == 0;
}

void Le32(Bytes& out, std::size_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

bool Sha256(std::span<const std::uint8_t> data, std::uint8_t digest[32]) {
  unsigned int length = 0;
  return EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) == 1 && length == 32;
}

std::string Trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

KeyPair GenerateKeyPair() {
  KeyPair pair;
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  Bio priv(BIO_new(BIO_s_mem()));
  Bio pub(BIO_new(BIO_s_mem()));
  if (!key || !priv || !pub ||
      PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
      PEM_write_bio_PUBKEY(pub.get(), key.get()) != 1) {
    pair.problem = "the key pair could not be made";
    return pair;
  }
  pair.privatePem = BioText(priv.get());
  pair.publicPem = BioText(pub.get());
  pair.ok = true;
  return pair;
}

Bytes PublicPoint(const std::string& pem, std::string* problem) {
  Key key = ReadKey(pem, false);
  Bytes point(65);
  std::size_t length = 0;
  if (!IsP256(key.get()) ||
      EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(), point.size(),
                                      &length) != 1 ||
      length != 65 || point[0] != 0x04) {
    *problem = "not a P-256 public key in PEM (make one with ffsbuild keygen)";
    return {};
  }
  return point;
}

Bytes SignedMessage(const std::string& entryKey, const std::string& version, std::span<const std::uint8_t> installer) {
  static const char kMagic[] = "Quillon Update 1";
  Bytes out(kMagic, kMagic + 16);
  Le32(out, entryKey.size());
  out.insert(out.end(), entryKey.begin(), entryKey.end());
  Le32(out, version.size());
  out.insert(out.end(), version.begin(), version.end());
  std::uint8_t digest[32];
  Sha256(installer, digest);
  out.insert(out.end(), digest, digest + 32);
  return out;
}

namespace {

std::string SignMessage(const std::string& privatePem, const Bytes& message, std::string* problem) {
  Key key = ReadKey(privatePem, true);
  if (!IsP256(key.get())) {
    *problem = "not a P-256 private key in PEM (make one with ffsbuild keygen)";
    return "";
  }
  DigestContext context(EVP_MD_CTX_new());
  std::size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, message.data(), message.size()) != 1) {
    *problem = "the signature could not be made";
    return "";
  }
  Bytes der(length);
  if (EVP_DigestSign(context.get(), der.data(), &length, message.data(), message.size()) != 1) {
    *problem = "the signature could not be made";
    return "";
  }
  const unsigned char* at = der.data();
  Signature pair(d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(length)));
  Bytes raw(64);
  if (!pair || BN_bn2binpad(ECDSA_SIG_get0_r(pair.get()), raw.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(pair.get()), raw.data() + 32, 32) != 32) {
    *problem = "the signature could not be made";
    return "";
  }
  return Base64(raw);
}

bool VerifyMessage(const std::string& publicPem, const Bytes& message, const std::string& signature) {
  Key key = ReadKey(publicPem, false);
  if (!IsP256(key.get()) || signature.size() != 88) return false;
  unsigned char raw[66];
  if (EVP_DecodeBlock(raw, reinterpret_cast<const unsigned char*>(signature.data()), 88) != 66) return false;
  Signature pair(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(raw, 32, nullptr);
  BIGNUM* s = BN_bin2bn(raw + 32, 32, nullptr);
  if (!pair || !r || !s || ECDSA_SIG_set0(pair.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return false;
  }
  unsigned char* der = nullptr;
  int derLength = i2d_ECDSA_SIG(pair.get(), &der);
  DigestContext context(EVP_MD_CTX_new());
  bool good =
      derLength > 0 && context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
      EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derLength), message.data(), message.size()) == 1;
  OPENSSL_free(der);
  return good;
}

}  // namespace

std::string Sign(const std::string& privatePem, const std::string& entryKey, const std::string& version,
                 std::span<const std::uint8_t> installer, std::string* problem) {
  return SignMessage(privatePem, SignedMessage(entryKey, version, installer), problem);
}

bool Verify(const std::string& publicPem, const std::string& entryKey, const std::string& version,
            std::span<const std::uint8_t> installer, const std::string& signature) {
  return VerifyMessage(publicPem, SignedMessage(entryKey, version, installer), signature);
}

Bytes PageMessage(const std::string& entryKey, const std::string& page) {
  static const char kMagic[] = "Quillon WebPage1";
  Bytes out(kMagic, kMagic + 16);
  Le32(out, entryKey.size());
  out.insert(out.end(), entryKey.begin(), entryKey.end());
  Le32(out, page.size());
  out.insert(out.end(), page.begin(), page.end());
  return out;
}

std::string SignPage(const std::string& privatePem, const std::string& entryKey, const std::string& page,
                     std::string* problem) {
  return SignMessage(privatePem, PageMessage(entryKey, page), problem);
}

bool VerifyPage(const std::string& publicPem, const std::string& entryKey, const std::string& page,
                const std::string& signature) {
  return VerifyMessage(publicPem, PageMessage(entryKey, page), signature);
}

std::string Base64(std::span<const std::uint8_t> data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::string Fingerprint(std::span<const std::uint8_t> point) {
  std::uint8_t digest[32];
  Sha256(point, digest);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i) out += ':';
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

ListSource ParseListSource(const std::string& text) {
  ListSource source;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  auto fail = [&](const std::string& why) {
    source.problem = "line " + std::to_string(number) + ": " + why;
    return source;
  };
  auto complete = [&](const ListEntry& e) -> std::string {
    if (e.version.empty()) return "the entry '" + e.key + "' names no version";
    if (e.url.empty()) return "the entry '" + e.key + "' names no installer url";
    if (e.file.empty()) return "the entry '" + e.key + "' names no installer file to sign";
    return "";
  };
  while (std::getline(in, line)) {
    ++number;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    for (unsigned char c : trimmed)
      if (c < 0x20 && c != '\t') return fail("control characters have no place in a version list");
    if (trimmed.front() == '[') {
      if (trimmed.back() != ']' || trimmed.size() < 3) return fail("an entry is written [Company Product]");
      if (!source.entries.empty())
        if (std::string why = complete(source.entries.back()); !why.empty()) return fail(why);
      ListEntry entry;
      entry.line = number;
      entry.key = Trim(trimmed.substr(1, trimmed.size() - 2));
      source.entries.push_back(entry);
      continue;
    }
    const std::size_t colon = trimmed.find(':');
    if (colon == std::string::npos) return fail("expected 'name: value' or [Company Product]");
    if (source.entries.empty()) return fail("a value before the first [Company Product]");
    const std::string name = Trim(trimmed.substr(0, colon));
    const std::string value = Trim(trimmed.substr(colon + 1));
    ListEntry& entry = source.entries.back();
    std::string* field = name == "version" ? &entry.version
                         : name == "page"  ? &entry.page
                         : name == "url"   ? &entry.url
                         : name == "file"  ? &entry.file
                                           : nullptr;
    if (!field) return fail("unknown name '" + name + "' (version, page, url, file)");
    if (!field->empty()) return fail("'" + name + "' given twice for '" + entry.key + "'");
    if (value.size() > 319) return fail("'" + name + "' is longer than 319 characters");
    *field = value;
  }
  if (source.entries.empty()) return fail("the source names no product");
  if (std::string why = complete(source.entries.back()); !why.empty()) return fail(why);
  source.ok = true;
  return source;
}

std::string Record(char type, const std::string& text) { return std::string(1, '\x16') + type + text + "\r\n"; }

}  // namespace signing
