// Tessel core: the diagnostic log, checks and fatal reports, the library
// lock, command-line arguments, CRC-32, and the tracked heap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec.h"  // Crc32, shared with the registration receiver

#if defined(__GNUC__)
#define TESSEL_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TESSEL_PRINTF(f, a)
#endif

constexpr const char* kTesselVersion = "0.32";

// Log flags.
constexpr std::uint32_t LogConsole = 0x01;  // -window
constexpr std::uint32_t LogFile = 0x02;     // -debug
constexpr std::uint32_t LogReport = 0x04;   // -debug
constexpr std::uint32_t LogAppend = 0x08;   // -append
constexpr std::uint32_t LogNoBoxes = 0x10;  // nobody watches: a fatal report is logged, not shown

// Room of the shared message buffer, terminator excluded.
constexpr int kMessageCapacity = 4096;

std::int32_t LogParseSwitches(std::uint32_t* flags, const char* arguments);
std::int32_t LogInit(const char* logName, std::uint32_t flags);
std::int32_t LogClose();
std::int32_t LogPrint(const char* format, ...) TESSEL_PRINTF(1, 2);
std::int32_t LogSection(const char* title);
std::int32_t LogWrite(const char* text);
std::uint32_t LogFlags();
const char* LogFilePath();

std::int32_t SetErrorLocation(const char* file, std::int32_t line);
std::int32_t SetErrorLocationUnlocked(const char* file, std::int32_t line);
std::int32_t CheckPointer(const void* pointer);
std::int32_t Assert(std::int32_t condition, const char* format, ...) TESSEL_PRINTF(2, 3);
[[noreturn]] void Abort(const char* format, ...) TESSEL_PRINTF(1, 2);

std::int32_t LockLibrary();
std::int32_t UnlockLibrary();
std::int32_t SetLibraryLockMode(std::int32_t singleThreaded);

// One argument of a command line, quotes removed, into out (capacity bytes,
// terminator included). An argument that does not fit is refused: 0 and an
// empty out, as for a missing one.
std::int32_t GetArgument(const char* text, std::int32_t index, char* out, std::size_t capacity);
template <std::size_t N>
std::int32_t GetArgument(const char* text, std::int32_t index, char (&out)[N]) {
  return GetArgument(text, index, out, N);
}
const char* FindArgument(const char* text, std::int32_t index, std::int32_t* count);

// Tracked heap.
constexpr std::int32_t kHeapNoLimit = 0x0FFFFFFF;
constexpr unsigned char GuardByte = 0xCC;

std::int32_t MemoryInit(std::int32_t limit, std::int32_t quickSize);
void* MemoryAlloc(std::int32_t size, const char* file, std::int32_t line);
std::int32_t MemoryFreeBlock(void** pointer, std::int32_t size, const char* file, std::int32_t line);
template <class T>
std::int32_t MemoryFree(T** pointer, std::int32_t size, const char* file, std::int32_t line) {
  void* raw = *pointer;
  std::int32_t result = MemoryFreeBlock(&raw, size, file, line);
  *pointer = static_cast<T*>(raw);
  return result;
}
std::int32_t MemoryRemove();

struct HeapStatistics {
  std::int32_t blockCount;
  std::int32_t bytesInUse;
  std::int32_t limit;
  std::int32_t peakBlockCount;
  std::int32_t peakBytes;
};
HeapStatistics MemoryStatistics();

std::int32_t QuickMemoryInit(std::int32_t size);
std::int32_t QuickMemoryNewFrame();
std::int32_t QuickMemoryRemove();
std::int32_t QuickMemoryReport();

// A check as the library writes it: the location, then the test.
#define CHECK_POINTER(unit, pointer) (SetErrorLocation((unit), __LINE__), CheckPointer(pointer))
#define FATAL(unit, ...) (SetErrorLocation((unit), __LINE__), Abort(__VA_ARGS__))
