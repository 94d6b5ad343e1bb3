#include <gtest/gtest.h>

#include <random>
#include <set>

#include "scriptsource.h"

namespace {

using script::Command;

}  // namespace

namespace script {
void PrintTo(const Command& c, std::ostream* os) {
  *os << c.keyword << " [";
  for (const auto& a : c.args) *os << "<" << a << ">";
  *os << "]";
}
}  // namespace script

namespace {

std::string BytesText(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }

std::vector<std::string> ArgsOf(const std::string& line) {
  const auto r = script::CompileSource(line);
  EXPECT_TRUE(r.ok) << line << ": " << r.error.message;
  if (!r.ok || r.commands.size() != 1) return {"<failed>"};
  return r.commands[0].args;
}

TEST(Keywords, TableHasTheThirtyOneKeywords) {
  const auto kws = script::Keywords();
  ASSERT_EQ(kws.size(), 31u);
  std::set<std::string_view> names;
  int skipped = 0;
  for (const auto& k : kws) {
    names.insert(k.name);
    skipped += k.installerOnly;
    EXPECT_LE(k.name.size(), script::kMaxKeyword);
    for (char c : k.name) EXPECT_TRUE((c >= 'A' && c <= 'Z') || c == ' ') << k.name;
  }
  EXPECT_EQ(names.size(), 31u);
  EXPECT_EQ(skipped, 12);
  EXPECT_EQ(kws.front().name, "COMPANY NAME");
  EXPECT_EQ(kws.back().name, "UNINSTALL NAME");
  EXPECT_EQ(script::FindKeyword("REGISTER")->minArgs, 3);
  EXPECT_EQ(script::FindKeyword("install"), nullptr);
}

TEST(Encode, BinaryFormOfCommands) {
  const auto r = script::CompileSource(
      "COMPANY NAME: Acme\n"
      "ADD ITEM: 0 | $0Acme\\Viewer\\viewer.exe | -Register | Register Viewer\n"
      "INSTALL:\n"
      "DONE:\n");
  ASSERT_TRUE(r.ok) << r.error.message;
  EXPECT_EQ(BytesText(script::Encode(r.commands)),
            "\x16"
            "COMPANY NAME:Acme\r\n"
            "\x16"
            "ADD ITEM:0\t$0Acme\\Viewer\\viewer.exe\t-Register\tRegister Viewer\r\n"
            "\x16"
            "INSTALL:\r\n"
            "\x16"
            "DONE:\r\n");
  // DONE always carries its one (unused) argument.
  ASSERT_EQ(r.commands[3].args.size(), 1u);
}

TEST(Source, SpacesAroundSeparatorsAndEscapes) {
  EXPECT_EQ(ArgsOf("TEXT: hello"), std::vector<std::string>{"hello"});
  EXPECT_EQ(ArgsOf("TEXT:hello"), std::vector<std::string>{"hello"});
  EXPECT_EQ(ArgsOf("TEXT:  two blanks"), std::vector<std::string>{" two blanks"});
  EXPECT_EQ(ArgsOf("TEXT: ends with ^ "), std::vector<std::string>{"ends with  "});
  EXPECT_EQ(ArgsOf("TEXT: a, b # not a comment"), std::vector<std::string>{"a, b # not a comment"});
  EXPECT_EQ(ArgsOf("TEXT: 50^^ off ^| today"), std::vector<std::string>{"50^ off | today"});
  EXPECT_EQ(ArgsOf("TEXT:"), std::vector<std::string>{""});
  EXPECT_EQ(ArgsOf("ADD ITEM: 0 | a |  | b"), (std::vector<std::string>{"0", "a", "", "b"}));
  EXPECT_EQ(ArgsOf("ADD ITEM: 0|a||b"), (std::vector<std::string>{"0", "a", "", "b"}));
  EXPECT_EQ(ArgsOf("ADD ITEM: 0 |  a  | b |c"), (std::vector<std::string>{"0", " a ", "b", "c"}));
  EXPECT_EQ(ArgsOf("OLE: REGISTER | bin\\odd^|name.dll"), (std::vector<std::string>{"REGISTER", "bin\\odd|name.dll"}));
  EXPECT_EQ(ArgsOf("  \tINSTALL:"), std::vector<std::string>{});
  EXPECT_EQ(ArgsOf("FONT: Arial | 12 | bold"), (std::vector<std::string>{"Arial", "12", "bold"}));
  EXPECT_EQ(ArgsOf("REFRESH:"), std::vector<std::string>{});
}

TEST(Source, CommentsBlankLinesAndLineEnds) {
  const auto r = script::CompileSource("# heading\r\n\r\n   # indented remark\n\t\nPRODUCT NAME: Viewer\r\nINSTALL:");
  ASSERT_TRUE(r.ok) << r.error.message;
  ASSERT_EQ(r.commands.size(), 2u);
  EXPECT_EQ(r.commands[0].args, std::vector<std::string>{"Viewer"});  // no CR kept
  EXPECT_EQ(r.commands[0].line, 5);
  EXPECT_EQ(r.commands[1].line, 6);
}

TEST(Source, FileListAcrossLines) {
  const auto r = script::CompileSource(
      "FILE LIST: bin\\viewer.exe,\n"
      "           bin\\viewshell.dll,   \n"
      "  # the help\n"
      "           help\\viewer.chm,\n"
      "\tREADME.TXT\n"
      "INSTALL:\n");
  ASSERT_TRUE(r.ok) << r.error.message;
  ASSERT_EQ(r.commands.size(), 2u);
  EXPECT_EQ(r.commands[0].args,
            std::vector<std::string>{"bin\\viewer.exe,bin\\viewshell.dll,help\\viewer.chm,README.TXT"});
  EXPECT_EQ(r.commands[1].line, 6);
  // An escaped comma at the end of a line does not continue the list.
  EXPECT_EQ(ArgsOf("FILE LIST: a^,"), std::vector<std::string>{"a,"});
  EXPECT_EQ(ArgsOf("FILE LIST: a,\n  ^#b,\n  # remark\n  c"), std::vector<std::string>{"a,#b,c"});
  // Outside FILE LIST a final comma is just a comma.
  EXPECT_EQ(ArgsOf("TEXT: one,"), std::vector<std::string>{"one,"});
}

struct Rejection {
  const char* source;
  int line;
  const char* says;
};

TEST(Source, RejectionsNameTheLine) {
  const std::string long160(160, 'x'), long144(144, 'y');
  const std::string s160 = "# c\nTEXT: " + long160 + "\n";
  const std::string s144 = "FILE LIST: a,\n  b,\n  " + long144 + ",\n  c\n";
  const std::string dir159 = "INSTALL DIR: " + std::string(159, 'd') + "\n";
  const std::string ole144 = "OLE: REGISTER | " + std::string(144, 'o') + "\n";
  const Rejection cases[] = {
      {"COMPANY NAME: Acme\n\nFOO: bar\n", 3, "unknown keyword 'FOO'"},
      {"install:\n", 1, "written in capitals: 'INSTALL'"},
      {"INSTALL :\n", 1, "unknown keyword 'INSTALL '"},
      {"\n\nCOMPANY NAME Acme\n", 3, "missing ':'"},
      {"ADD ITEM: 0 | a | b\n", 1, "'ADD ITEM' takes 4 arguments, not 3"},
      {"INSTALL: now\n", 1, "'INSTALL' takes no arguments, not 1"},
      {"DONE: a | b\n", 1, "'DONE' takes 0 or 1 argument, not 2"},
      {"OLE: REGISTER\n", 1, "'OLE' takes 2 arguments, not 1"},
      {"REGISTER: http://x/reg | Viewer\n", 1, "'REGISTER' takes 3 arguments"},
      {"LISTSERVER: one | news | weekly\n", 1, "argument 1 of 'LISTSERVER' must be a whole number"},
      {"INSTALL SIZE: 12 MB\n", 1, "whole number, not '12 MB'"},
      {"ADD ITEM: x | a | b | c\n", 1, "argument 1 of 'ADD ITEM'"},
      {s160.c_str(), 2, "160 bytes long; at most 159 fit"},
      {"TEXT: a\tb\n", 1, "control character 0x09"},
      {"TEXT: 100^%\n", 1, "unknown escape '^%'"},
      {"TEXT: ends^\n", 1, "'^' at the end of the line"},
      {s144.c_str(), 3, "144 bytes long; at most 143 fit"},
      {"FILE LIST: a,\n  b,\n\n  c\n", 3, "blank line inside the file list"},
      {"FILE LIST: a,\n  # only a remark\n", 1, "ends with ','"},
      {"FILE LIST: a | b\n", 1, "'FILE LIST' takes 1 argument, not 2"},
      {"FILE LIST:\n  a,\n  b\n", 2, "starting on the FILE LIST line"},
      {"\xEF\xBB\xBFTEXT: x\n", 1, "byte-order mark"},
      // What the program itself would refuse or read otherwise.
      {dir159.c_str(), 1, "with the '\\' the program adds it is 160"},
      {ole144.c_str(), 1, "argument 2 of 'OLE' is 144 bytes long; at most 143"},
      {"INSTALL SIZE: 2147483648\n", 1, "out of range: '2147483648'"},
      {"LISTSERVER: -2147483649 | news | weekly\n", 1, "out of range"},
      {"ADD ITEM: 000000000000000000004294967296 | a | b | c\n", 1, "out of range"},
  };
  for (const auto& c : cases) {
    const auto r = script::CompileSource(c.source);
    EXPECT_FALSE(r.ok) << c.source;
    EXPECT_EQ(r.error.line, c.line) << c.source;
    EXPECT_NE(r.error.message.find(c.says), std::string::npos) << c.source << " -> " << r.error.message;
    EXPECT_TRUE(r.commands.empty());
  }
}

TEST(Source, LimitsAreInclusive) {
  EXPECT_TRUE(script::CompileSource("TEXT: " + std::string(159, 'x')).ok);
  EXPECT_TRUE(script::CompileSource("INSTALL DIR: " + std::string(158, 'd')).ok);
  EXPECT_TRUE(script::CompileSource("INSTALL DIR: " + std::string(158, 'd') + "\\").ok);
  EXPECT_TRUE(script::CompileSource("OLE: REGISTER | " + std::string(143, 'o')).ok);
  EXPECT_TRUE(script::CompileSource("INSTALL SIZE: 2147483647\nLISTSERVER: -2147483648 | n | w\n"
                                    "ADD ITEM: 0002147483647 | a | b | c\n")
                  .ok);
  EXPECT_TRUE(script::CompileSource("FILE LIST: " + std::string(143, 'x') + "," + std::string(143, 'y')).ok);
  // The file list as a whole has no limit.
  std::string big = "FILE LIST: f0";
  for (int i = 1; i < 3000; ++i) big += ",\n  folder\\file" + std::to_string(i) + ".dat";
  const auto r = script::CompileSource(big);
  ASSERT_TRUE(r.ok) << r.error.message;
  EXPECT_GT(r.commands[0].args[0].size(), 40000u);
}

TEST(Source, WarningsForOrderAndSuspiciousEntries) {
  const auto r = script::CompileSource(
      "INSTALL PATH:\n"               // 1: before INSTALL DIR
      "REGISTRY PATH: Software\\A\n"  // 2: after INSTALL PATH
      "FILE LIST: a,, b\n"            // 3: empty entry, leading blank
      "INSTALL:\n"
      "UNINSTALL NAME: u.exe\n");  // 5: after INSTALL
  ASSERT_TRUE(r.ok);
  std::vector<int> lines;
  for (const auto& w : r.warnings) lines.push_back(w.line);
  EXPECT_EQ(lines, (std::vector<int>{1, 2, 3, 3, 5}));
  const auto clean = script::CompileSource(
      "REGISTRY PATH: Software\\A\nINSTALL DIR: A\nINSTALL PATH:\nFILE LIST: a,b\nINSTALL:\nDONE:\n");
  EXPECT_TRUE(clean.warnings.empty());
}

TEST(Decode, ReadsWhatEncodeWrites) {
  const std::string bin =
      "\x16"
      "ADD ITEM:0\tx.exe\t\tX\r\n\r\n\x16"
      "INSTALL:\r\n\x16"
      "DONE:\r\n\n";
  const auto r = script::DecodeBinary(std::span(reinterpret_cast<const std::uint8_t*>(bin.data()), bin.size()));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.commands.size(), 3u);
  EXPECT_EQ(r.commands[0].args, (std::vector<std::string>{"0", "x.exe", "", "X"}));
  EXPECT_EQ(r.commands[1].offset, 24u);
  EXPECT_TRUE(r.commands[1].args.empty());
  EXPECT_EQ(r.commands[2].args, std::vector<std::string>{""});
}

