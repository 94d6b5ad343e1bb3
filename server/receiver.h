// The registration receiver: reads the program's POST back with the
// program's own codec and stores it before it answers "RegSuccess".
#pragma once

#include <string>

#include "store.h"

struct Reply {
  int status;
  std::string text;
};

// A body from a sender read back into a registration; false with the
// refusal to answer when it is not one the program could have sent (bad
// framing, a field twice, a field longer than the program writes).
bool Decode(const std::string& body, const std::string& sender, const std::string& path, const std::string& agent,
            Registration* registration, Reply* refusal);
// The answer to a stored registration (or to a failed one).
Reply Answer(StoreResult outcome);
// Decode and store at once: what to answer. Only a committed row, new or
// already there, is answered with the word.
Reply Receive(Store& store, const std::string& body, const std::string& sender, const std::string& path,
              const std::string& agent);

// Text that a sender chose, fit for a log line: a backslash, control
// characters and bytes above 0x7E are written as \xNN, so that no sender
// can begin a line or move the terminal.
std::string LogSafe(const std::string& text);

// Helpers, also for the tests.
std::string Sha256Hex(const std::string& bytes);
std::string UtcNow();
std::string CsvLine(const std::vector<std::string>& values);
// A value as a spreadsheet may safely read it: the profile's texts come
// from anyone, and a text that begins with =, +, -, @, a tab or a carriage
// return is taken for a formula; such a text gets a leading apostrophe.
std::string SpreadsheetSafe(const std::string& value);
