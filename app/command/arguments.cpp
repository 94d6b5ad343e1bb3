// Reading a command's arguments out of the script text. An argument runs up
// to the first control character, which separates it from the next one. The
// zero byte behind the script ends the text: it ends an argument but is never
// passed, so no reader steps beyond the text. A zero byte inside the text is
// a separator like any other control byte.
#include "problems.h"
#include "settings.h"
#include "tessel-core.h"

namespace {

constexpr const char* kUnit = "command";

const char* g_textEnd = nullptr;  // the zero byte behind the running script

// Whether the terminating byte at p is passed: every control byte but the
// zero byte that ends the text.
bool Passes(const unsigned char* p) {
  if (*p != 0) return true;
  return g_textEnd != nullptr && reinterpret_cast<const char*>(p) < g_textEnd;
}

}  // namespace

void SetScriptTextEnd(const char* end) { g_textEnd = end; }

std::int32_t ReadArgument(const char* arguments, char* destination, std::size_t capacity, std::int32_t* consumed) {
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, destination);
  CHECK_POINTER(kUnit, consumed);
  SetErrorLocation(kUnit, __LINE__);
  Assert(capacity > 0, "No room for an argument\n");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(arguments + *consumed);
  std::int32_t length = 0;
  std::int32_t fitted = 1;
  while (p[length] >= 0x20) {
    if (static_cast<std::size_t>(length) + 1 < capacity)
      destination[length] = static_cast<char>(p[length]);
    else
      fitted = 0;
    ++length;
  }
  std::size_t end = static_cast<std::size_t>(length) < capacity ? static_cast<std::size_t>(length) : capacity - 1;
  destination[end] = '\0';
  *consumed += length + (Passes(p + length) ? 1 : 0);
  return fitted;
}

std::int32_t CountArgumentChar(const char* arguments, char character, std::int32_t* counter, std::int32_t* consumed) {
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, counter);
  CHECK_POINTER(kUnit, consumed);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(arguments + *consumed);
  std::int32_t length = 0;
  while (p[length] >= 0x20) {
    if (p[length] == static_cast<unsigned char>(character)) ++*counter;
    ++length;
  }
  *consumed += length;
  return 1;
}

std::int32_t RefuseOverlongArgument(const char* keyword, std::size_t capacity) {
  LogPrint("Unable to use '%s' argument longer than %d characters\n", keyword, static_cast<int>(capacity - 1));
  ShowProblem("Installation script corrupted!", nullptr);
  return 0;
}
