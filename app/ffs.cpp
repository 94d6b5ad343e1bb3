// The FFS archive reader.
#include "ffs.h"

#include <cstdio>
#include <cstring>

#include "os.h"
#include "tessel-core.h"

namespace {

constexpr const char* kUnit = "ffs";

// The archive in memory: one at a time, process-wide.
struct FfsArchive {
  unsigned char* block = nullptr;
  std::uint32_t size = 0;
  bool hasKey = false;
  unsigned char key[FfsUpdateKeySize] = {};
  bool keyDamaged = false;
};
FfsArchive g_archive;

// Offsets are 32-bit; a file this large cannot hold a valid archive.
constexpr long kLargestFile = 0x7FFFFFFF;

std::uint32_t LittleEndian(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The key block right before the tag at tagOffset, if the file has one.
// Its marker with a wrong count, a short read or no uncompressed point is a
// damaged block: never taken for no key.
void ReadUpdateKey(std::FILE* file, std::uint32_t tagOffset) {
  g_archive.hasKey = false;
  g_archive.keyDamaged = false;
  constexpr std::uint32_t kBlock = FfsUpdateKeySize + 8;
  unsigned char tail[8];
  if (tagOffset < 8 || std::fseek(file, static_cast<long>(tagOffset - 8), SEEK_SET) != 0 ||
      std::fread(tail, 1, sizeof tail, file) != sizeof tail)
    return;
  if (std::memcmp(tail + 4, FfsUpdateKeyMarker, 4) != 0) return;
  g_archive.keyDamaged = true;
  if (tagOffset < kBlock || LittleEndian(tail) != FfsUpdateKeySize ||
      std::fseek(file, static_cast<long>(tagOffset - kBlock), SEEK_SET) != 0 ||
      std::fread(g_archive.key, 1, FfsUpdateKeySize, file) != FfsUpdateKeySize || g_archive.key[0] != 0x04)
    return;
  g_archive.keyDamaged = false;
  g_archive.hasKey = true;
}

// Reads count bytes at a file offset; false when the file has fewer.
bool ReadAt(std::FILE* file, std::uint32_t at, void* into, std::size_t count) {
  return std::fseek(file, static_cast<long>(at), SEEK_SET) == 0 && std::fread(into, 1, count, file) == count;
}

// A signed program carries its Authenticode certificate table after
// everything else, where the PE's security directory (data directory 4)
// says: its file offset and size. The archive then ends where the table
// begins, inside the part the signature covers. end is the file size for a
// file without a table (the host build, an unsigned program); 0 when the
// directory names no table that ends the file and opens as one.
std::uint32_t ArchiveEnd(std::FILE* file, std::uint32_t fileSize, const char* path) {
  unsigned char dos[64];
  if (fileSize < sizeof dos || !ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return fileSize;
  const std::uint32_t pe = LittleEndian(dos + 0x3C);
  unsigned char head[26];  // signature, file header, optional header's magic
  if (pe > fileSize - sizeof head || !ReadAt(file, pe, head, sizeof head) || std::memcmp(head, "PE\0\0", 4) != 0)
    return fileSize;
  const std::uint32_t optionalSize = static_cast<std::uint32_t>(head[20] | head[21] << 8);
  const std::uint32_t magic = static_cast<std::uint32_t>(head[24] | head[25] << 8);
  // Where the directory count and the directories stand, PE32 or PE32+.
  const std::uint32_t countAt = magic == 0x10B ? 92 : magic == 0x20B ? 108 : 0;
  if (countAt == 0 || countAt + 4 + 5 * 8 > optionalSize) return fileSize;
  unsigned char count[4], entry[8];
  const std::uint32_t optional = pe + 24;
  if (!ReadAt(file, optional + countAt, count, 4) || LittleEndian(count) < 5 ||
      !ReadAt(file, optional + countAt + 4 + 4 * 8, entry, 8))
    return fileSize;
  const std::uint32_t offset = LittleEndian(entry), size = LittleEndian(entry + 4);
  if (offset == 0 && size == 0) return fileSize;
  // WIN_CERTIFICATE: its length, revision 1.0 or 2.0, X.509 or PKCS#7.
  unsigned char cert[8];
  const bool atEnd = offset >= 8 && size >= 8 && offset < fileSize && size == fileSize - offset;
  const bool opens = atEnd && ReadAt(file, offset, cert, 8) && LittleEndian(cert) >= 8 && LittleEndian(cert) <= size &&
                     cert[4] == 0 && (cert[5] == 1 || cert[5] == 2) && (cert[6] == 1 || cert[6] == 2) && cert[7] == 0;
  if (!opens) {
    LogPrint("Couldn't find the certificate table of '%s' (%u bytes at %u, file of %u bytes)!\n", path, size, offset,
             fileSize);
    return 0;
  }
  return offset;
}

void ReleaseBlock() {
  g_archive.hasKey = false;
  g_archive.keyDamaged = false;
  if (g_archive.block != nullptr)
    MemoryFree(&g_archive.block, static_cast<std::int32_t>(g_archive.size), kUnit, __LINE__);
  g_archive.size = 0;
}

}  // namespace

void FfsDescramble(unsigned char* block, std::uint32_t size) {
  for (std::uint32_t i = 0; i < size; ++i) {
    std::uint32_t k = i % FfsKeyLength;
    block[i] = static_cast<unsigned char>(block[i] ^ static_cast<unsigned char>(FfsKey[k]) ^ ((i ^ k) & 0xFF));
  }
}

std::int32_t FfsInit(const char* path) {
  CHECK_POINTER(kUnit, path);
  // One archive at a time: a block still held from an earlier open goes first.
  ReleaseBlock();
  std::FILE* file = OsOpenFile(path, "rb");
  if (file == nullptr) {
    LogPrint("Couldn't open flat file '%s'!\n", path);
    return 0;
  }

  std::uint32_t fileSize = 0;
  long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  if (end > 0 && end <= kLargestFile) fileSize = static_cast<std::uint32_t>(end);
  // The archive runs up to its end: the file's, or a signature's table.
  const std::uint32_t archiveEnd = ArchiveEnd(file, fileSize, path);
  if (fileSize > 0 && archiveEnd == 0) {
    std::fclose(file);
    return 0;
  }
  std::uint32_t tagOffset = 0;
  unsigned char field[4];
  if (archiveEnd >= 4 && ReadAt(file, archiveEnd - 4, field, 4)) tagOffset = LittleEndian(field);
  if (tagOffset == 0 || tagOffset >= archiveEnd) {
    LogPrint("File '%s' doesn't contain FFS data!\n", path);
    std::fclose(file);
    return 0;
  }

  unsigned char tag[4] = {};
  bool tagRead = ReadAt(file, tagOffset, tag, 4) && tagOffset <= archiveEnd - 4;
  if (!tagRead || std::memcmp(tag, FfsTag, sizeof tag) != 0) {
    LogPrint("FFS Does not contain proper tag (Read %d from %d)!!!\n", static_cast<int>(tagOffset),
             static_cast<int>(archiveEnd - 4));
    std::fclose(file);
    return 0;
  }

  ReadUpdateKey(file, tagOffset);
  if (std::fseek(file, static_cast<long>(tagOffset + 4), SEEK_SET) != 0) {
    std::fclose(file);
    return 0;
  }

  // A whole tag lies before the end, so the size cannot wrap; it is 0 only
  // when the offset field itself reads as the tag.
  std::uint32_t blockSize = archiveEnd - tagOffset - 4;
  if (blockSize > 0) {
    g_archive.block = static_cast<unsigned char*>(MemoryAlloc(static_cast<std::int32_t>(blockSize), kUnit, __LINE__));
    g_archive.size = blockSize;
    if (std::fread(g_archive.block, 1, blockSize, file) != blockSize) {
      // The block stays allocated until FfsRemove.
      std::fclose(file);
      return 0;
    }
    FfsDescramble(g_archive.block, blockSize);
  }

  LogPrint("Flat/Fast File System Initialized...\n");
  std::fclose(file);
  return 1;
}

std::int32_t FfsGetSize(const char* name, std::uint32_t* size) {
  CHECK_POINTER(kUnit, name);
  CHECK_POINTER(kUnit, size);
  *size = g_archive.size;
  return 1;
}

std::int32_t FfsRead(const char* name, void* buffer, std::uint32_t count) {
  CHECK_POINTER(kUnit, name);
  CHECK_POINTER(kUnit, buffer);
  SetErrorLocation(kUnit, __LINE__);
  Assert(count <= g_archive.size, "Flat file read beyond its end (%u > %u)\n", count, g_archive.size);
  if (count > 0) std::memcpy(buffer, g_archive.block, count);
  return 1;
}

std::int32_t FfsUpdateKeyDamaged() { return g_archive.keyDamaged ? 1 : 0; }

std::int32_t FfsUpdateKey(unsigned char key[FfsUpdateKeySize]) {
  CHECK_POINTER(kUnit, key);
  if (!g_archive.hasKey) return 0;
  std::memcpy(key, g_archive.key, FfsUpdateKeySize);
  return 1;
}

std::int32_t FfsRemove() {
  ReleaseBlock();
  LogPrint("Flat/Fast File System Removed...\n");
  return 1;
}