TEST(Decode, RejectionsNameTheOffset) {
  const std::pair<std::string, std::string> cases[] = {
      {"junk", "offset 0x0: byte 0x6A outside a command"},
      {"\x16"
       "INSTALL:\r\n\x16"
       "FOO:\r\n",
       "offset 0xB: unknown keyword 'FOO'"},
      {"\x16"
       "INSTALL",
       "offset 0x0: command 'INSTALL' has no ':'"},
      {"\x16"
       "TEXT:abc\n",
       "offset 0x0: command 'TEXT' does not end with CR LF"},
      {"\x16"
       "TEXT:abc",
       "does not end with CR LF"},
      {std::string("\x16"
                   "TEXT:a\0b\r\n",
                   11),
       "offset 0x7: control byte 0x00"},
      {"\x16"
       "TEXT:a\tb\r\n",
       "'TEXT' takes 1 argument, not 2"},
      {"\x16"
       "install:\r\n",
       "unknown keyword 'install'"},
      {"\x16" + std::string(39, 'K') + ":\r\n", "longer than 38 bytes"},
  };
  for (const auto& [bin, says] : cases) {
    const auto r = script::DecodeBinary(std::span(reinterpret_cast<const std::uint8_t*>(bin.data()), bin.size()));
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(says), std::string::npos) << r.error;
  }
}

