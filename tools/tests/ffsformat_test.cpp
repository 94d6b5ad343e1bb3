#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

#include "ffsformat.h"

namespace {

using ffsfmt::Bytes;

Bytes RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// What the program does with an executable, written from its reading rules
// and independent of the builder's code: the last four bytes give T, the tag
// must be at T, the block runs from T + 4 to the end and is descrambled with
// the key; the program then sees the whole block.
struct Reading {
  bool ok = false;
  std::uint32_t t = 0;
  Bytes block;
};

Reading ProgramReads(const Bytes& file) {
  static const char key[] = "SampleVaultKey";
  Reading r;
  if (file.size() < 4) return r;
  const std::size_t s = file.size();
  std::memcpy(&r.t, &file[s - 4], 4);  // the tests run on little-endian hosts
  if (r.t == 0 || r.t >= s) return r;
  if (std::memcmp(&file[r.t], "FFS?", 4) != 0) return r;
  r.block.assign(file.begin() + r.t + 4, file.end());
  for (std::size_t i = 0; i < r.block.size(); ++i) {
    const std::size_t k = i % 14;
    r.block[i] ^= static_cast<std::uint8_t>(key[k]) ^ static_cast<std::uint8_t>((i ^ k) & 0xFF);
  }
  r.ok = true;
  return r;
}

TEST(Scramble, IsItsOwnInverse) {
  for (std::size_t first : {0u, 1u, 13u, 14u, 255u, 256u, 70001u}) {
    const Bytes orig = RandomBytes(1000, static_cast<unsigned>(first));
    Bytes b = orig;
    ffsfmt::Scramble(b, first);
    EXPECT_NE(b, orig);
    ffsfmt::Scramble(b, first);
    EXPECT_EQ(b, orig) << "first " << first;
  }
}

TEST(Scramble, KeyPositionsAndIndexBits) {
  Bytes zero(300, 0);
  ffsfmt::Scramble(zero);
  EXPECT_EQ(zero[0], 'S');        // byte 0: key[0] only
  EXPECT_EQ(zero[13], 'y');       // key[13], i XOR k = 0
  EXPECT_EQ(zero[14], 'S' ^ 14);  // the key restarts, i XOR k = 14
  EXPECT_EQ(zero[15], 'a' ^ (15 ^ 1));
  EXPECT_EQ(zero[256 + 4], static_cast<std::uint8_t>("SampleVaultKey"[260 % 14] ^ ((260 ^ (260 % 14)) & 0xFF)));
}

TEST(Scramble, ScramblingInPiecesEqualsScramblingWhole) {
  Bytes whole = RandomBytes(100, 7), parts = whole;
  ffsfmt::Scramble(whole);
  ffsfmt::Scramble(std::span(parts).first(37), 0);
  ffsfmt::Scramble(std::span(parts).subspan(37), 37);
  EXPECT_EQ(whole, parts);
}

// Over many script lengths and two image sizes (below and above 64 KiB, so
// that the trailer's upper bytes differ) the program finds the script, then
// only line-end filler, then four trailer bytes none of which is 0x16.
TEST(Append, ProgramReadsScriptThenClearTrailer) {
  std::set<std::size_t> paddings, fillers;
  for (std::size_t imageSize : {1000u, 70000u}) {
    const Bytes image = RandomBytes(imageSize, 1);
    for (std::size_t len = 0; len <= 1500; ++len) {
      const Bytes scriptBytes = RandomBytes(len, static_cast<unsigned>(len + 3));
      const auto r = ffsfmt::AppendArchive(image, scriptBytes, false);
      ASSERT_TRUE(r.ok) << r.problem;
      paddings.insert(r.padding);
      fillers.insert(r.filler);

      const Reading rd = ProgramReads(r.file);
      ASSERT_TRUE(rd.ok) << "length " << len;
      ASSERT_EQ(rd.t, r.tagOffset);
      ASSERT_EQ(rd.t, imageSize + r.padding);
      ASSERT_TRUE(std::equal(image.begin(), image.end(), r.file.begin()));
      ASSERT_EQ(rd.block.size(), len + r.filler + 4);
      ASSERT_EQ(r.file.size() % 8, 0u) << "a signer would pad it before its table";
      ASSERT_TRUE(std::equal(scriptBytes.begin(), scriptBytes.end(), rd.block.begin()));
      for (std::size_t f = 0; f < r.filler; ++f) ASSERT_EQ(rd.block[len + f], '\n');
      for (std::size_t j = rd.block.size() - 4; j < rd.block.size(); ++j)
        ASSERT_NE(rd.block[j], 0x16) << "length " << len << " trailer byte " << j;
    }
  }
  EXPECT_GE(paddings.size(), 2u);  // padding was needed somewhere
  EXPECT_GE(fillers.size(), 2u);   // and, for a few lengths, filler
}

TEST(Append, FillerOnlyWhenPaddingCannotHelp) {
  // With an image below 16 MiB the trailer's top byte is 0; for this script
  // length it descrambles to the marker whatever the padding is.
  const Bytes image(500, 0);
  const Bytes s98(98, 'x');
  ASSERT_EQ(ffsfmt::ScrambleMask(98 + 3), 0x16);
  const auto r = ffsfmt::AppendArchive(image, s98, false);
  ASSERT_TRUE(r.ok);
  EXPECT_GT(r.filler, 0u);
  EXPECT_LE(r.filler, ffsfmt::kMaxFiller);
  const auto plain = ffsfmt::AppendArchive(image, Bytes(97, 'x'), false);
  EXPECT_EQ(plain.filler, 0u);
}

TEST(Append, RefusesExistingArchiveUnlessReplace) {
  const Bytes image = RandomBytes(4096, 2);
  const auto first = ffsfmt::AppendArchive(image, Bytes{'o', 'l', 'd'}, false);
  ASSERT_TRUE(first.ok);
  const auto again = ffsfmt::AppendArchive(first.file, Bytes{'n', 'e', 'w'}, false);
  EXPECT_FALSE(again.ok);
  EXPECT_NE(again.problem.find("--replace"), std::string::npos);

  const auto replaced = ffsfmt::AppendArchive(first.file, Bytes{'n', 'e', 'w'}, true);
  ASSERT_TRUE(replaced.ok);
  const Reading rd = ProgramReads(replaced.file);
  ASSERT_TRUE(rd.ok);
  EXPECT_EQ(Bytes(rd.block.begin(), rd.block.begin() + 3), (Bytes{'n', 'e', 'w'}));
  // Everything up to the old tag is kept; nothing of the old block remains.
  EXPECT_TRUE(std::equal(first.file.begin(), first.file.begin() + first.tagOffset, replaced.file.begin()));
  EXPECT_GE(replaced.tagOffset, first.tagOffset);
  EXPECT_LT(replaced.file.size(), first.file.size() + ffsfmt::kMaxPadding + 16);
}

TEST(Locate, RejectsWhatTheProgramRejects) {
  Bytes f = RandomBytes(64, 3);
  auto setT = [&](std::uint32_t t) { std::memcpy(&f[f.size() - 4], &t, 4); };
  setT(0);
  EXPECT_FALSE(ffsfmt::LocateArchive(f).present);
  setT(64);
  EXPECT_FALSE(ffsfmt::LocateArchive(f).present);
  setT(0xFFFFFFFF);
  EXPECT_FALSE(ffsfmt::LocateArchive(f).present);
  std::memcpy(&f[20], "FFS ", 4);
  setT(20);
  const auto bad = ffsfmt::LocateArchive(f);
  EXPECT_FALSE(bad.present);
  EXPECT_NE(bad.problem.find("tag"), std::string::npos);
  EXPECT_FALSE(ffsfmt::LocateArchive(Bytes{1, 2, 3}).present);
}

TEST(Locate, SmallestBlockIsTheTrailerItself) {
  Bytes f = RandomBytes(40, 4);
  std::memcpy(&f[32], "FFS?", 4);
  const std::uint32_t t = 32;
  std::memcpy(&f[36], &t, 4);
  const auto a = ffsfmt::ReadArchive(f);
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.info.blockSize, 4u);
  EXPECT_TRUE(a.script.empty());
  for (std::size_t j = 0; j < 4; ++j)
    EXPECT_EQ(a.trailer[j], static_cast<std::uint8_t>((t >> (8 * j)) ^ ffsfmt::ScrambleMask(j)));
}

