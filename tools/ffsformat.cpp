#include "ffsformat.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace ffsfmt {

namespace {

std::uint32_t ReadLe32(std::span<const std::uint8_t> b, std::uint64_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

bool TagAt(std::span<const std::uint8_t> b, std::uint64_t at) {
  return at + 4 <= b.size() && std::equal(kTag, kTag + 4, b.begin() + static_cast<std::ptrdiff_t>(at));
}

std::string Hex(std::uint64_t v) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + s;
}

}  // namespace

CertificateTable FindCertificateTable(std::span<const std::uint8_t> file) {
  CertificateTable c;
  if (file.size() < 64 || file[0] != 'M' || file[1] != 'Z') return c;
  const std::uint64_t pe = ReadLe32(file, 0x3C);
  if (pe + 26 > file.size() || !std::equal(file.begin() + static_cast<std::ptrdiff_t>(pe),
                                           file.begin() + static_cast<std::ptrdiff_t>(pe) + 4, "PE\0\0"))
    return c;
  const std::uint32_t optionalSize = file[pe + 20] | file[pe + 21] << 8;
  const std::uint32_t magic = file[pe + 24] | file[pe + 25] << 8;
  const std::uint32_t countAt = magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0;
  const std::uint64_t optional = pe + 24;
  if (countAt == 0 || countAt + 4 + 5 * 8 > optionalSize || optional + countAt + 44 > file.size() ||
      ReadLe32(file, optional + countAt) < 5)
    return c;
  c.entryOffset = optional + countAt + 4 + 4 * 8;
  c.offset = ReadLe32(file, c.entryOffset);
  c.size = ReadLe32(file, c.entryOffset + 4);
  if (c.offset == 0 && c.size == 0) return c;
  c.named = true;
  const std::uint64_t end = static_cast<std::uint64_t>(c.offset) + c.size;
  if (c.offset < 8 || c.size < 8 || end > file.size()) {
    c.problem = "its security directory names a certificate table of " + std::to_string(c.size) + " bytes at " +
                Hex(c.offset) + ", past the end of the file (" + std::to_string(file.size()) + " bytes)";
  } else if (end != file.size()) {
    c.problem = "its certificate table (" + std::to_string(c.size) + " bytes at " + Hex(c.offset) +
                ") is followed by " + std::to_string(file.size() - end) + " bytes; a signature's table ends the file";
  } else {
    // WIN_CERTIFICATE: its length, revision 1.0 or 2.0, X.509 or PKCS#7.
    const std::uint32_t length = ReadLe32(file, c.offset);
    const std::uint8_t* h = &file[c.offset];
    if (length < 8 || length > c.size || h[4] != 0 || (h[5] != 1 && h[5] != 2) || (h[6] != 1 && h[6] != 2) || h[7])
      c.problem = "its security directory names " + std::to_string(c.size) + " bytes at " + Hex(c.offset) +
                  " that are no certificate table";
    else
      c.consistent = true;
  }
  return c;
}

Bytes WithoutSignature(std::span<const std::uint8_t> file, const CertificateTable& table) {
  Bytes out(file.begin(), file.end());
  if (!table.named) return out;
  std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(table.entryOffset), 8, 0);
  if (table.consistent) out.resize(table.offset);
  return out;
}

std::uint8_t ScrambleMask(std::size_t i) {
  const std::size_t k = i % kKey.size();
  return static_cast<std::uint8_t>(static_cast<std::uint8_t>(kKey[k]) ^ ((i ^ k) & 0xFF));
}

void Scramble(std::span<std::uint8_t> bytes, std::size_t first) {
  for (std::size_t n = 0; n < bytes.size(); ++n) bytes[n] ^= ScrambleMask(first + n);
}

std::uint8_t PaddingByte(std::size_t k) { return static_cast<std::uint8_t>(0x80 | (k & 0x7F)); }

ArchiveInfo LocateArchive(std::span<const std::uint8_t> whole) {
  ArchiveInfo info;
  info.fileSize = whole.size();
  info.signature = FindCertificateTable(whole);
  if (info.signature.named && !info.signature.consistent) {
    info.problem = "damaged signature: " + info.signature.problem;
    return info;
  }
  // Everything after is the archive's part of the file, up to the table.
  const std::span<const std::uint8_t> file = whole.first(info.signature.named ? info.signature.offset : whole.size());
  info.archiveEnd = file.size();
  if (file.size() < 8) {
    info.problem = "file too short to carry an archive";
    return info;
  }
  const std::uint32_t t = ReadLe32(file, file.size() - 4);
  if (t == 0 || t >= file.size()) {
    info.problem = "no archive (trailing offset " + Hex(t) + " is outside the file)";
    return info;
  }
  if (!TagAt(file, t)) {
    info.problem = "no archive (no 'FFS?' tag at trailing offset " + Hex(t) + ")";
    return info;
  }
  if (static_cast<std::uint64_t>(t) + 8 > file.size()) {
    info.problem = "archive block shorter than its four trailer bytes";
    return info;
  }
  info.present = true;
  info.tagOffset = t;
  info.blockSize = file.size() - t - 4;
  std::uint64_t before = t;
  if (t >= kKeyBlockSize && std::equal(kKeyMarker, kKeyMarker + 4, file.begin() + (t - 4)) &&
      ReadLe32(file, t - 8) == kUpdateKeySize) {
    info.keyOffset = t - kKeyBlockSize;
    info.updateKey.assign(file.begin() + static_cast<std::ptrdiff_t>(info.keyOffset),
                          file.begin() + static_cast<std::ptrdiff_t>(info.keyOffset + kUpdateKeySize));
    before = info.keyOffset;
  }
  while (info.padding < before && info.padding < kMaxPadding &&
         file[before - info.padding - 1] == PaddingByte(info.padding + 1))
    ++info.padding;
  return info;
}

