// Command-line arguments.
#include "tessel-core.h"

namespace {

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

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
