// The profile's fields as the receiver stores them: one column per field
// number that the program sends, named by its number and its meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct FieldColumn {
  std::int32_t number;
  const char* column;  // in the database: f<number>_<name>
  const char* name;    // in the CSV export
  std::int32_t most;   // the longest value the program can send, in bytes
};

// The longest value of a field of a number the program does not send (a
// later program's): what the profile's writer holds for one value.
constexpr std::int32_t kOtherFieldMost = 1023;
// The longest value the program can send in the field of that number.
std::int32_t FieldMost(std::int32_t number);

const std::vector<FieldColumn>& FieldColumns();
// The index of the field number in FieldColumns(), or -1 for a number the
// program does not send.
int FieldIndex(std::int32_t number);

// The profile's 8-bit texts (the sending machine's ANSI code page, taken as
// Windows-1252) as UTF-8, so that both databases hold them as text. Every
// byte maps to one character, so nothing is lost.
std::string AnsiToUtf8(std::string_view bytes);

// UTF-8 text with every capital letter of Windows-1252 made small (A to Z,
// the accented capitals, Š, Œ, Ž and Ÿ), other characters as they are: how
// an e-mail address is compared. The pairs, for a database that folds them
// itself (PostgreSQL's translate()): capitals and their small letters.
std::string FoldCase(std::string_view utf8);
const std::string& FoldCapitals();
const std::string& FoldSmall();

// A registration as it is stored.
struct Registration {
  std::string bodyHash;    // SHA-256 of the body, hexadecimal: the same body is one registration
  std::string receivedAt;  // UTC, ISO 8601 with milliseconds
  std::string sender;      // the sender's address
  std::string path;
  std::string agent;
  std::string version;  // the header's program version
  std::int32_t profileLength = 0;
  std::vector<std::optional<std::string>> fields;  // by FieldColumns(); empty: not sent
  std::string other;  // fields of numbers the program does not send: "<number>=<value>" lines
};