Archive ReadArchive(std::span<const std::uint8_t> file) {
  Archive a;
  a.info = LocateArchive(file);
  if (!a.info.present) {
    a.problem = a.info.problem;
    return a;
  }
  const std::size_t start = a.info.tagOffset + 4;
  Bytes block(file.begin() + static_cast<std::ptrdiff_t>(start),
              file.begin() + static_cast<std::ptrdiff_t>(a.info.archiveEnd));
  Scramble(block);
  std::copy(block.end() - 4, block.end(), a.trailer);
  block.resize(block.size() - 4);
  a.script = std::move(block);
  a.ok = true;
  return a;
}

AppendResult AppendArchive(std::span<const std::uint8_t> image, std::span<const std::uint8_t> script, bool replace,
                           std::span<const std::uint8_t> updateKey) {
  AppendResult r;
  if (!updateKey.empty() && updateKey.size() != kUpdateKeySize) {
    r.problem = "the update key is not a P-256 public key";
    return r;
  }
  const std::size_t keyBlock = updateKey.empty() ? 0 : kKeyBlockSize;
  const CertificateTable signature = FindCertificateTable(image);
  if (signature.named && !signature.consistent) {
    r.problem = "damaged signature: " + signature.problem;
    return r;
  }
  const ArchiveInfo old = LocateArchive(image);
  if (old.present && !replace) {
    r.problem =
        "the executable already carries an archive (tag at " + Hex(old.tagOffset) + "); use --replace to replace it";
    return r;
  }
  // A new archive would no longer match the signature: it goes, and the
  // maker signs the new file.
  const Bytes unsignedImage = WithoutSignature(image, signature);
  if (signature.named) r.removed = signature;
  std::span<const std::uint8_t> base = unsignedImage;
  if (old.present) {
    // Cut at the tag: an earlier padding stays with the image, as a guess
    // at where the image ends could cut real image bytes.
    base = base.first(old.updateKey.empty() ? old.tagOffset : old.keyOffset);
  }

  // The trailer's block position depends on the script length (and filler),
  // its plain value on the padding: search both, padding first.
  for (std::size_t filler = 0; filler <= kMaxFiller; ++filler) {
    const std::uint64_t trailerPos = script.size() + filler;
    for (std::size_t pad = 0; pad <= kMaxPadding; ++pad) {
      const std::uint64_t t = base.size() + pad + keyBlock;
      const std::uint64_t total = t + 4 + trailerPos + 4;
      if (total > 0xFFFFFFFFull) {
        r.problem = "the executable and script together exceed 4 GiB";
        return r;
      }
      if (total % 8 != 0) continue;
      bool clear = true;
      for (std::size_t j = 0; j < 4 && clear; ++j) {
        const auto plain = static_cast<std::uint8_t>(t >> (8 * j));
        clear = (plain ^ ScrambleMask(trailerPos + j)) != kCommandMarker;
      }
      if (!clear) continue;

      Bytes& out = r.file;
      out.reserve(total);
      out.assign(base.begin(), base.end());
      for (std::size_t k = pad; k >= 1; --k) out.push_back(PaddingByte(k));
      if (keyBlock) {
        out.insert(out.end(), updateKey.begin(), updateKey.end());
        for (std::size_t j = 0; j < 4; ++j) out.push_back(static_cast<std::uint8_t>(kUpdateKeySize >> (8 * j)));
        out.insert(out.end(), kKeyMarker, kKeyMarker + 4);
      }
      out.insert(out.end(), kTag, kTag + 4);
      const std::size_t blockStart = out.size();
      out.insert(out.end(), script.begin(), script.end());
      out.insert(out.end(), filler, 0x0A);
      Scramble(std::span(out).subspan(blockStart));
      for (std::size_t j = 0; j < 4; ++j) out.push_back(static_cast<std::uint8_t>(t >> (8 * j)));
      r.ok = true;
      r.tagOffset = static_cast<std::uint32_t>(t);
      r.padding = pad;
      r.filler = filler;
      return r;
    }
  }
  r.problem = "no padding keeps the archive trailer free of the command marker";
  return r;
}

std::string WhyNotProgram(std::span<const std::uint8_t> image) {
  auto word = [&](std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | image[at + static_cast<std::size_t>(i)];
    return v;
  };
  if (image.size() >= 4 && image[0] == 0x7F && image[1] == 'E' && image[2] == 'L' && image[3] == 'F') {
    // a host program
  } else if (image.size() >= 0x40 && image[0] == 'M' && image[1] == 'Z') {
    const std::size_t pe = word(0x3C, 4);
    if (pe > image.size() - 6 || image[pe] != 'P' || image[pe + 1] != 'E' || image[pe + 2] || image[pe + 3])
      return "it is no Windows program (no PE header)";
    const std::uint32_t machine = word(pe + 4, 2);
    if (machine != 0x14C && machine != 0x8664)
      return "it is a Windows program for another processor (machine 0x" + [&] {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(machine));
        return std::string(buf);
      }() + ")";
  } else {
    return "it is no program (neither a Windows PE nor a host ELF file)";
  }
  const auto found = std::search(image.begin(), image.end(), kProgramMark.begin(), kProgramMark.end());
  if (found == image.end()) return "it is a program, but not the uninstaller of either build";
  return {};
}

}  // namespace ffsfmt
