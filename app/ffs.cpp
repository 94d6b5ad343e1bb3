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
  std::uint32_t tagOffset = 0;
  long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  if (end > 0 && end <= kLargestFile) {
    fileSize = static_cast<std::uint32_t>(end);
    std::rewind(file);
    unsigned char field[4];
    if (fileSize >= 4 && std::fseek(file, static_cast<long>(fileSize - 4), SEEK_SET) == 0 &&
        std::fread(field, 1, 4, file) == 4)
      tagOffset = LittleEndian(field);
  }
  if (tagOffset == 0 || tagOffset >= fileSize) {
    LogPrint("File '%s' doesn't contain FFS data!\n", path);
    std::fclose(file);
    return 0;
  }

  unsigned char tag[4] = {};
  bool tagRead = std::fseek(file, static_cast<long>(tagOffset), SEEK_SET) == 0 && std::fread(tag, 1, 4, file) == 4;
  if (!tagRead || std::memcmp(tag, FfsTag, sizeof tag) != 0) {
    LogPrint("FFS Does not contain proper tag (Read %d from %d)!!!\n", static_cast<int>(tagOffset),
             static_cast<int>(fileSize - 4));
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
  std::uint32_t blockSize = fileSize - tagOffset - 4;
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
