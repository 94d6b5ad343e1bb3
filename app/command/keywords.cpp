// The keyword table (made from keywords.def) and the dispatch to handlers.
#include "keywords.h"

#include "handlers.h"
#include "tessel-core.h"
#include "tessel-str.h"

namespace {

constexpr const char* kUnit = "command";

// The entry of the same length and quick CRC, or none. Entries longer than
// the keyword are passed; the first shorter one ends the search.
const ScriptCommand* Search(const char* keyword) {
  std::int32_t length = StrLength(keyword);
  std::uint32_t crc = 0;
  QuickCrc(keyword, 1, &crc);
  for (const ScriptCommand* entry = KeywordTable.first; entry != nullptr; entry = entry->next) {
    if (entry->length > length) continue;
    if (entry->length < length) break;
    if (entry->quickCrc == crc) return entry;
  }
  return nullptr;
}

}  // namespace

KeywordTableRecord KeywordTable = {nullptr};

std::int32_t AddKeyword(const char* keyword, KeywordHandler handler) {
  CHECK_POINTER(kUnit, keyword);
  CHECK_POINTER(kUnit, reinterpret_cast<const void*>(handler));
  ScriptCommand* entry = static_cast<ScriptCommand*>(MemoryAlloc(sizeof(ScriptCommand), kUnit, __LINE__));
  entry->length = StrLength(keyword);
  entry->handler = handler;
  if (entry->length >= kKeywordRoom) {
    SetErrorLocation(kUnit, __LINE__);
    Abort("Command keyword too long (%s) (%d > %d)\n", keyword, entry->length, kKeywordRoom);
  }
  StrCopy(entry->keyword, keyword);
  QuickCrc(entry->keyword, 1, &entry->quickCrc);

  for (const ScriptCommand* other = KeywordTable.first; other != nullptr; other = other->next) {
    if (other->quickCrc != entry->quickCrc) continue;
    LogPrint("Matching quick CRC's (%s) and (%s)\n", other->keyword, entry->keyword);
    if (other->length == entry->length) {
      SetErrorLocation(kUnit, __LINE__);
      Abort("Matching lengths failure (%d)\n", entry->length);
    }
  }

  ScriptCommand* before = nullptr;
  ScriptCommand* after = KeywordTable.first;
  while (after != nullptr && after->length > entry->length) {
    before = after;
    after = after->next;
  }
  entry->next = after;
  if (before == nullptr)
    KeywordTable.first = entry;
  else
    before->next = entry;
  return 1;
}

std::int32_t FindKeyword(const char* keyword) {
  CHECK_POINTER(kUnit, keyword);
  return Search(keyword) != nullptr ? 1 : 0;
}

std::int32_t ExecuteKeyword(const char* keyword, InstallSettings* settings, const char* arguments,
                            std::int32_t* consumed) {
  CHECK_POINTER(kUnit, keyword);
  CHECK_POINTER(kUnit, settings);
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, consumed);
  *consumed = 0;
  const ScriptCommand* entry = Search(keyword);
  if (entry == nullptr) return 0;
  return entry->handler(settings, arguments, consumed);
}

std::int32_t SkipLine(InstallSettings*, const char* arguments, std::int32_t* consumed) {
  CHECK_POINTER(kUnit, arguments);
  CHECK_POINTER(kUnit, consumed);
  const char* start = arguments + *consumed;
  const char* p = start;
  while (*p != '\r' && *p != '\n' && *p != '\0') ++p;
  *consumed += static_cast<std::int32_t>(p - start);
  return 1;
}

#include "keywordtable.h"

// Installer-only keywords, and only they, are passed over whole.
#define KEYWORD(id, name, handler, least, most, installerOnly, ...) \
  static_assert((handler == SkipLine) == installerOnly, name);
#include "keywords.def"
#undef KEYWORD
// Whatever a handler reads by the table's rooms fits a settings field.
constexpr bool RoomsFitSettings() {
  for (const KeywordRule& rule : kKeywordRules)
    for (const KeywordArgument& argument : rule.arguments)
      if (argument.room > kSettingsText) return false;
  return kKeywordFieldRoom == kSettingsText;
}
static_assert(RoomsFitSettings(), "a settings field holds what the table allows");

std::int32_t KeywordTableInit() {
#define KEYWORD(id, name, handler, ...) AddKeyword(name, handler);
#include "keywords.def"
#undef KEYWORD
  return 1;
}

std::int32_t KeywordTableRemove() {
  while (KeywordTable.first != nullptr) {
    ScriptCommand* entry = KeywordTable.first;
    KeywordTable.first = entry->next;
    MemoryFree(&entry, sizeof(ScriptCommand), kUnit, __LINE__);
  }
  return 1;
}
