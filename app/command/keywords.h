// The keyword table: binds each script keyword to its handler. Keywords are
// known by their length and their folded quick CRC, never by their text.
#pragma once

#include <cstdint>

#include "settings.h"

// The command marker that begins every command of a script.
constexpr char CommandMarker = 0x16;
// Room of a keyword: 39 characters and the terminator.
constexpr int kKeywordRoom = 40;

struct ScriptCommand {
  char keyword[kKeywordRoom];
  std::int32_t length;
  std::uint32_t quickCrc;
  KeywordHandler handler;
  ScriptCommand* next;
};

// Sorted by length, longest first; within a length the latest added first.
struct KeywordTableRecord {
  ScriptCommand* first;
};
extern KeywordTableRecord KeywordTable;

std::int32_t KeywordTableInit();
std::int32_t KeywordTableRemove();
std::int32_t AddKeyword(const char* keyword, KeywordHandler handler);
std::int32_t FindKeyword(const char* keyword);
std::int32_t ExecuteKeyword(const char* keyword, InstallSettings* settings, const char* arguments,
                            std::int32_t* consumed);