TEST(Locate, ReportsThePaddingTheBuilderWrote) {
  // An image that ends in zero bytes: those are not taken for padding.
  const Bytes image(2000, 0);
  for (std::size_t len = 0; len < 600; ++len) {
    const auto r = ffsfmt::AppendArchive(image, Bytes(len, 'a'), false);
    ASSERT_TRUE(r.ok);
    const auto info = ffsfmt::LocateArchive(r.file);
    ASSERT_TRUE(info.present);
    ASSERT_EQ(info.padding, r.padding) << "length " << len;
    ASSERT_EQ(info.blockSize, len + r.filler + 4);
  }
}

}  // namespace

namespace {

// A PE32 program's headers with 16 empty data directories, then the image.
Bytes PeImage() {
  Bytes b(0x40 + 24 + 224, 0);
  b[0] = 'M', b[1] = 'Z', b[0x3C] = 0x40;
  std::memcpy(&b[0x40], "PE\0\0", 4);
  b[0x40 + 4] = 0x4C, b[0x40 + 5] = 0x01, b[0x40 + 20] = 224;
  b[0x40 + 24] = 0x0B, b[0x40 + 25] = 0x01, b[0x40 + 24 + 92] = 16;
  const Bytes rest = RandomBytes(3000, 9);
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}
constexpr std::size_t kSecurityEntry = 0x40 + 24 + 96 + 32;

void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The file with a certificate table of `table` bytes appended (a
// WIN_CERTIFICATE header, revision 2.0, PKCS#7), the directory naming
// offset and size.
Bytes Signed(Bytes file, std::uint32_t table, std::uint32_t offset, std::uint32_t size) {
  Put32(file, kSecurityEntry, offset);
  Put32(file, kSecurityEntry + 4, size);
  const std::size_t at = file.size();
  file.resize(at + table, 'c');
  Put32(file, at, table);
  file[at + 4] = 0, file[at + 5] = 2, file[at + 6] = 2, file[at + 7] = 0;
  return file;
}

}  // namespace

TEST(Signature, TheArchiveEndsWhereTheTableBegins) {
  const auto built = ffsfmt::AppendArchive(PeImage(), Bytes{'s', 'c', 'r', 'i', 'p', 't'}, false);
  ASSERT_TRUE(built.ok);
  const auto at = static_cast<std::uint32_t>(built.file.size());
  const Bytes file = Signed(built.file, 512, at, 512);
  const auto a = ffsfmt::ReadArchive(file);
  ASSERT_TRUE(a.ok) << a.problem;
  EXPECT_TRUE(a.info.signature.consistent);
  EXPECT_EQ(a.info.archiveEnd, at);
  EXPECT_EQ(a.info.tagOffset, built.tagOffset);
  EXPECT_EQ(Bytes(a.script.begin(), a.script.begin() + 6), (Bytes{'s', 'c', 'r', 'i', 'p', 't'}));

  const struct {
    const char* what;
    std::uint32_t offset, size;
    const char* says;
  } damaged[] = {
      {"past the end", at, 520, "past the end of the file"},
      {"beyond the file", at + 1000, 512, "past the end of the file"},
      {"not at the end", at, 504, "is followed by 8 bytes"},
      {"overlapping the archive", at - 8, 520, "that are no certificate table"},
  };
  for (const auto& d : damaged) {
    Bytes bad = file;
    Put32(bad, kSecurityEntry, d.offset);
    Put32(bad, kSecurityEntry + 4, d.size);
    const auto info = ffsfmt::LocateArchive(bad);
    EXPECT_FALSE(info.present) << d.what;
    EXPECT_NE(info.problem.find(std::string("damaged signature: ") + "its "), std::string::npos) << d.what;
    EXPECT_NE(info.problem.find(d.says), std::string::npos) << d.what << ": " << info.problem;
    const auto r = ffsfmt::AppendArchive(bad, Bytes{'n'}, true);
    EXPECT_FALSE(r.ok) << d.what;
  }
}

TEST(Signature, AppendingTakesTheSignatureOff) {
  const Bytes image = PeImage();
  const auto built = ffsfmt::AppendArchive(image, Bytes{'o', 'l', 'd'}, false);
  ASSERT_TRUE(built.ok);
  const auto at = static_cast<std::uint32_t>(built.file.size());
  const Bytes signedFile = Signed(built.file, 64, at, 64);
  EXPECT_FALSE(ffsfmt::AppendArchive(signedFile, Bytes{'n', 'e', 'w'}, false).ok);

  const auto r = ffsfmt::AppendArchive(signedFile, Bytes{'n', 'e', 'w'}, true);
  ASSERT_TRUE(r.ok) << r.problem;
  EXPECT_TRUE(r.removed.named);
  EXPECT_EQ(r.removed.offset, at);
  const auto info = ffsfmt::LocateArchive(r.file);
  EXPECT_FALSE(info.signature.named);
  EXPECT_EQ(Bytes(r.file.begin() + kSecurityEntry, r.file.begin() + kSecurityEntry + 8), Bytes(8, 0));
  const Reading rd = ProgramReads(r.file);
  ASSERT_TRUE(rd.ok);
  EXPECT_EQ(Bytes(rd.block.begin(), rd.block.begin() + 3), (Bytes{'n', 'e', 'w'}));
  EXPECT_EQ(std::search(r.file.begin(), r.file.end(), signedFile.begin() + at, signedFile.end()), r.file.end())
      << "the old table is gone";

  // A signed program without an archive loses its signature the same way.
  const auto plain =
      ffsfmt::AppendArchive(Signed(image, 64, static_cast<std::uint32_t>(image.size()), 64), Bytes{'x'}, false);
  ASSERT_TRUE(plain.ok);
  EXPECT_TRUE(plain.removed.named);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), plain.file.begin()));
}