// Binary -> source -> binary gives the same bytes, for arguments that put
// every rule of the source form to work.
void ExpectRoundTrip(const std::vector<Command>& cmds) {
  const auto bin = script::Encode(cmds);
  const auto decoded = script::DecodeBinary(bin);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  const std::string src = script::Decompile(decoded.commands);
  const auto compiled = script::CompileSource(src);
  ASSERT_TRUE(compiled.ok) << "line " << compiled.error.line << ": " << compiled.error.message << "\n" << src;
  EXPECT_EQ(compiled.commands, decoded.commands) << src;
  EXPECT_EQ(script::Encode(compiled.commands), bin) << src;
}

TEST(RoundTrip, TrickyArguments) {
  ExpectRoundTrip({
      {"TEXT", {""}},
      {"TEXT", {" "}},
      {"TEXT", {"  lead and trail  "}},
      {"TEXT", {"a | b ^ c ^^ d,"}},
      {"TEXT", {"ends with caret^"}},
      {"ADD ITEM", {"-5", "", " ", "x "}},
      {"ADD ITEM", {"0", "$0Acme\\Viewer\\viewer.exe", "-Register", "Register Viewer"}},
      {"LISTSERVER", {"+12", "news", ""}},
      {"FILE LIST", {""}},
      {"FILE LIST", {","}},
      {"FILE LIST", {",,"}},
      {"FILE LIST", {"a,"}},
      {"FILE LIST", {",a"}},
      {"FILE LIST", {"a,,b"}},
      {"FILE LIST", {" a,  b ,c "}},
      {"FILE LIST", {"odd|name^.txt,#not a remark, #nor this"}},
      {"FONT", {}},
      {"FONT", {"", ""}},
      {"MESSAGE", {"Hello | world", " ", ""}},
      {"INSTALL", {}},
      {"DONE", {""}},
      {"DONE", {"bye "}},
  });
}

