// FFS archive layout: how the installation script is appended to the
// uninstaller's executable and how it is found again.
//
//   [image][padding][ 'F' 'F' 'S' '?' ][ scrambled block ............ ]
//   0                T                  T+4                        S-4 S
//
// The block is the script followed by four bytes. Those last four bytes of
// the file are the tag offset T in plain little-endian; the program reads
// them plain and, as the end of the block, descrambles them too. The builder
// picks the padding so that none of the four descrambled trailer bytes is the
// command marker 0x16.
//
// A signed program ends with the certificate table of its Authenticode
// signature, which the PE's security directory names; the archive then ends
// where the table begins, so the signature covers it:
//
//   [image][padding][ 'F' 'F' 'S' '?' ][ scrambled block ][ certificate table ]
//
// A signer pads a file whose length is not a multiple of 8 before the table,
// which would part the trailer from the table; the builder makes every file
// a multiple of 8 long.
//
// A product whose updates are signed carries the maker's public key right
// before the tag (the archive is found from the end and never reads it):
//
//   [image][padding][ key (65 bytes) ][ 65, 32-bit LE ][ 'U' 'K' 'E' 'Y' ][ 'F' 'F' 'S' '?' ]...
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ffsfmt {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kTag[4] = {0x46, 0x46, 0x53, 0x3F};  // "FFS?"
inline constexpr std::string_view kKey = "SampleVaultKey";
inline constexpr std::uint8_t kCommandMarker = 0x16;
inline constexpr std::uint8_t kKeyMarker[4] = {'U', 'K', 'E', 'Y'};
// The one key kind: an uncompressed P-256 point (0x04, X, Y).
inline constexpr std::size_t kUpdateKeySize = 65;
inline constexpr std::size_t kKeyBlockSize = kUpdateKeySize + 8;

// Largest padding the builder tries before it falls back to line-end filler.
inline constexpr std::size_t kMaxPadding = 1024;
// Line-end bytes (LF) that may be added after the last command when no
// padding keeps the trailer clear of the marker.
inline constexpr std::size_t kMaxFiller = 4;

// The value XORed into byte i of the block (i counted from 0 at T + 4).
std::uint8_t ScrambleMask(std::size_t i);

// Scrambles (or descrambles: the operation is its own inverse) bytes whose
// first byte is at block position `first`.
void Scramble(std::span<std::uint8_t> bytes, std::size_t first = 0);

// Fill byte of the padding at distance k (1 = the byte just before the tag).
// Never zero, so zero bytes at the end of an image are not taken for padding.
std::uint8_t PaddingByte(std::size_t k);

// The certificate table an Authenticode signature appends, as the PE's
// security directory (data directory 4) names it.
struct CertificateTable {
  bool named = false;             // the directory names a table
  bool consistent = false;        // ...that ends the file and opens as one
  std::uint64_t entryOffset = 0;  // where the directory's 8 bytes stand
  std::uint32_t offset = 0, size = 0;
  std::string problem;  // why not consistent
};

CertificateTable FindCertificateTable(std::span<const std::uint8_t> file);

// The file with its signature taken off: the table cut, the directory cleared.
Bytes WithoutSignature(std::span<const std::uint8_t> file, const CertificateTable& table);

// Where an executable's archive stands, as the program's reader finds it.
struct ArchiveInfo {
  bool present = false;  // a valid tag at a valid trailing offset
  std::string problem;   // why not, when !present
  std::uint64_t fileSize = 0;
  std::uint32_t tagOffset = 0;  // T
  std::uint64_t blockSize = 0;  // S - T - 4, the four trailer bytes included
  std::size_t padding = 0;      // fill bytes of the builder before the tag (or the key)
  Bytes updateKey;              // the maker's key before the tag, when there is one
  std::uint64_t keyOffset = 0;  // where its block starts
  CertificateTable signature;   // the archive ends where a consistent one begins
  std::uint64_t archiveEnd = 0;
};

ArchiveInfo LocateArchive(std::span<const std::uint8_t> file);

// The descrambled content of an executable's archive.
struct Archive {
  bool ok = false;
  std::string problem;
  ArchiveInfo info;
  Bytes script;                  // the block without its last four bytes
  std::uint8_t trailer[4] = {};  // the block's last four bytes, descrambled
};

Archive ReadArchive(std::span<const std::uint8_t> file);

struct AppendResult {
  bool ok = false;
  std::string problem;
  Bytes file;  // image, padding, tag, scrambled block
  std::uint32_t tagOffset = 0;
  std::size_t padding = 0;
  std::size_t filler = 0;    // LF bytes added after the script
  CertificateTable removed;  // the signature taken off the image, if it had one
};

// Appends `script` to `image`. Refuses an image that already carries an
// archive unless `replace`, which first cuts the image at its tag.
// With an update key (kUpdateKeySize bytes) its block goes right before the
// tag; a replaced archive's key block goes with it. A signed image loses
// its signature (see `removed`): a new archive would not match it. The file
// is a multiple of 8 bytes long, so that a signer appends its table right
// after the archive.
AppendResult AppendArchive(std::span<const std::uint8_t> image, std::span<const std::uint8_t> script, bool replace,
                           std::span<const std::uint8_t> updateKey = {});

// Text that every build of the uninstaller carries (a line of its log).
inline constexpr std::string_view kProgramMark = "Flat/Fast File System Initialized";

// Why `image` is not an uninstaller of one of the builds (a Windows PE
// program for Intel 386 or x86-64, or a host ELF program, carrying the
// uninstaller's own text); empty when it is one.
std::string WhyNotProgram(std::span<const std::uint8_t> image);

}  // namespace ffsfmt
