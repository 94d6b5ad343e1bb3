// Command-line arguments and CRC-32.
#include "tessel-core.h"

namespace {

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

std::uint32_t Reflect(std::uint32_t value, int bits) {
  std::uint32_t result = 0;
  for (int i = 0; i < bits; ++i)
    if (value & (1u << i)) result |= 1u << (bits - 1 - i);
  return result;
}

// The table entry of the reflected CRC for one index, computed on the fly.
std::uint32_t CrcEntry(std::uint32_t index) {
  std::uint32_t value = Reflect(index, 8) << 24;
  for (int i = 0; i < 8; ++i) value = (value & 0x80000000u) ? (value << 1) ^ 0x04C11DB7u : value << 1;
  return Reflect(value, 32);
}

}  // namespace

const char* FindArgument(const char* text, std::int32_t index, std::int32_t* count) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (IsBlank(*p)) ++p;
  bool inQuotes = false;
  std::int32_t counter = 0;
  while (*p) {
    if (*p == '"') inQuotes = !inQuotes;
    if (!inQuotes && *p <= 32) {
      while (*p && *p <= 32) ++p;
      if (*p == 0) break;
      ++counter;
      continue;
    }
    if (counter == index) break;
    ++p;
  }
  if (count) *count = counter;
  return counter == index ? reinterpret_cast<const char*>(p) : nullptr;
}

std::int32_t GetArgument(const char* text, std::int32_t index, char* out, std::size_t capacity) {
  if (capacity == 0) return 0;
  out[0] = '\0';
  const char* p = FindArgument(text, index, nullptr);
  if (p == nullptr || *p == '\0') return 0;
  bool inQuotes = false;
  std::size_t length = 0;
  for (; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32) break;
    if (c == ' ' && !inQuotes) break;
    if (c == '"') {
      if (inQuotes) break;
      inQuotes = true;
      continue;
    }
    if (length + 1 >= capacity) {
      out[0] = '\0';
      return 0;
    }
    out[length++] = static_cast<char>(c);
  }
  out[length] = '\0';
  return 1;
}

std::uint32_t Crc32(const void* buffer, std::uint32_t length) {
  const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint32_t i = 0; i < length; ++i) crc = (crc >> 8) ^ CrcEntry((crc ^ bytes[i]) & 0xFFu);
  return ~crc;
}
