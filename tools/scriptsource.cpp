#include "scriptsource.h"

#include <algorithm>
#include <cstdio>

namespace script {

namespace {

constexpr std::span<const Keyword> kKeywords = kKeywordRules;

constexpr std::string_view kFileList = "FILE LIST";
constexpr char kEscape = '^';
constexpr char kSeparator = '|';

std::string HexByte(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

std::string HexOffset(std::size_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%zX", v);
  return buf;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsWholeNumber(std::string_view s) {
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a whole number fits the program's 32-bit numbers.
bool FitsNumber(std::string_view s) {
  const bool negative = !s.empty() && s[0] == '-';
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  while (s.size() > 1 && s[0] == '0') s.remove_prefix(1);
  if (s.size() > 10) return false;
  const long long value = std::stoll(std::string(s));
  return value <= (negative ? 2147483648LL : 2147483647LL);
}

std::string CountText(int n) {
  return n == 0 ? "no arguments" : n == 1 ? "1 argument" : std::to_string(n) + " arguments";
}

std::vector<std::string> SplitEntries(std::string_view list) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = list.find(',', start);
    out.emplace_back(list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) return out;
    start = comma + 1;
  }
}

// Zero arguments and one empty argument have the same binary form; keep the
// one that the keyword reads.
void Normalize(Command& cmd) {
  const Keyword* kw = FindKeyword(cmd.keyword);
  if (!kw) return;
  if (cmd.args.empty() && kw->maxArgs >= 1) cmd.args.emplace_back();
  if (kw->minArgs == kAnyCount && cmd.args.size() == 1 && cmd.args[0].empty()) cmd.args.clear();
}

// ---- source reading ----

struct Token {
  char ch;
  bool escaped;
  int line;
};

// Appends the tokens of one physical piece of a command; empty on success.
std::string Tokenize(std::string_view text, int line, std::vector<Token>& out) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) < 0x20)
      return "control character " + HexByte(static_cast<unsigned char>(c)) + " in the arguments (use spaces, not tabs)";
    if (c != kEscape) {
      out.push_back({c, false, line});
      continue;
    }
    if (i + 1 == text.size()) return "'^' at the end of the line (write '^^' for a caret)";
    const char n = text[++i];
    if (n != '|' && n != '^' && n != ' ' && n != ',' && n != '#')
      return std::string("unknown escape '^") + n + "' (known: ^| ^^ ^, ^# and ^ followed by a space)";
    out.push_back({n, true, line});
  }
  return {};
}

// A FILE LIST line continues on the next line when it ends with a ','
// that is not escaped; blanks after that comma are ignored.
bool Continues(std::string_view raw) {
  while (!raw.empty() && IsBlank(raw.back())) raw.remove_suffix(1);
  if (raw.empty() || raw.back() != ',') return false;
  std::size_t carets = 0;
  for (std::size_t i = raw.size() - 1; i > 0 && raw[i - 1] == kEscape; --i) ++carets;
  return carets % 2 == 0;
}

std::string_view TrimTrailingBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string> PathNames(const std::string& entry) {
  std::vector<std::string> names(1);
  for (char c : entry) {
    if (c == '\\' || c == '/')
      names.emplace_back();
    else
      names.back() += c;
  }
  return names;
}

bool IsAbsolute(const std::string& e) {
  return e.front() == '\\' || e.front() == '/' || (e.size() >= 2 && e[1] == ':');
}

