// The description of the script keywords as constant records, made from
// keywords.def: what the builder checks before it writes a script, and the
// rooms the program's handlers read arguments into. Standard C++ only, so
// that the builder includes it too.
#pragma once

#include <cstdint>
#include <string_view>

constexpr std::int32_t kKeywordAnyCount = -1;
constexpr int kKeywordMostArguments = 4;
// A text field of the settings: 159 characters and the terminator.
constexpr std::int32_t kKeywordFieldRoom = 160;
// A path work buffer of the uninstall: 143 characters and the terminator.
constexpr std::int32_t kKeywordPathRoom = 144;

enum class ArgumentUse : std::uint8_t { Text, Number, Name, Folder, List };

struct KeywordArgument {
  ArgumentUse use = ArgumentUse::Text;
  std::int32_t room = 0;  // bytes with the terminator; Name, Folder and List only
};

struct KeywordRule {
  std::string_view name;
  std::int32_t minArgs;  // kKeywordAnyCount: any number
  std::int32_t maxArgs;
  bool installerOnly;  // passed over by the uninstaller
  KeywordArgument arguments[kKeywordMostArguments];
};

// A keyword's position in the table.
enum KeywordId : int {
#define KEYWORD(id, ...) kKeyword##id,
#include "keywords.def"
#undef KEYWORD
  kKeywordCount
};

#define ANY kKeywordAnyCount
#define TEXT \
  KeywordArgument { ArgumentUse::Text, 0 }
#define NUMBER \
  KeywordArgument { ArgumentUse::Number, 0 }
#define NAME(room) \
  KeywordArgument { ArgumentUse::Name, room }
#define FOLDER(room) \
  KeywordArgument { ArgumentUse::Folder, room }
#define LIST(room) \
  KeywordArgument { ArgumentUse::List, room }
inline constexpr KeywordRule kKeywordRules[] = {
#define KEYWORD(id, name, handler, least, most, installerOnly, ...) {name, least, most, installerOnly, {__VA_ARGS__}},
#include "keywords.def"
#undef KEYWORD
};
#undef ANY
#undef TEXT
#undef NUMBER
#undef NAME
#undef FOLDER
#undef LIST

constexpr const KeywordRule& Keyword(KeywordId id) { return kKeywordRules[id]; }
// The name as the program logs it (the records' names are literals, so
// they end in a zero byte).
constexpr const char* KeywordName(KeywordId id) { return kKeywordRules[id].name.data(); }
// The room of a keyword's argument (numbered from 1).
constexpr std::int32_t KeywordRoom(KeywordId id, int argument) {
  return kKeywordRules[id].arguments[argument - 1].room;
}

namespace keyword_checks {

// What the rest of the system takes for granted about every record.
constexpr bool Sound(const KeywordRule& rule) {
  if (rule.name.empty() || rule.name.size() >= 40) return false;
  if (rule.minArgs == kKeywordAnyCount) return rule.maxArgs == kKeywordAnyCount && rule.installerOnly;
  if (rule.minArgs < 0 || rule.minArgs > rule.maxArgs || rule.maxArgs > kKeywordMostArguments) return false;
  for (int i = 0; i < kKeywordMostArguments; ++i) {
    const KeywordArgument& a = rule.arguments[i];
    bool named = a.use == ArgumentUse::Name || a.use == ArgumentUse::Folder || a.use == ArgumentUse::List;
    if (named != (a.room > 1)) return false;
    if (i >= rule.maxArgs && (a.use != ArgumentUse::Text || a.room != 0)) return false;
  }
  return true;
}

constexpr bool AllSound() {
  for (const KeywordRule& rule : kKeywordRules)
    if (!Sound(rule)) return false;
  for (int i = 0; i < kKeywordCount; ++i)
    for (int j = i + 1; j < kKeywordCount; ++j)
      if (kKeywordRules[i].name == kKeywordRules[j].name) return false;
  return true;
}

static_assert(sizeof kKeywordRules / sizeof kKeywordRules[0] == kKeywordCount);
static_assert(AllSound(), "keywords.def: a record with an impossible count, room or name");

}  // namespace keyword_checks
