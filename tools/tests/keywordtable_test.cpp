// The builder and the program read one keyword table. These run both on the
// same commands: what the builder writes the program reads without taking
// the next command with it, and where the builder says a path, key or URL
// stops fitting, the program stops taking it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handlers.h"
#include "keywords.h"
#include "scriptsource.h"
#include "tessel-core.h"

std::int32_t NextFileListEntry(const char** position, char* entry, std::int32_t capacity);

namespace {

class KeywordTable : public testing::Test {
 protected:
  void SetUp() override {
    MemoryInit(kHeapNoLimit, 0);
    KeywordTableInit();
  }
  void TearDown() override { KeywordTableRemove(); }
};

// The longest argument the builder takes for a rule, or one byte more.
std::string Argument(const KeywordArgument& rule, bool over) {
  const std::size_t extra = over ? 1 : 0;
  switch (rule.use) {
    case ArgumentUse::Number: return "-2147483648";
    case ArgumentUse::Text: return std::string(script::kMaxArgument, 't');
    case ArgumentUse::Folder: return std::string(static_cast<std::size_t>(rule.room) - 2 + extra, 'f');
    default: return std::string(static_cast<std::size_t>(rule.room) - 1 + extra, 'n');
  }
}

std::string SourceLine(const KeywordRule& rule, const std::vector<std::string>& args) {
  std::string line = std::string(rule.name) + ":";
  for (std::size_t i = 0; i < args.size(); ++i) line += (i == 0 ? " " : " | ") + args[i];
  return line + "\n";
}

struct HandlerRun {
  std::int32_t result;
  bool nextCommandKept;
};

// Runs the command's handler on its binary form with the next command
// behind it, as the script engine does: the engine goes on one byte after
// what the handler consumed.
HandlerRun RunHandler(const script::Command& command) {
  std::vector<std::uint8_t> bytes = script::Encode({&command, 1});
  std::string text(bytes.begin(), bytes.end());
  const std::size_t next = text.size();
  text += "\x16TEXT:next\r\n";
  const std::size_t arguments = text.find(':') + 1;
  InstallSettings settings{};
  settings.Mode = RunModeNone;
  SetScriptTextEnd(text.c_str() + text.size());
  std::int32_t consumed = 0;
  std::int32_t result = ExecuteKeyword(command.keyword.c_str(), &settings, text.c_str() + arguments, &consumed);
  SetScriptTextEnd(nullptr);
  return {result, arguments + static_cast<std::size_t>(consumed) + 1 <= next};
}

int Lowest(const KeywordRule& rule) { return rule.minArgs == kKeywordAnyCount ? 0 : rule.minArgs; }
int Highest(const KeywordRule& rule) { return rule.maxArgs == kKeywordAnyCount ? 3 : rule.maxArgs; }

}  // namespace

TEST_F(KeywordTable, BothSidesKnowEveryKeywordAndNoOther) {
  int entries = 0;
  for (const ScriptCommand* e = ::KeywordTable.first; e != nullptr; e = e->next) {
    ++entries;
    EXPECT_NE(script::FindKeyword(e->keyword), nullptr) << e->keyword;
  }
  EXPECT_EQ(entries, kKeywordCount);
  for (const KeywordRule& rule : script::Keywords()) EXPECT_EQ(FindKeyword(std::string(rule.name).c_str()), 1);
}

TEST_F(KeywordTable, WhatTheBuilderWritesIsReadToItsLineEnd) {
  for (const KeywordRule& rule : script::Keywords()) {
    for (int count = Lowest(rule); count <= Highest(rule); ++count) {
      std::vector<std::string> args;
      for (int i = 0; i < count; ++i)
        args.push_back(Argument(i < kKeywordMostArguments ? rule.arguments[i] : KeywordArgument{}, false));
      std::string line = SourceLine(rule, args);
      script::CompileResult compiled = script::CompileSource(line);
      ASSERT_TRUE(compiled.ok) << line << compiled.error.message;
      HandlerRun run = RunHandler(compiled.commands.at(0));
      EXPECT_EQ(run.result, 1) << rule.name << " with " << count << " arguments";
      EXPECT_TRUE(run.nextCommandKept) << rule.name << " with " << count << " arguments reads into the next command";
    }
  }
}

TEST_F(KeywordTable, WhereTheBuilderRefusesANameTheProgramDoesToo) {
  int named = 0;
  for (const KeywordRule& rule : script::Keywords()) {
    for (int i = 0; i < rule.maxArgs; ++i) {
      const KeywordArgument& a = rule.arguments[i];
      if (a.use != ArgumentUse::Name && a.use != ArgumentUse::Folder && a.use != ArgumentUse::List) continue;
      ++named;
      std::vector<std::string> args;
      for (int j = 0; j < rule.maxArgs; ++j) args.push_back(Argument(rule.arguments[j], j == i));
      std::string line = SourceLine(rule, args);
      script::CompileResult compiled = script::CompileSource(line);
      EXPECT_FALSE(compiled.ok) << rule.name << " argument " << i + 1 << " one byte over its room";
      EXPECT_NE(compiled.error.message.find("bytes long"), std::string::npos) << compiled.error.message;

      script::Command command{std::string(rule.name), args, 0, 0};
      if (a.use == ArgumentUse::List) {
        // The entries are taken one by one when the uninstall reaches them.
        char entry[kKeywordFieldRoom + 8];
        for (std::size_t over = 0; over < 2; ++over) {
          std::string list = std::string(static_cast<std::size_t>(a.room) - 1 + over, 'e') + ",next";
          const char* position = list.c_str();
          EXPECT_EQ(NextFileListEntry(&position, entry, a.room), over ? 0 : 1) << rule.name;
        }
        continue;
      }
      EXPECT_EQ(RunHandler(command).result, 0) << rule.name << " argument " << i + 1 << " one byte over its room";
      if (a.use == ArgumentUse::Folder) {
        // A folder that already ends in '\' may use the whole room.
        command.args[static_cast<std::size_t>(i)] = std::string(static_cast<std::size_t>(a.room) - 2, 'f') + "\\";
        EXPECT_TRUE(script::CheckCommand(command).empty()) << rule.name;
        EXPECT_EQ(RunHandler(command).result, 1) << rule.name;
      }
    }
  }
  EXPECT_GE(named, 9);  // the walk saw the table's paths, keys and URLs
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  LogInit("debug.log", 0);
  return RUN_ALL_TESTS();
}
