// The tracked heap and Quick Memory.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "tessel-core.h"

namespace {

constexpr const char* kUnit = "tessel-core";

HeapStatistics g_heap = {};

struct QuickMemory {
  std::int32_t size = 0;
  unsigned char* start = nullptr;
  unsigned char* position = nullptr;
  unsigned char* end = nullptr;
  unsigned char* highWater = nullptr;
  std::int32_t largestFrame = 0;
};
QuickMemory g_quick;

std::int32_t GrossSize(std::int32_t size) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(size) + 8u + 3u) & ~3u);
}

bool Reporting() { return (LogFlags() & LogReport) != 0; }

// The run-time allocator's memory suits any object, but the front guard
// would leave the user area 4 bytes off that alignment. Each block is
// therefore placed this far into its allocation, so that records taken from
// the heap stay aligned; the accounting counts the block alone.
constexpr std::size_t kPlacement = alignof(std::max_align_t) - 4;

}  // namespace

void* MemoryAlloc(std::int32_t size, const char* file, std::int32_t line) {
  std::int32_t gross = GrossSize(size);
  LockLibrary();
  if (size <= 0) {
    SetErrorLocationUnlocked(file, line);
    Abort("Invalid Memory Size (%d)\n", size);
  }
  // Compared in 64 bits so that a huge request cannot wrap past the limit.
  if (static_cast<std::int64_t>(g_heap.bytesInUse) + gross > g_heap.limit || gross <= 0) {
    SetErrorLocationUnlocked(file, line);
    Abort("Memory exceeds limit ((%d + %d) / %d)\n", g_heap.bytesInUse, gross, g_heap.limit);
  }
  unsigned char* raw = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(gross) + kPlacement));
  if (raw == nullptr) {
    SetErrorLocationUnlocked(file, line);
    Abort("No Memory available (%d / %d)\n", size, gross);
  }
  unsigned char* block = raw + kPlacement;
  g_heap.blockCount += 1;
  g_heap.bytesInUse += gross;
  if (g_heap.peakBlockCount < g_heap.blockCount) g_heap.peakBlockCount = g_heap.blockCount;
  if (g_heap.peakBytes < g_heap.bytesInUse) g_heap.peakBytes = g_heap.bytesInUse;
  std::memset(block, GuardByte, 4);
  std::memset(block + 4, 0, static_cast<std::size_t>(gross - 8));
  std::memset(block + gross - 4, GuardByte, 4);
  UnlockLibrary();
  return block + 4;
}

std::int32_t MemoryFreeBlock(void** pointer, std::int32_t size, const char* file, std::int32_t line) {
  std::int32_t gross = GrossSize(size);
  LockLibrary();
  if (size <= 0) {
    SetErrorLocationUnlocked(file, line);
    Abort("Invalid Memory Size (%d)\n", size);
  }
  if (*pointer == nullptr) {
    SetErrorLocationUnlocked(file, line);
    Abort("No Memory address to free (%d / %d)\n", size, gross);
  }
  unsigned char* block = static_cast<unsigned char*>(*pointer) - 4;
  for (int i = 0; i < 4; ++i) {
    if (block[i] != GuardByte) {
      SetErrorLocationUnlocked(file, line);
      Abort("Memory corrupt before (%d)\n", size);
    }
  }
  for (int i = 0; i < 4; ++i) {
    if (block[gross - 4 + i] != GuardByte) {
      SetErrorLocationUnlocked(file, line);
      Abort("Memory corrupt after (%d)\n", size);
    }
  }
  g_heap.bytesInUse -= gross;
  g_heap.blockCount -= 1;
  std::free(block - kPlacement);
  *pointer = nullptr;
  UnlockLibrary();
  return 1;
}

HeapStatistics MemoryStatistics() { return g_heap; }

std::int32_t MemoryInit(std::int32_t limit, std::int32_t quickSize) {
  if (Reporting()) LogSection("Memory Init");
  g_heap = {};
  g_heap.limit = limit;
  QuickMemoryInit(quickSize);
  if (Reporting()) {
    if (limit == kHeapNoLimit)
      LogPrint("Memory Initialized (Maximum)\n");
    else
      LogPrint("Memory Initialized (limit %dk)\n", limit >> 10);
    LogSection(nullptr);
  }
  return 1;
}

std::int32_t MemoryRemove() {
  if (Reporting()) LogSection("Memory Remove");
  QuickMemoryRemove();
  if (Reporting()) LogPrint("Maximum Memory in use (%d / %dk)\n", g_heap.peakBlockCount, g_heap.peakBytes >> 10);
  if (g_heap.bytesInUse != 0) {
    if (g_heap.bytesInUse < 1024)
      LogPrint("Not all memory was free'd (%d / %db)\n", g_heap.blockCount, g_heap.bytesInUse);
    else
      LogPrint("Not all memory was free'd (%d / %dk)\n", g_heap.blockCount, g_heap.bytesInUse >> 10);
  }
  if (Reporting()) LogSection(nullptr);
  return 1;
}

std::int32_t QuickMemoryInit(std::int32_t size) {
  g_quick.size = size;
  if (size == kHeapNoLimit) {
    SetErrorLocation(kUnit, __LINE__);
    Abort("Quickmemory size is invalid!\n");
  }
  g_quick.start = size == 0 ? nullptr : static_cast<unsigned char*>(MemoryAlloc(size, kUnit, __LINE__));
  g_quick.position = g_quick.highWater = g_quick.start;
  QuickMemoryNewFrame();
  if (Reporting()) {
    if (size == 0)
      LogPrint("Quickmemory Initialized (Disabled)\n");
    else
      LogPrint("Quickmemory Initialized (%dk)\n", static_cast<int>(static_cast<std::uint32_t>(size) >> 10));
  }
  return 1;
}

std::int32_t QuickMemoryNewFrame() {
  LockLibrary();
  std::int32_t used = static_cast<std::int32_t>(g_quick.position - g_quick.start);
  if (used > g_quick.largestFrame) g_quick.largestFrame = used;
  g_quick.position = g_quick.start;
  g_quick.end = g_quick.start == nullptr ? nullptr : g_quick.start + g_quick.size;
  UnlockLibrary();
  return 1;
}

std::int32_t QuickMemoryReport() {
  if (g_quick.start == nullptr) return 1;
  LogPrint("Quick Memory size was set to (%dk)\n", g_quick.size >> 10);
  LogPrint("Maximum Quick Memory in use (%dk) Largest Frame (%dk)\n",
           static_cast<int>((g_quick.highWater - g_quick.start) >> 10), g_quick.largestFrame >> 10);
  return 1;
}

std::int32_t QuickMemoryRemove() {
  g_quick.position = g_quick.start;
  if (Reporting()) QuickMemoryReport();
  if (g_quick.size > 0) MemoryFree(&g_quick.start, g_quick.size, kUnit, __LINE__);
  return 1;
}
