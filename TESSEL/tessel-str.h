// Tessel strings: operations on zero-terminated 8-bit texts. Case folding
// covers the ASCII letters only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec.h"  // EncodeSixBit, shared with the registration receiver

std::int32_t StrFindNoCase(const char* text, const char* pattern, char** position);
std::int32_t StrFind(const char* text, const char* pattern, char** position);
std::int32_t StrCompareNoCaseN(const char* a, const char* b, std::int32_t count);
std::int32_t StrCompareN(const char* a, const char* b, std::int32_t count);
std::int32_t StrEqualNoCase(const char* a, const char* b);
std::int32_t StrEqual(const char* a, const char* b);
std::int32_t QuickCrc(const char* text, std::int32_t fold, std::uint32_t* value);
std::int32_t StrCopy(char* destination, const char* source);
std::int32_t StrAppend(char* destination, const char* source);
std::int32_t StrLength(const char* text);
std::int32_t IsValidEmail(const char* text);
std::int32_t ParseLeadingNumber(const char* text);

// Bounded forms for fixed buffers: never write past capacity bytes (the
// terminator included). They give 1 when the whole text fitted, 0 when it
// had to be cut; the destination is always terminated.
std::int32_t StrCopyBounded(char* destination, std::size_t capacity, const char* source);
std::int32_t StrAppendBounded(char* destination, std::size_t capacity, const char* source);
std::int32_t StrFormatBounded(char* destination, std::size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

template <std::size_t N>
std::int32_t StrCopyBounded(char (&destination)[N], const char* source) {
  return StrCopyBounded(destination, N, source);
}
template <std::size_t N>
std::int32_t StrAppendBounded(char (&destination)[N], const char* source) {
  return StrAppendBounded(destination, N, source);
}