std::vector<Diagnostic> ListWarnings(const std::string& list, const std::vector<int>& lines) {
  std::vector<Diagnostic> out;
  const auto entries = SplitEntries(list);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const int line = i < lines.size() ? lines[i] : 0;
    const std::string& e = entries[i];
    const std::string entry = "file-list entry '" + e + "'";
    if (e.empty()) {
      out.push_back({line, "file-list entry " + std::to_string(i + 1) + " is empty"});
      continue;
    }
    const bool spaced = e.front() == ' ' || e.back() == ' ';
    if (spaced) out.push_back({line, entry + " begins or ends with a space, which is part of the name"});
    if (IsAbsolute(e))
      out.push_back({line, entry + " is an absolute path; entries name files in the product's folder"});
    else if (!spaced && e.find(':') != std::string::npos)
      out.push_back({line, entry + " contains ':'; is a command missing before it?"});
    // Path variables ("$0" to "$5", "$?") lead the entry; the names follow.
    std::string path = e;
    while (path.size() >= 2 && path[0] == '$') path.erase(0, 2);
    const auto names = PathNames(path);
    if (std::find(names.begin(), names.end(), "..") != names.end())
      out.push_back({line, entry + " climbs with '..', which can lead out of the product's folder"});
    for (std::size_t n = 0; n < names.size(); ++n) {
      const std::string& name = names[n];
      if (name.empty() || name == "." || name == "..") continue;
      const bool last = n + 1 == names.size();
      if (name.back() == '.' || (!last && name.back() == ' ')) {
        out.push_back({line, entry + " has a name ending in a dot or a blank ('" + name +
                                 "'), which Windows drops: it names another file"});
        break;
      }
    }
  }
  return out;
}

std::vector<Diagnostic> OrderWarnings(const std::vector<Command>& cmds) {
  std::vector<Diagnostic> out;
  bool installDir = false, installPath = false, install = false;
  for (const Command& c : cmds) {
    const std::string& k = c.keyword;
    if (k == "INSTALL DIR" || k == "REGISTRY PATH") {
      if (installPath)
        out.push_back({c.line, "'" + k + "' after 'INSTALL PATH' is not used to find the product's folder"});
      if (k == "INSTALL DIR") installDir = true;
    } else if (k == "INSTALL PATH") {
      if (!installDir)
        out.push_back(
            {c.line,
             "'INSTALL PATH' before any 'INSTALL DIR': the product's folder is the program files folder itself"});
      installPath = true;
    } else if (k == "FILE LIST" || k == "INSTALL NAME" || k == "UNINSTALL NAME") {
      if (install) out.push_back({c.line, "'" + k + "' after 'INSTALL' is not used by the uninstall"});
    } else if (k == "INSTALL") {
      if (!installPath) out.push_back({c.line, "'INSTALL' before any 'INSTALL PATH': the product's folder is unknown"});
      install = true;
    }
  }
  return out;
}

// ---- source writing ----

std::string EscapeText(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == kEscape || c == kSeparator) out += kEscape;
    out += c;
  }
  return out;
}

// A trailing space at the end of a line is written "^ " so that no editor
// can lose it.
std::string ProtectTrailingSpace(std::string s) {
  if (!s.empty() && s.back() == ' ') s.insert(s.size() - 1, 1, kEscape);
  return s;
}

std::string EscapeEntry(std::string_view e) {
  std::size_t lead = 0;
  while (lead < e.size() && e[lead] == ' ') ++lead;
  std::string out;
  for (std::size_t i = 0; i < lead; ++i) out += "^ ";
  // A continuation line that starts with '#' would be a remark.
  if (lead < e.size() && e[lead] == '#') {
    out += "^#";
    ++lead;
  }
  return out + EscapeText(e.substr(lead));
}

std::string DecompileFileList(const std::string& list) {
  std::string out = "FILE LIST:";
  if (list.empty()) return out;
  const auto entries = SplitEntries(list);
  std::size_t last = entries.size() - 1;
  const bool emptyLast = entries[last].empty();
  if (emptyLast) --last;  // written as an escaped comma on the line before
  for (std::size_t i = 0; i <= last; ++i) {
    out += i == 0 ? " " : "    ";
    std::string e = EscapeEntry(entries[i]);
    if (i == last && !emptyLast) e = ProtectTrailingSpace(std::move(e));
    out += e;
    if (i < last)
      out += ",\n";
    else if (emptyLast)
      out += "^,";
  }
  return out;
}

}  // namespace

