// Tessel strings.
#include "tessel-str.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "tessel-core.h"

namespace {

constexpr const char* kUnit = "tessel-str";

bool IsLower(unsigned char c) { return c >= 'a' && c <= 'z'; }

bool SameNoCase(unsigned char a, unsigned char b) {
  if (a == b) return true;
  if (IsLower(a)) return b == a - 32;
  return IsLower(b) && b - 32 == a;
}

using Compare = std::int32_t (*)(const char*, const char*, std::int32_t);

std::int32_t Find(const char* text, const char* pattern, char** position, Compare compare) {
  std::int32_t n = StrLength(pattern);
  for (const char* p = text; *p; ++p) {
    if (compare(p, pattern, n)) {
      *position = const_cast<char*>(p);
      return 1;
    }
  }
  *position = nullptr;
  return 0;
}

}  // namespace

std::int32_t StrFindNoCase(const char* text, const char* pattern, char** position) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, pattern);
  CHECK_POINTER(kUnit, position);
  return Find(text, pattern, position, StrCompareNoCaseN);
}

std::int32_t StrFind(const char* text, const char* pattern, char** position) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, pattern);
  CHECK_POINTER(kUnit, position);
  return Find(text, pattern, position, StrCompareN);
}

// Both comparisons stop at a difference only: a pattern never reads further
// than the text's terminator, which differs from any pattern character.
std::int32_t StrCompareNoCaseN(const char* a, const char* b, std::int32_t count) {
  CHECK_POINTER(kUnit, a);
  CHECK_POINTER(kUnit, b);
  for (std::int32_t i = 0; i < count; ++i)
    if (!SameNoCase(static_cast<unsigned char>(a[i]), static_cast<unsigned char>(b[i]))) return 0;
  return 1;
}

std::int32_t StrCompareN(const char* a, const char* b, std::int32_t count) {
  CHECK_POINTER(kUnit, a);
  CHECK_POINTER(kUnit, b);
  for (std::int32_t i = 0; i < count; ++i)
    if (a[i] != b[i]) return 0;
  return 1;
}

std::int32_t StrEqualNoCase(const char* a, const char* b) {
  CHECK_POINTER(kUnit, a);
  CHECK_POINTER(kUnit, b);
  for (;; ++a, ++b) {
    if (!SameNoCase(static_cast<unsigned char>(*a), static_cast<unsigned char>(*b))) return 0;
    if (*a == '\0') return 1;
  }
}

std::int32_t StrEqual(const char* a, const char* b) {
  CHECK_POINTER(kUnit, a);
  CHECK_POINTER(kUnit, b);
  for (;; ++a, ++b) {
    if (*a != *b) return 0;
    if (*a == '\0') return 1;
  }
}

std::int32_t QuickCrc(const char* text, std::int32_t fold, std::uint32_t* value) {
  CHECK_POINTER(kUnit, text);
  CHECK_POINTER(kUnit, value);
  static constexpr int kShifts[5] = {0, 7, 13, 20, 27};
  std::uint32_t crc = 0;
  int phase = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    std::uint32_t c = *p;
    if (fold && IsLower(static_cast<unsigned char>(c))) c -= 32;
    crc ^= c << kShifts[phase];
    phase = phase == 4 ? 0 : phase + 1;
  }
  *value = crc;
  return 1;
}

std::int32_t StrCopy(char* destination, const char* source) {
  CHECK_POINTER(kUnit, destination);
  CHECK_POINTER(kUnit, source);
  while ((*destination++ = *source++) != '\0') {
  }
  return 1;
}

std::int32_t StrAppend(char* destination, const char* source) {
  CHECK_POINTER(kUnit, destination);
  CHECK_POINTER(kUnit, source);
  while (*destination) ++destination;
  return StrCopy(destination, source);
}

std::int32_t StrLength(const char* text) {
  CHECK_POINTER(kUnit, text);
  std::int32_t n = 0;
  while (text[n]) ++n;
  return n;
}

std::int32_t IsValidEmail(const char* text) {
  bool seenAt = false;
  bool dotInDomain = false;
  bool digitSinceDot = false;
  const char* domain = nullptr;
  for (const char* p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-' && c != '+' && c != '_' && c != '@' && c != '.') return 0;
    if (digit) digitSinceDot = true;
    if (seenAt && (c == '+' || c == '_' || c == '@')) return 0;
    if (c == '@') {
      if (p == text || p[1] == '.') return 0;
      seenAt = true;
      domain = p + 1;
    } else if (c == '.') {
      digitSinceDot = false;
      if (p[1] == '.') return 0;
      if (seenAt) dotInDomain = true;
    }
  }
  if (!seenAt || !dotInDomain || digitSinceDot) return 0;
  std::int32_t domainLength = 0;
  while (domain[domainLength]) ++domainLength;
  return domainLength >= 4 ? 1 : 0;
}

std::int32_t ParseLeadingNumber(const char* text) {
  if (text == nullptr) return 0;
  char digits[80];
  int n = 0;
  // Digits beyond the work buffer's 79 are left out: the value has long
  // wrapped by then.
  while (n < 79 && text[n] >= '0' && text[n] <= '9') {
    digits[n] = text[n];
    ++n;
  }
  digits[n] = '\0';
  if (n == 0) return 0;
  // Computed in 32 bits, so that both builds wrap alike (the run-time's
  // conversion saturates where its long has 32 bits).
  std::uint32_t value = 0;
  for (int i = 0; i < n; ++i) value = value * 10u + static_cast<std::uint32_t>(digits[i] - '0');
  return static_cast<std::int32_t>(value);
}

std::int32_t StrCopyBounded(char* destination, std::size_t capacity, const char* source) {
  if (capacity == 0) return 0;
  std::size_t i = 0;
  for (; source[i]; ++i) {
    if (i + 1 >= capacity) {
      destination[i] = '\0';
      return 0;
    }
    destination[i] = source[i];
  }
  destination[i] = '\0';
  return 1;
}

std::int32_t StrAppendBounded(char* destination, std::size_t capacity, const char* source) {
  std::size_t used = 0;
  while (used < capacity && destination[used]) ++used;
  if (used >= capacity) return 0;
  return StrCopyBounded(destination + used, capacity - used, source);
}

std::int32_t StrFormatBounded(char* destination, std::size_t capacity, const char* format, ...) {
  if (capacity == 0) return 0;
  va_list values;
  va_start(values, format);
  int n = std::vsnprintf(destination, capacity, format, values);
  va_end(values);
  return n >= 0 && static_cast<std::size_t>(n) < capacity ? 1 : 0;
}
