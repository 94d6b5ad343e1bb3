// The installation script: its keywords, its binary form (install.dat) and
// the readable source form that software makers write.
//
// Binary form, one command after another:
//   0x16 KEYWORD ':' ARG1 0x09 ARG2 0x09 ... ARGn CR LF
// A command without arguments is 0x16 KEYWORD ':' CR LF. Arguments hold no
// byte below 0x20. Line-end bytes (CR, LF) between commands are passed over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "keywordtable.h"

namespace script {

inline constexpr std::uint8_t kMarker = 0x16;
inline constexpr std::uint8_t kArgumentSeparator = 0x09;
// Text fields of the program hold 159 characters and a terminator.
inline constexpr std::size_t kMaxArgument = kKeywordFieldRoom - 1;
// Each file-list entry is copied into a 144-byte buffer.
inline constexpr std::size_t kMaxFileEntry = KeywordRoom(kKeywordFileList, 1) - 1;
// The program copies at most 38 keyword bytes before it gives up on a ':'.
inline constexpr std::size_t kMaxKeyword = 38;

inline constexpr int kAnyCount = kKeywordAnyCount;

// The program's own description of a keyword (app/command/keywords.def):
// its counts, whether only the installer acts on it, and what each
// argument is, with the room of paths, keys and URLs.
using Keyword = KeywordRule;

// The 31 keywords, in the program's registration order.
std::span<const Keyword> Keywords();
const Keyword* FindKeyword(std::string_view name);

struct Command {
  std::string keyword;
  std::vector<std::string> args;
  int line = 0;            // source line (0 when decoded from binary)
  std::size_t offset = 0;  // byte offset in install.dat (when decoded)
  bool operator==(const Command& o) const { return keyword == o.keyword && args == o.args; }
};

struct Diagnostic {
  int line = 0;  // 0: not tied to a source line
  std::string message;
};

struct CompileResult {
  bool ok = false;
  std::vector<Command> commands;
  Diagnostic error;
  std::vector<Diagnostic> warnings;
};

// Reads the source form. Stops at the first error.
CompileResult CompileSource(std::string_view source);

// The binary form of commands that passed compileSource or decodeBinary.
std::vector<std::uint8_t> Encode(std::span<const Command> commands);

struct DecodeResult {
  bool ok = false;
  std::vector<Command> commands;
  std::string error;  // begins with "offset 0x...: "
};

// Reads install.dat strictly: every byte belongs to a command or is a line
// end between commands, and every command passes the same checks as source.
DecodeResult DecodeBinary(std::span<const std::uint8_t> data);

// The source form of decoded commands; compiling it gives the same binary.
std::string Decompile(std::span<const Command> commands);

// Checks one command's keyword and arguments; empty when it is fine.
// `entryLines`, when given, names the source line of each file-list entry.
std::string CheckCommand(const Command& cmd, int* badLine = nullptr, const std::vector<int>* entryLines = nullptr);

}  // namespace script