std::span<const Keyword> Keywords() { return kKeywords; }

const Keyword* FindKeyword(std::string_view name) {
  for (const Keyword& k : kKeywords)
    if (k.name == name) return &k;
  return nullptr;
}

std::string CheckCommand(const Command& cmd, int* badLine, const std::vector<int>* entryLines) {
  const Keyword* kw = FindKeyword(cmd.keyword);
  if (!kw) {
    for (const Keyword& k : kKeywords)
      if (EqualNoCase(k.name, cmd.keyword))
        return "unknown keyword '" + cmd.keyword + "' (keywords are written in capitals: '" + std::string(k.name) +
               "')";
    return "unknown keyword '" + cmd.keyword + "'";
  }
  const std::string name = "'" + cmd.keyword + "'";
  const int n = static_cast<int>(cmd.args.size());
  if (kw->minArgs != kAnyCount && (n < kw->minArgs || n > kw->maxArgs)) {
    const std::string wanted = kw->minArgs == kw->maxArgs
                                   ? CountText(kw->minArgs)
                                   : std::to_string(kw->minArgs) + " or " + CountText(kw->maxArgs);
    return name + " takes " + wanted + ", not " + std::to_string(n);
  }
  for (int i = 0; i < n; ++i) {
    const std::string& a = cmd.args[static_cast<std::size_t>(i)];
    const std::string which = "argument " + std::to_string(i + 1) + " of " + name;
    for (unsigned char c : a)
      if (c < 0x20) return which + " contains the control byte " + HexByte(c);
    // What the program reads this argument as, and into how much room.
    const KeywordArgument rule = i < kKeywordMostArguments ? kw->arguments[i] : KeywordArgument{};
    const std::size_t most = rule.room > 0 ? static_cast<std::size_t>(rule.room) - 1 : kMaxArgument;
    if (rule.use == ArgumentUse::List) {
      const auto entries = SplitEntries(a);
      for (std::size_t e = 0; e < entries.size(); ++e)
        if (entries[e].size() > most) {
          if (badLine && entryLines && e < entryLines->size()) *badLine = (*entryLines)[e];
          return "file-list entry '" + entries[e] + "' is " + std::to_string(entries[e].size()) +
                 " bytes long; at most " + std::to_string(most) + " fit";
        }
    } else if (a.size() > kMaxArgument) {
      return which + " is " + std::to_string(a.size()) + " bytes long; at most " + std::to_string(kMaxArgument) +
             " fit";
    }
    if (rule.use == ArgumentUse::Number && !IsWholeNumber(a)) return which + " must be a whole number, not '" + a + "'";
    if (rule.use == ArgumentUse::Number && !FitsNumber(a))
      return which + " is out of range: '" + a + "' (from -2147483648 to 2147483647)";
    // The program adds the '\\' that ends a folder, and refuses the
    // folder when it no longer fits.
    if (rule.use == ArgumentUse::Folder && !a.empty() && a.back() != '\\' && a.size() + 1 > most)
      return which + " is " + std::to_string(a.size()) + " bytes long; with the '\\' the program adds it is " +
             std::to_string(a.size() + 1) + ", and at most " + std::to_string(most) + " fit";
    // A path, key or URL read into less room than a text field.
    if ((rule.use == ArgumentUse::Name || rule.use == ArgumentUse::Folder) && a.size() > most)
      return which + " is " + std::to_string(a.size()) + " bytes long; at most " + std::to_string(most) + " fit";
  }
  return {};
}