TEST(RoundTrip, RandomCommands) {
  std::mt19937 rng(42);
  const std::string alphabet = "ab\\$., |^#:-";
  auto text = [&](std::size_t maxLen) {
    std::string s(rng() % (maxLen + 1), ' ');
    for (auto& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  const auto kws = script::Keywords();
  for (int round = 0; round < 300; ++round) {
    std::vector<Command> cmds;
    for (int n = 0; n < 8; ++n) {
      const auto& k = kws[rng() % kws.size()];
      Command c{std::string(k.name), {}, 0, 0};
      const int count = k.minArgs == script::kAnyCount
                            ? static_cast<int>(rng() % 4)
                            : k.minArgs + static_cast<int>(rng() % (k.maxArgs - k.minArgs + 1));
      for (int a = 0; a < count; ++a)
        c.args.push_back(k.arguments[a].use == ArgumentUse::Number ? std::to_string(static_cast<int>(rng() % 200) - 100)
                                                                   : text(k.name == "FILE LIST" ? 60 : 12));
      // Forms that the binary cannot tell apart are kept in their one spelling.
      if (k.name == "DONE" && c.args.empty()) c.args.emplace_back();
      if (k.minArgs == script::kAnyCount && c.args.size() == 1 && c.args[0].empty()) c.args.clear();
      cmds.push_back(std::move(c));
    }
    ExpectRoundTrip(cmds);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

}  // namespace

TEST(Source, WarningsForEntriesThatMayLeaveTheFolder) {
  const struct {
    const char* entry;
    const char* says;  // nullptr: no warning
  } cases[] = {
      {"..\\readme.txt", "climbs with '..'"},
      {"bin\\..\\..\\x.dll", "climbs with '..'"},
      {"$4..\\Temp\\x.tmp", "climbs with '..'"},
      {"C:\\windows\\x.dll", "is an absolute path"},
      {"\\readme.txt", "is an absolute path"},
      {"/etc/x", "is an absolute path"},
      {"readme.txt.", "ending in a dot or a blank ('readme.txt.')"},
      {"bin.\\x.exe", "ending in a dot or a blank ('bin.')"},
      {"bin \\x.exe", "ending in a dot or a blank ('bin ')"},
      {"bin\\viewer.exe", nullptr},
      {"$0Acme\\shared.dll", nullptr},
      {"...\\x", "ending in a dot or a blank ('...')"},
      {".\\x", nullptr},
  };
  for (const auto& c : cases) {
    const auto r = script::CompileSource(std::string("FILE LIST: a,\n  ") + c.entry + "\n");
    ASSERT_TRUE(r.ok) << c.entry << ": " << r.error.message;
    if (!c.says) {
      EXPECT_TRUE(r.warnings.empty()) << c.entry << ": " << r.warnings[0].message;
      continue;
    }
    ASSERT_EQ(r.warnings.size(), 1u) << c.entry;
    EXPECT_EQ(r.warnings[0].line, 2) << c.entry;
    EXPECT_NE(r.warnings[0].message.find(c.says), std::string::npos) << c.entry << " -> " << r.warnings[0].message;
  }
}