CompileResult CompileSource(std::string_view source) {
  CompileResult r;
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start <= source.size();) {
    std::size_t nl = source.find('\n', start);
    if (nl == std::string_view::npos) nl = source.size();
    std::string_view l = source.substr(start, nl - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    lines.push_back(l);
    start = nl + 1;
  }
  if (!source.empty() && source.back() == '\n') lines.pop_back();

  auto fail = [&r](int line, std::string msg) {
    r.error = {line, std::move(msg)};
    r.commands.clear();
    return r;
  };
  if (source.substr(0, 3) == "\xEF\xBB\xBF")
    return fail(1, "the source starts with a UTF-8 byte-order mark; save it in the Windows ANSI code page");

  for (std::size_t li = 0; li < lines.size(); ++li) {
    const int lineNo = static_cast<int>(li) + 1;
    std::string_view l = lines[li];
    std::size_t first = 0;
    while (first < l.size() && IsBlank(l[first])) ++first;
    if (first == l.size() || l[first] == '#') continue;
    l.remove_prefix(first);

    const std::size_t colon = l.find(':');
    if (colon == std::string_view::npos) {
      std::string hint;
      if (!r.commands.empty() && r.commands.back().keyword == kFileList)
        hint = " (a file list goes on only after a line that ends with ',', starting on the FILE LIST line)";
      return fail(lineNo, "missing ':' after the keyword in '" + std::string(l) + "'" + hint);
    }
    Command cmd;
    cmd.keyword = std::string(l.substr(0, colon));
    cmd.line = lineNo;
    if (!FindKeyword(cmd.keyword)) return fail(lineNo, CheckCommand(cmd));

    std::string_view rest = l.substr(colon + 1);
    if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    std::vector<Token> toks;
    const bool isList = cmd.keyword == kFileList;
    for (;;) {
      const bool more = isList && Continues(rest);
      if (std::string e = Tokenize(more ? TrimTrailingBlanks(rest) : rest, static_cast<int>(li) + 1, toks); !e.empty())
        return fail(static_cast<int>(li) + 1, e);
      if (!more) break;
      // Find the next line of the list: comments are passed over, a blank
      // line or the end of the source is a mistake.
      for (;;) {
        if (++li == lines.size()) return fail(lineNo, "the file list ends with ',' but the source ends");
        std::string_view next = lines[li];
        std::size_t b = 0;
        while (b < next.size() && IsBlank(next[b])) ++b;
        if (b == next.size())
          return fail(static_cast<int>(li) + 1, "blank line inside the file list (the line before ends with ',')");
        if (next[b] == '#') continue;
        rest = next.substr(b);
        break;
      }
    }

    // Split at unescaped separators; one blank on each side of a
    // separator belongs to it.
    std::vector<int> entryLines;
    if (!toks.empty()) {
      std::vector<std::vector<Token>> pieces(1);
      for (const Token& t : toks) {
        if (t.ch == kSeparator && !t.escaped)
          pieces.emplace_back();
        else
          pieces.back().push_back(t);
      }
      for (std::size_t p = 0; p < pieces.size(); ++p) {
        auto& pc = pieces[p];
        if (p > 0 && !pc.empty() && pc.front().ch == ' ' && !pc.front().escaped) pc.erase(pc.begin());
        if (p + 1 < pieces.size() && !pc.empty() && pc.back().ch == ' ' && !pc.back().escaped) pc.pop_back();
        std::string arg;
        for (const Token& t : pc) arg += t.ch;
        cmd.args.push_back(std::move(arg));
      }
      if (isList && pieces.size() == 1) {
        bool startOfEntry = true;
        for (const Token& t : pieces[0]) {
          if (startOfEntry) entryLines.push_back(t.line);
          startOfEntry = t.ch == ',';
        }
        if (startOfEntry) entryLines.push_back(static_cast<int>(li) + 1);
      }
    }
    Normalize(cmd);
    int badLine = lineNo;
    if (std::string e = CheckCommand(cmd, &badLine, &entryLines); !e.empty()) return fail(badLine, e);
    if (isList) {
      auto w = ListWarnings(cmd.args[0], entryLines);
      r.warnings.insert(r.warnings.end(), w.begin(), w.end());
    }
    r.commands.push_back(std::move(cmd));
  }
  auto w = OrderWarnings(r.commands);
  r.warnings.insert(r.warnings.end(), w.begin(), w.end());
  std::stable_sort(r.warnings.begin(), r.warnings.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  r.ok = true;
  return r;
}

std::vector<std::uint8_t> Encode(std::span<const Command> commands) {
  std::vector<std::uint8_t> out;
  for (const Command& c : commands) {
    out.push_back(kMarker);
    out.insert(out.end(), c.keyword.begin(), c.keyword.end());
    out.push_back(':');
    for (std::size_t i = 0; i < c.args.size(); ++i) {
      if (i > 0) out.push_back(kArgumentSeparator);
      out.insert(out.end(), c.args[i].begin(), c.args[i].end());
    }
    out.push_back('\r');
    out.push_back('\n');
  }
  return out;
}

DecodeResult DecodeBinary(std::span<const std::uint8_t> data) {
  DecodeResult r;
  auto fail = [&r](std::size_t at, const std::string& msg) {
    r.error = "offset " + HexOffset(at) + ": " + msg;
    r.commands.clear();
    return r;
  };
  std::size_t pos = 0;
  while (pos < data.size()) {
    const std::uint8_t b = data[pos];
    if (b == '\r' || b == '\n') {
      ++pos;
      continue;
    }
    if (b != kMarker) return fail(pos, "byte " + HexByte(b) + " outside a command");
    const std::size_t start = pos++;
    Command cmd;
    cmd.offset = start;
    while (pos < data.size() && data[pos] != ':' && data[pos] >= 0x20) cmd.keyword += static_cast<char>(data[pos++]);
    if (pos == data.size() || data[pos] != ':')
      return fail(start, "command '" + cmd.keyword + "' has no ':' after its keyword");
    if (cmd.keyword.size() > kMaxKeyword)
      return fail(start, "keyword '" + cmd.keyword + "' is longer than " + std::to_string(kMaxKeyword) + " bytes");
    ++pos;
    std::string argText;
    while (pos < data.size() && data[pos] != '\r') {
      const std::uint8_t c = data[pos];
      if (c == '\n') return fail(start, "command '" + cmd.keyword + "' does not end with CR LF");
      if (c < 0x20 && c != kArgumentSeparator)
        return fail(pos, "control byte " + HexByte(c) + " in the arguments of '" + cmd.keyword + "'");
      argText += static_cast<char>(c);
      ++pos;
    }
    if (pos + 1 >= data.size() || data[pos + 1] != '\n')
      return fail(start, "command '" + cmd.keyword + "' does not end with CR LF");
    pos += 2;
    if (!argText.empty()) {
      std::size_t s = 0;
      for (;;) {
        const std::size_t sep = argText.find(static_cast<char>(kArgumentSeparator), s);
        cmd.args.push_back(argText.substr(s, sep == std::string::npos ? std::string::npos : sep - s));
        if (sep == std::string::npos) break;
        s = sep + 1;
      }
    }
    Normalize(cmd);
    if (std::string e = CheckCommand(cmd); !e.empty()) return fail(start, e);
    r.commands.push_back(std::move(cmd));
  }
  r.ok = true;
  return r;
}

std::string Decompile(std::span<const Command> commands) {
  std::string out;
  for (const Command& c : commands) {
    if (c.keyword == kFileList && c.args.size() == 1) {
      out += DecompileFileList(c.args[0]) + "\n";
      continue;
    }
    out += c.keyword + ":";
    if (c.args.size() == 1 && c.args[0].empty()) {
      out += "\n";
      continue;
    }
    for (std::size_t i = 0; i < c.args.size(); ++i) {
      out += i == 0 ? " " : " | ";
      std::string a = EscapeText(c.args[i]);
      if (i + 1 == c.args.size()) a = ProtectTrailingSpace(std::move(a));
      out += a;
    }
    out += "\n";
  }
  return out;
}

}  // namespace script
